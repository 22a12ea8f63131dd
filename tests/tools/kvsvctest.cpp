// A service for the service manager's tests, and the other processes those tests need.
//
//   kvsvctest [OPTIONS]            runs as the service the manager started
//   kvsvctest -f NAME [OPTIONS]    runs the service NAME in the foreground
//   kvsvctest race NAME COUNT      starts and stops NAME COUNT times; prints "started N"
//   kvsvctest lock                 holds the database lock until killed; prints "locked"
//
// OPTIONS: --exit-early (ends before connecting), --fail-start CODE (the start fails
// with that service-specific code), --slow-start MS, --slow-stop MS, --accept BITS.
//
// The service appends what happens to $KVTFTP_STATE_DIR/<name>.trace: "main PID ARGS...",
// "control CODE", "exit PID"; "DUPLICATE" when another instance's service main runs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "kv/service.h"
#include "kv/time.h"

namespace {

struct Options {
    bool exitEarly = false;
    uint32_t failStart = 0;
    uint32_t slowStartMs = 0;
    uint32_t slowStopMs = 0;
    uint32_t accept = kvp::kServiceAcceptStop | kvp::kServiceAcceptPauseContinue |
                      kvp::kServiceAcceptShutdown | kvp::kServiceAcceptParamChange;
} g_opt;

std::mutex g_mu;
std::string g_name;
kvp::ServiceStatusHandle g_handle = nullptr;
kvp::ServiceStatus g_status{kvp::kServiceWin32OwnProcess, kvp::kServiceStartPending};
// Held while the service main has run and the service has not reported stopped; a
// second holder at the same time means two hosts.
std::string g_instance_marker;

void Trace(const std::string& line) {
    std::ofstream(kvp::StateDir() + "/" + g_name + ".trace", std::ios::app) << line << "\n";
}

void Report(uint32_t state, uint32_t exit_code = 0, uint32_t specific = 0) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_status.currentState = state;
    g_status.controlsAccepted = state == kvp::kServiceStartPending ? 0 : g_opt.accept;
    g_status.win32ExitCode = exit_code;
    g_status.serviceSpecificExitCode = specific;
    if (state == kvp::kServiceStopped) std::remove(g_instance_marker.c_str());
    kvp::SetServiceStatus(g_handle, &g_status);
}

void KV_STDCALL Handler(uint32_t control) {
    Trace("control " + std::to_string(control));
    switch (control) {
        case kvp::kServiceControlStop:
        case kvp::kServiceControlShutdown:
            Report(kvp::kServiceStopPending);
            kvp::Sleep(g_opt.slowStopMs);
            Report(kvp::kServiceStopped);
            break;
        case kvp::kServiceControlPause:
            Report(kvp::kServicePaused);
            break;
        case kvp::kServiceControlContinue:
            Report(kvp::kServiceRunning);
            break;
        default: {
            std::lock_guard<std::mutex> lock(g_mu);
            kvp::SetServiceStatus(g_handle, &g_status);
        }
    }
}

void KV_STDCALL ServiceMain(uint32_t argc, char** argv) {
    std::string line = "main " + std::to_string(kvp::CurrentProcessId());
    for (uint32_t i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
    Trace(line);
    // The marker file is made exclusively: it exists only while an instance runs.
    g_instance_marker = kvp::StateDir() + "/" + g_name + ".instance";
    if (kvp::PathExists(g_instance_marker.c_str())) Trace("DUPLICATE");
    kvp::File(kvp::OpenFileForWrite(g_instance_marker.c_str()));
    g_handle = kvp::RegisterServiceCtrlHandlerA(argv[0], Handler);
    Report(kvp::kServiceStartPending);
    kvp::Sleep(g_opt.slowStartMs);
    if (g_opt.failStart)
        Report(kvp::kServiceStopped, kvp::kErrorServiceSpecificError, g_opt.failStart);
    else
        Report(kvp::kServiceRunning);
}

void ParseOptions(int argc, char** argv, int from) {
    for (int i = from; i < argc; ++i) {
        const std::string a = argv[i];
        const uint32_t v = i + 1 < argc ? static_cast<uint32_t>(std::atol(argv[i + 1])) : 0;
        if (a == "--exit-early") {
            g_opt.exitEarly = true;
            continue;
        }
        if (a == "--fail-start") g_opt.failStart = v;
        if (a == "--slow-start") g_opt.slowStartMs = v;
        if (a == "--slow-stop") g_opt.slowStopMs = v;
        if (a == "--accept") g_opt.accept = v;
        ++i;
    }
}

// Starts and stops the service; refusals that a concurrent starter or stopper explains
// are expected, anything else is a fault.
int Race(const char* name, int count) {
    kvp::ScopedScHandle scm(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kScManagerAllAccess));
    kvp::ScopedScHandle svc(kvp::OpenServiceA(scm.get(), name, kvp::kServiceAllAccess));
    if (!svc) return 2;
    int started = 0;
    for (int i = 0; i < count; ++i) {
        if (kvp::StartServiceA(svc.get(), 0, nullptr)) {
            ++started;
        } else if (kvp::LastSystemError() != kvp::kErrorServiceAlreadyRunning) {
            std::printf("start failed %d\n", kvp::LastSystemError());
            return 3;
        }
        kvp::ServiceStatus st;
        if (!kvp::ControlService(svc.get(), kvp::kServiceControlStop, &st) &&
            kvp::LastSystemError() != kvp::kErrorServiceNotActive &&
            kvp::LastSystemError() != kvp::kErrorServiceCannotAcceptCtrl) {
            std::printf("stop failed %d\n", kvp::LastSystemError());
            return 4;
        }
    }
    std::printf("started %d\n", started);
    return 0;
}

int HoldLock() {
    kvp::ScopedScHandle scm(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kGenericExecute));
    if (!kvp::LockServiceDatabase(scm.get())) return 2;
    std::printf("locked\n");
    std::fflush(stdout);
    for (;;) kvp::Sleep(1000);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "race") == 0) return Race(argv[2], std::atoi(argv[3]));
    if (argc >= 2 && std::strcmp(argv[1], "lock") == 0) return HoldLock();
    const bool foreground = argc >= 3 && std::strcmp(argv[1], "-f") == 0;
    ParseOptions(argc, argv, foreground ? 3 : 1);
    if (g_opt.exitEarly) return 3;
    g_name = foreground ? argv[2] : kvp::GetEnv("KVTFTP_SERVICE_NAME");
    const kvp::ServiceTableEntry table[] = {{foreground ? argv[2] : "TEST", ServiceMain},
                                            {nullptr, nullptr}};
    const bool ok =
        foreground ? kvp::RunServiceInForeground(table) : kvp::StartServiceCtrlDispatcherA(table);
    if (!ok) {
        std::printf("dispatcher failed %d\n", kvp::LastSystemError());
        return 1;
    }
    Trace("exit " + std::to_string(kvp::CurrentProcessId()));
    return 0;
}
