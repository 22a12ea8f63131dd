// The service manager calls and the dispatcher, end to end: run plainly, this program
// installs itself as a service, starts it through the service manager, sends it controls
// and deletes it, checking every answer; started by the manager with "service NAME" it is
// that service. Prints each step; exits 0 when all went as Windows documents.
#include <cstdio>
#include <string>

#include "kv/dynlib.h"
#include "kv/errors.h"
#include "kv/process.h"
#include "kv/service.h"
#include "kv/thread.h"
#include "kv/time.h"

namespace {

// ---- the service ----

kvp::ServiceStatusHandle g_handle = nullptr;
kvp::ServiceStatus g_status;
kvp::EventHandle g_stop;

void Report(uint32_t state) {
    g_status.serviceType = kvp::kServiceWin32OwnProcess;
    g_status.currentState = state;
    g_status.controlsAccepted = state == kvp::kServiceRunning ? kvp::kServiceAcceptStop : 0;
    kvp::SetServiceStatus(g_handle, &g_status);
}

void KV_STDCALL Handler(uint32_t control) {
    if (control == kvp::kServiceControlStop) {
        Report(kvp::kServiceStopPending);
        kvp::SetEvent(g_stop);
        return;
    }
    kvp::SetServiceStatus(g_handle, &g_status);
}

void KV_STDCALL ServiceMain(uint32_t /*argc*/, char** argv) {
    g_handle = kvp::RegisterServiceCtrlHandlerA(argv[0], Handler);
    if (!g_handle) return;
    g_stop = kvp::CreateEventA(true, false, nullptr);
    Report(kvp::kServiceRunning);
    kvp::WaitForEvent(g_stop, kvp::kInfinite);
    Report(kvp::kServiceStopped);
}

int RunService(const char* name) {
    const kvp::ServiceTableEntry table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return kvp::StartServiceCtrlDispatcherA(table) ? 0 : 1;
}

// ---- the controller ----

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (ok) {
        std::printf("ok: %s\n", what);
        return;
    }
    std::printf("FAILED: %s (last error %d)\n", what, kvp::LastSystemError());
    ++g_failures;
}

void CheckError(bool ok, long expected, const char* what) {
    const long err = kvp::LastSystemError();
    std::printf("%s: %s (error %ld, expected %ld)\n", !ok && err == expected ? "ok" : "FAILED",
                what, err, expected);
    if (ok || err != expected) ++g_failures;
}

bool WaitForState(kvp::ScHandle svc, uint32_t state) {
    const uint32_t start = kvp::GetTickCount();
    kvp::ServiceStatus st;
    while (kvp::GetTickCount() - start < 20000) {
        if (kvp::QueryServiceStatus(svc, &st) && st.currentState == state) return true;
        kvp::Sleep(50);
    }
    return false;
}

int RunController() {
    const std::string name = "KVSMOKE" + std::to_string(kvp::CurrentProcessId());
    char self[1024];
    if (!kvp::GetModuleFileNameA(self, sizeof self)) return 2;
    const std::string path = "\"" + std::string(self) + "\" service " + name;

    // Not started by the manager: the dispatcher refuses at once.
    const kvp::ServiceTableEntry table[] = {{name.c_str(), ServiceMain}, {nullptr, nullptr}};
    CheckError(kvp::StartServiceCtrlDispatcherA(table), kvp::kErrorFailedServiceControllerConnect,
               "dispatcher outside the service manager");

    kvp::ScopedScHandle mgr(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kScManagerAllAccess));
    Check(static_cast<bool>(mgr), "OpenSCManagerA");
    if (!mgr) return 1;
    kvp::ScopedScHandle svc(kvp::CreateServiceA(
        mgr.get(), name.c_str(), "Korvane smoke test", kvp::kServiceAllAccess,
        kvp::kServiceWin32OwnProcess, kvp::kServiceDemandStart, kvp::kServiceErrorNormal,
        path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    Check(static_cast<bool>(svc), "CreateServiceA");
    if (!svc) return 1;
    CheckError(kvp::CreateServiceA(mgr.get(), name.c_str(), "again", kvp::kServiceAllAccess,
                                   kvp::kServiceWin32OwnProcess, kvp::kServiceDemandStart,
                                   kvp::kServiceErrorNormal, path.c_str(), nullptr, nullptr,
                                   nullptr, nullptr, nullptr) != nullptr,
               kvp::kErrorServiceExists, "CreateServiceA of an existing name");

    uint32_t needed = 0;
    CheckError(kvp::QueryServiceConfigA(svc.get(), nullptr, 0, &needed),
               kvp::kErrorInsufficientBuffer, "QueryServiceConfigA without room");
    alignas(8) char buf[8192];
    auto* config = reinterpret_cast<kvp::ServiceConfig*>(buf);
    const bool got =
        needed <= sizeof buf && kvp::QueryServiceConfigA(svc.get(), config, sizeof buf, &needed);
    Check(got && path == config->binaryPathName && config->startType == kvp::kServiceDemandStart &&
              std::string(config->displayName) == "Korvane smoke test",
          "QueryServiceConfigA reads the record back");
    Check(kvp::ChangeServiceConfigA(svc.get(), kvp::kServiceNoChange, kvp::kServiceAutoStart,
                                    kvp::kServiceNoChange, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr) &&
              kvp::QueryServiceConfigA(svc.get(), config, sizeof buf, &needed) &&
              config->startType == kvp::kServiceAutoStart,
          "ChangeServiceConfigA sets the start type");
    char text[] = "The smoke test's description";
    kvp::ServiceDescription description{text};
    Check(kvp::ChangeServiceConfig2A(svc.get(), kvp::kServiceConfigDescription, &description),
          "ChangeServiceConfig2A");

    Check(kvp::StartServiceA(svc.get(), 0, nullptr), "StartServiceA");
    Check(WaitForState(svc.get(), kvp::kServiceRunning), "the service reports running");
    kvp::ServiceStatus st;
    Check(kvp::ControlService(svc.get(), kvp::kServiceControlInterrogate, &st) &&
              st.currentState == kvp::kServiceRunning,
          "interrogate answers running");
    CheckError(kvp::ControlService(svc.get(), kvp::kServiceControlPause, &st),
               kvp::kErrorInvalidServiceControl, "a pause the service does not accept");
    Check(kvp::ControlService(svc.get(), kvp::kServiceControlStop, &st), "stop");
    Check(WaitForState(svc.get(), kvp::kServiceStopped), "the service reports stopped");
    CheckError(kvp::ControlService(svc.get(), kvp::kServiceControlStop, &st),
               kvp::kErrorServiceNotActive, "stop of a stopped service");

    Check(kvp::DeleteService(svc.get()), "DeleteService");
    svc.reset();
    // The record goes once the last handle is closed, the service process's own among
    // them: a stopped service's process may still be on its way out.
    bool opened = true;
    for (const uint32_t start = kvp::GetTickCount(); kvp::GetTickCount() - start < 10000;) {
        kvp::ScHandle left = kvp::OpenServiceA(mgr.get(), name.c_str(), kvp::kServiceQueryStatus);
        opened = left != nullptr;
        if (!opened) break;
        kvp::CloseServiceHandle(left);
        kvp::Sleep(100);
    }
    CheckError(opened, kvp::kErrorServiceDoesNotExist, "OpenServiceA after the deletion");
    return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "service") return RunService(argv[2]);
    return RunController();
}
