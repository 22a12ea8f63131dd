// kvsc: the service manager from the command line, in the manner of Windows' sc.exe.
//
//   kvsc create NAME binPath= PATH [start= demand|auto|disabled] [DisplayName= TEXT]
//   kvsc config NAME [binPath= PATH] [start= ...] [DisplayName= TEXT]
//   kvsc description NAME TEXT
//   kvsc delete NAME
//   kvsc start NAME [ARGUMENTS...]
//   kvsc stop|pause|continue|interrogate NAME
//   kvsc control NAME CODE
//   kvsc query NAME
//   kvsc qc NAME
//
// A failure prints the failed call, the Windows code and its text; the exit status is
// the code (modulo 256, never 0).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kv/errors.h"
#include "kv/service.h"
#include "kv/text.h"

namespace {

using Args = std::vector<std::string>;

int Failed(const char* call, long code) {
    std::printf("[SC] %s FAILED %ld:\n\n%s\n\n", call, code,
                kvp::SystemErrorText(static_cast<int>(code)).c_str());
    const int status = static_cast<int>(code & 0xFF);
    return status ? status : 1;
}

int Usage() {
    std::printf(
        "Usage: kvsc COMMAND NAME [OPTIONS]\n"
        "  create NAME binPath= PATH [start= demand|auto|disabled] [DisplayName= TEXT]\n"
        "  config NAME [binPath= PATH] [start= ...] [DisplayName= TEXT]\n"
        "  description NAME TEXT\n"
        "  delete NAME\n"
        "  start NAME [ARGUMENTS...]\n"
        "  stop | pause | continue | interrogate NAME\n"
        "  control NAME CODE\n"
        "  query NAME\n"
        "  qc NAME\n");
    return static_cast<int>(kvp::kErrorInvalidParameter);
}

// The "key= value" options after the name (also written "key=value").
struct Options {
    std::string binPath, displayName;
    uint32_t start = kvp::kServiceNoChange;
};

bool ParseOptions(const Args& args, size_t from, Options* o) {
    for (size_t i = from; i < args.size(); ++i) {
        const size_t eq = args[i].find('=');
        if (eq == std::string::npos) return false;
        const std::string key = args[i].substr(0, eq + 1);
        std::string value = args[i].substr(eq + 1);
        if (value.empty()) {
            if (++i >= args.size()) return false;
            value = args[i];
        }
        if (kvp::EqualNoCase(key, "binPath=")) {
            o->binPath = value;
        } else if (kvp::EqualNoCase(key, "DisplayName=")) {
            o->displayName = value;
        } else if (kvp::EqualNoCase(key, "start=")) {
            if (kvp::EqualNoCase(value, "auto"))
                o->start = kvp::kServiceAutoStart;
            else if (kvp::EqualNoCase(value, "demand"))
                o->start = kvp::kServiceDemandStart;
            else if (kvp::EqualNoCase(value, "disabled"))
                o->start = kvp::kServiceDisabled;
            else
                return false;
        } else {
            return false;
        }
    }
    return true;
}

const char* StateWord(uint32_t state) {
    static const char* const kWords[] = {"STOPPED", "START_PENDING",    "STOP_PENDING",
                                         "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING",
                                         "PAUSED"};
    return state >= 1 && state <= 7 ? kWords[state - 1] : "UNKNOWN";
}

void PrintStatus(const std::string& name, const kvp::ServiceStatus& s) {
    std::string accepts;
    const struct {
        uint32_t bit;
        const char* word;
    } kAccepts[] = {{kvp::kServiceAcceptStop, "STOPPABLE"},
                    {kvp::kServiceAcceptPauseContinue, "PAUSABLE"},
                    {kvp::kServiceAcceptShutdown, "ACCEPTS_SHUTDOWN"},
                    {kvp::kServiceAcceptParamChange, "ACCEPTS_PARAMCHANGE"}};
    for (const auto& a : kAccepts) {
        if (!(s.controlsAccepted & a.bit)) continue;
        if (!accepts.empty()) accepts += ", ";
        accepts += a.word;
    }
    std::printf(
        "\nSERVICE_NAME: %s\n"
        "        TYPE               : %x  %s\n"
        "        STATE              : %u  %s\n"
        "                                (%s)\n"
        "        WIN32_EXIT_CODE    : %u  (0x%x)\n"
        "        SERVICE_EXIT_CODE  : %u  (0x%x)\n"
        "        CHECKPOINT         : 0x%x\n"
        "        WAIT_HINT          : 0x%x\n",
        name.c_str(), s.serviceType,
        s.serviceType == kvp::kServiceWin32OwnProcess ? "WIN32_OWN_PROCESS" : "", s.currentState,
        StateWord(s.currentState), accepts.c_str(), s.win32ExitCode, s.win32ExitCode,
        s.serviceSpecificExitCode, s.serviceSpecificExitCode, s.checkPoint, s.waitHint);
}

int PrintConfig(const std::string& name, kvp::ScHandle svc) {
    uint32_t needed = 0;
    if (!kvp::QueryServiceConfigA(svc, nullptr, 0, &needed) &&
        kvp::LastSystemError() != kvp::kErrorInsufficientBuffer)
        return Failed("QueryServiceConfig", kvp::LastSystemError());
    std::vector<uint64_t> buf(needed / sizeof(uint64_t) + 1);
    auto* c = reinterpret_cast<kvp::ServiceConfig*>(buf.data());
    if (!kvp::QueryServiceConfigA(svc, c, static_cast<uint32_t>(buf.size() * sizeof(uint64_t)),
                                  &needed))
        return Failed("QueryServiceConfig", kvp::LastSystemError());
    static const char* const kStarts[] = {"BOOT_START", "SYSTEM_START", "AUTO_START",
                                          "DEMAND_START", "DISABLED"};
    static const char* const kErrors[] = {"IGNORE", "NORMAL", "SEVERE", "CRITICAL"};
    std::printf(
        "[SC] QueryServiceConfig SUCCESS\n\n"
        "SERVICE_NAME: %s\n"
        "        TYPE               : %x  %s\n"
        "        START_TYPE         : %u   %s\n"
        "        ERROR_CONTROL      : %u   %s\n"
        "        BINARY_PATH_NAME   : %s\n"
        "        LOAD_ORDER_GROUP   : %s\n"
        "        TAG                : %u\n"
        "        DISPLAY_NAME       : %s\n"
        "        DEPENDENCIES       : %s\n"
        "        SERVICE_START_NAME : %s\n",
        name.c_str(), c->serviceType,
        c->serviceType == kvp::kServiceWin32OwnProcess ? "WIN32_OWN_PROCESS" : "", c->startType,
        c->startType <= 4 ? kStarts[c->startType] : "", c->errorControl,
        c->errorControl <= 3 ? kErrors[c->errorControl] : "", c->binaryPathName, c->loadOrderGroup,
        c->tagId, c->displayName, c->dependencies, c->serviceStartName);
    return 0;
}

// Sends a control and prints the status that comes back.
int Control(const std::string& name, kvp::ScHandle svc, uint32_t code) {
    kvp::ServiceStatus st;
    if (!kvp::ControlService(svc, code, &st))
        return Failed("ControlService", kvp::LastSystemError());
    PrintStatus(name, st);
    return 0;
}

uint32_t ServiceAccessFor(const std::string& cmd) {
    if (cmd == "query") return kvp::kServiceQueryStatus;
    if (cmd == "qc") return kvp::kServiceQueryConfig;
    if (cmd == "config" || cmd == "description") return kvp::kServiceChangeConfig;
    if (cmd == "delete") return kvp::kDelete;
    if (cmd == "start") return kvp::kServiceStart | kvp::kServiceQueryStatus;
    if (cmd == "stop") return kvp::kServiceStop;
    if (cmd == "pause" || cmd == "continue") return kvp::kServicePauseContinue;
    if (cmd == "interrogate") return kvp::kServiceInterrogate;
    if (cmd == "control") return kvp::kServiceAllAccess;
    return 0;
}

int Create(const Args& a, kvp::ScHandle scm) {
    Options o;
    o.start = kvp::kServiceDemandStart;
    if (!ParseOptions(a, 3, &o) || o.binPath.empty()) return Usage();
    kvp::ScopedScHandle svc(kvp::CreateServiceA(
        scm, a[2].c_str(), o.displayName.empty() ? nullptr : o.displayName.c_str(),
        kvp::kServiceAllAccess, kvp::kServiceWin32OwnProcess, o.start, kvp::kServiceErrorNormal,
        o.binPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!svc) return Failed("CreateService", kvp::LastSystemError());
    std::printf("[SC] CreateService SUCCESS\n");
    return 0;
}

int OnService(const Args& a, kvp::ScHandle scm) {
    const std::string& cmd = a[1];
    const std::string& name = a[2];
    const uint32_t access = ServiceAccessFor(cmd);
    if (!access) return Usage();
    kvp::ScopedScHandle svc(kvp::OpenServiceA(scm, name.c_str(), access));
    if (!svc) return Failed("OpenService", kvp::LastSystemError());
    if (cmd == "query") {
        kvp::ServiceStatus st;
        if (!kvp::QueryServiceStatus(svc.get(), &st))
            return Failed("QueryServiceStatus", kvp::LastSystemError());
        PrintStatus(name, st);
    } else if (cmd == "qc") {
        return PrintConfig(name, svc.get());
    } else if (cmd == "config") {
        Options o;
        if (!ParseOptions(a, 3, &o)) return Usage();
        if (!kvp::ChangeServiceConfigA(
                svc.get(), kvp::kServiceNoChange, o.start, kvp::kServiceNoChange,
                o.binPath.empty() ? nullptr : o.binPath.c_str(), nullptr, nullptr, nullptr, nullptr,
                nullptr, o.displayName.empty() ? nullptr : o.displayName.c_str()))
            return Failed("ChangeServiceConfig", kvp::LastSystemError());
        std::printf("[SC] ChangeServiceConfig SUCCESS\n");
    } else if (cmd == "description") {
        if (a.size() != 4) return Usage();
        kvp::ServiceDescription d{const_cast<char*>(a[3].c_str())};
        if (!kvp::ChangeServiceConfig2A(svc.get(), kvp::kServiceConfigDescription, &d))
            return Failed("ChangeServiceConfig2", kvp::LastSystemError());
        std::printf("[SC] ChangeServiceConfig2 SUCCESS\n");
    } else if (cmd == "delete") {
        if (!kvp::DeleteService(svc.get())) return Failed("DeleteService", kvp::LastSystemError());
        std::printf("[SC] DeleteService SUCCESS\n");
    } else if (cmd == "start") {
        std::vector<const char*> args;
        for (size_t i = 3; i < a.size(); ++i) args.push_back(a[i].c_str());
        if (!kvp::StartServiceA(svc.get(), static_cast<uint32_t>(args.size()), args.data()))
            return Failed("StartService", kvp::LastSystemError());
        kvp::ServiceStatus st;
        if (kvp::QueryServiceStatus(svc.get(), &st)) PrintStatus(name, st);
    } else if (cmd == "control") {
        char* end = nullptr;
        const unsigned long code = a.size() == 4 ? std::strtoul(a[3].c_str(), &end, 10) : 0;
        if (a.size() != 4 || *end || code > 0xFFFFFFFFul) return Usage();
        return Control(name, svc.get(), static_cast<uint32_t>(code));
    } else {
        const uint32_t code = cmd == "stop"       ? kvp::kServiceControlStop
                              : cmd == "pause"    ? kvp::kServiceControlPause
                              : cmd == "continue" ? kvp::kServiceControlContinue
                                                  : kvp::kServiceControlInterrogate;
        return Control(name, svc.get(), code);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Args a(argv, argv + argc);
    if (a.size() < 3) return Usage();
    const bool create = a[1] == "create";
    kvp::ScopedScHandle scm(kvp::OpenSCManagerA(
        nullptr, nullptr, create ? kvp::kScManagerCreateService : kvp::kScManagerConnect));
    if (!scm) return Failed("OpenSCManager", kvp::LastSystemError());
    return create ? Create(a, scm.get()) : OnService(a, scm.get());
}
