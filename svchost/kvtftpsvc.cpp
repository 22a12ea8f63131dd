// kvtftpsvc: the service host. Started by the service manager it runs the TFTP server
// engine and turns the manager's controls into the engine's start, pause, resume and
// stop; from a command line it creates or deletes the service, or (-f) runs the server
// in the foreground as its own service manager.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "kv/dynlib.h"
#include "kv/errors.h"
#include "kv/export.h"
#include "kv/paths.h"
#include "kv/privileges.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/service.h"
#include "kv/text.h"
#include "kv/ui.h"
#include "kvtftpasc.h"
#include "loader.h"
#include "svc_common.h"

// The libraries stay loaded until the process ends: the engine's threads run in them.
// Kept where the whole program can see them, so that they count as kept.
kvp::HLibrary g_supportLibrary = nullptr;
kvp::HLibrary g_engineLibrary = nullptr;

namespace {

constexpr const char* kServiceName = "KVTFTP";
constexpr const char* kProductName = "Korvane TFTP server";
constexpr const char* kSupportContact = "support@korvane.example";
constexpr const char* kServerKey = "SOFTWARE\\Korvane\\TFTP Server";
constexpr uint32_t kPendingWaitHintMs = 500;
constexpr uint32_t kAllControls = kvp::kServiceAcceptStop | kvp::kServiceAcceptPauseContinue |
                                  kvp::kServiceAcceptShutdown | kvp::kServiceAcceptParamChange;
// Windows' codes for a missing export and for a failure that left no code behind.
constexpr int kErrorProcNotFound = 127;
constexpr int kErrorInvalidFunction = 1;

using EngineFn = uint32_t(KV_STDCALL*)();

struct Engine {
    EngineFn start = nullptr;
    EngineFn pause = nullptr;
    EngineFn resume = nullptr;
    EngineFn stop = nullptr;
};

struct Events {
    kvasc::LogMessageFn generic = nullptr;
    kvasc::VoidFn started = nullptr;
    kvasc::VoidFn stopped = nullptr;
    kvasc::VoidFn paused = nullptr;
    kvasc::VoidFn resumed = nullptr;
};

Engine g_engine;
Events g_events;
kvp::ServiceStatus g_status;
kvp::ServiceStatusHandle g_statusHandle = nullptr;
// Pauses the engine holds: a continue resumes them all, so that it always serves again.
int g_enginePauses = 0;

// A box that names the library and the function it lacks; the start then fails.
void ReportMissingExport(const char* library, const char* name) {
    char text[256];
    std::snprintf(text, sizeof text, "%s lacks the function %s. Aborting.", library, name);
    kvp::MessageBoxA(nullptr, text, "Load TFTP server DLL",
                     kvp::kMbIconError | kvp::kMbServiceNotification);
    kvp::SetLastSystemError(kErrorProcNotFound);
}

bool BindEvents(kvp::HLibrary support) {
    const ExportBinding bindings[] = {
        {"SendGenericLogMessage", Slot(&g_events.generic)},
        {"SendServerStartedMessage", Slot(&g_events.started)},
        {"SendServerStoppedMessage", Slot(&g_events.stopped)},
        {"SendServerPausedMessage", Slot(&g_events.paused)},
        {"SendServerResumedMessage", Slot(&g_events.resumed)},
    };
    const char* missing = nullptr;
    if (BindExports(support, bindings, std::size(bindings), &missing)) return true;
    ReportMissingExport("KVTFTPASC.DLL", missing);
    return false;
}

bool BindEngine(kvp::HLibrary engine) {
    const ExportBinding bindings[] = {
        {"StartTFTPServer", Slot(&g_engine.start)},
        {"PauseTFTPServer", Slot(&g_engine.pause)},
        {"ResumeTFTPServer", Slot(&g_engine.resume)},
        {"StopTFTPServer", Slot(&g_engine.stop)},
    };
    const char* missing = nullptr;
    if (BindExports(engine, bindings, std::size(bindings), &missing)) return true;
    ReportMissingExport("KVTFTPTSV.DLL", missing);
    return false;
}

// The code of a failed start: never 0, which would read as a running service.
uint32_t FailureCode(uint32_t engineResult) {
    if (engineResult != 0 && engineResult != 1) return engineResult;
    const int err = kvp::LastSystemError();
    return static_cast<uint32_t>(err != 0 ? err : kErrorInvalidFunction);
}

// A system error code, 0 when the server runs.
uint32_t SvcStartServer() {
    g_supportLibrary = LoadSupportLibrary();
    if (g_supportLibrary == nullptr) return FailureCode(0);
    g_engineLibrary = LoadServerEngine();
    if (g_engineLibrary == nullptr) return FailureCode(0);
    if (!BindEvents(g_supportLibrary) || !BindEngine(g_engineLibrary)) return FailureCode(0);
    // The engine answers 1 for success and a system error number otherwise.
    const uint32_t rc = g_engine.start();
    if (rc != 1) return FailureCode(rc);
    g_enginePauses = 0;
    g_events.started();
    return 0;
}

void SvcStopServer() {
    g_engine.stop();
    g_enginePauses = 0;
    g_events.stopped();
}

void SvcReconfigure() {
    if (g_engine.stop() != 1) {
        ShowSystemError("SvcReconfigure - Error stopping server");
        return;
    }
    if (g_engine.start() == 1) {
        g_events.generic("Parameter change received. TFTP server restarted.");
    } else {
        ShowSystemError("SvcReconfigure - Error starting server");
    }
}

// 1 when every pause the engine holds was resumed (at least one resume is asked for).
uint32_t ResumeEngine() {
    uint32_t rc = 0;
    do {
        rc = g_engine.resume();
        if (rc != 1) return rc;
    } while (--g_enginePauses > 0);
    g_enginePauses = 0;
    return rc;
}

bool ReportStatus() {
    return kvp::SetServiceStatus(g_statusHandle, &g_status);
}

void KV_STDCALL SvcHandler(uint32_t control) {
    switch (control) {
        case kvp::kServiceControlStop:
        case kvp::kServiceControlShutdown:
            g_status.currentState = kvp::kServiceStopPending;
            g_status.waitHint = kPendingWaitHintMs;
            ReportStatus();
            SvcStopServer();
            g_status.win32ExitCode = 0;
            g_status.waitHint = 0;
            g_status.currentState = kvp::kServiceStopped;
            if (control == kvp::kServiceControlShutdown)
                g_events.generic("Machine shutdown message received.");
            break;
        case kvp::kServiceControlPause:
            g_status.currentState = kvp::kServicePaused;
            if (g_engine.pause() == 1) {
                ++g_enginePauses;
                g_events.paused();
            }
            break;
        case kvp::kServiceControlContinue:
            g_status.currentState = kvp::kServiceRunning;
            if (ResumeEngine() == 1) g_events.resumed();
            break;
        case kvp::kServiceControlInterrogate:
            if (g_status.currentState == kvp::kServiceStopped) return;
            break;
        case kvp::kServiceControlParamChange:
            if (g_status.currentState == kvp::kServiceRunning) {
                g_status.currentState = kvp::kServiceStartPending;
                g_status.waitHint = kPendingWaitHintMs;
                ReportStatus();
                SvcReconfigure();
                g_status.currentState = kvp::kServiceRunning;
                g_status.waitHint = 0;
            }
            break;
        default:
            kvp::SetLastSystemError(static_cast<int>(kvp::kErrorInvalidServiceControl));
            ShowSystemError("SvcHandler - Unrecognized opcode");
            break;
    }
    if (!ReportStatus()) ShowSystemError("SvcHandler - SetServiceStatus");
}

void KV_STDCALL SvcMain(uint32_t, char**) {
    g_status = kvp::ServiceStatus{};
    g_status.serviceType = kvp::kServiceWin32OwnProcess;
    g_status.currentState = kvp::kServiceStartPending;
    g_status.controlsAccepted = kAllControls;
    g_statusHandle = kvp::RegisterServiceCtrlHandlerA(kServiceName, SvcHandler);
    if (g_statusHandle == nullptr) {
        ShowSystemError("RegisterServiceCtrlHandler failed:");
        g_status.currentState = kvp::kServiceStopped;
        return;
    }
    ReportStatus();
    const uint32_t code = SvcStartServer();
    if (code != 0) {
        g_status.currentState = kvp::kServiceStopped;
        g_status.win32ExitCode = static_cast<uint32_t>(kvp::kErrorServiceSpecificError);
        g_status.serviceSpecificExitCode = code;
    } else {
        g_status.currentState = kvp::kServiceRunning;
    }
    ReportStatus();
}

const kvp::ServiceTableEntry kServiceTable[] = {
    {kServiceName, SvcMain},
    {nullptr, nullptr},
};

// ---- the command line ----

int InstallOrRemove(bool install) {
    g_supportLibrary = LoadSupportLibrary();
    if (g_supportLibrary == nullptr) return 0;
    const char* name = install ? "AddSvcToMachine" : "RemoveSvcFromMachine";
    auto fn = reinterpret_cast<kvasc::VoidFn>(kvp::GetProcAddress(g_supportLibrary, name));
    if (fn == nullptr) {
        ReportMissingExport("KVTFTPASC.DLL", name);
        return 0;
    }
    std::printf(install ? "Installing %s as a service...\n" : "Removing %s as a service...\n",
                kProductName);
    std::fflush(stdout);
    fn();
    return 0;
}

// ---- the foreground host ----

struct ForegroundOptions {
    long port = -1;  // -1: not given
    std::string stateDir;
    std::string directory;
    std::string user;  // -u: the user to run as
    bool quiet = false;
    bool negotiateOptions = false;
};

void PrintForegroundUsage() {
    std::fprintf(stderr,
                 "Usage: kvtftpsvc -f [-p PORT] [-s STATEDIR] [-u USER] [-q] [-o] [DIRECTORY]\n"
                 "Runs the TFTP server in the foreground until SIGINT or SIGTERM; SIGHUP\n"
                 "reloads the settings.\n"
                 "  DIRECTORY    serve this directory (recorded as the server's root)\n"
                 "  -p PORT      UDP port to listen on (default: the tftp entry of\n"
                 "               KVTFTP_SERVICES or /etc/services, else 69)\n"
                 "  -s STATEDIR  settings and event log (default: KVTFTP_STATE_DIR, else\n"
                 "               %s)\n"
                 "  -u USER      run as USER (started by root), keeping only the right to\n"
                 "               bind the port; the state directory must be USER's (made\n"
                 "               for USER when missing)\n"
                 "  -q           do not copy the server's log lines to standard error\n"
                 "  -o           answer the blksize, tsize, timeout and windowsize options\n"
                 "               of clients that ask (recorded as NegotiateOptions = 1)\n",
                 kvp::StateDir().c_str());
}

bool ParsePort(const std::string& text, long* port) {
    if (text.empty() || text.size() > 5) return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > 65535) return false;
    *port = v;
    return true;
}

// 0 to go on, else the exit status.
int ParseForeground(int argc, char** argv, ForegroundOptions* opt) {
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            PrintForegroundUsage();
            return 2;
        }
        if (a == "-q") {
            opt->quiet = true;
        } else if (a == "-o") {
            opt->negotiateOptions = true;
        } else if ((a == "-p" || a == "-s" || a == "-u") && i + 1 < argc) {
            const std::string v = argv[++i];
            if (a == "-u") {
                opt->user = v;
            } else if (a == "-s") {
                opt->stateDir = v;
            } else if (!ParsePort(v, &opt->port)) {
                std::fprintf(stderr, "kvtftpsvc: invalid port '%s'\n", v.c_str());
                return 2;
            }
        } else if (a.empty() || a[0] == '-' || !opt->directory.empty()) {
            PrintForegroundUsage();
            return 2;
        } else {
            opt->directory = a;
        }
    }
    return 0;
}

bool WriteServicesFile(const std::string& path, long port) {
    std::ofstream out(path, std::ios::trunc);
    out << "# written by kvtftpsvc -f\n"
        << "tftp\t\t" << port << "/udp\n"
        << "syslog\t\t514/udp\n";
    out.close();
    // The state directory is owner-only; so is what is written into it.
    std::error_code ec;
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    return static_cast<bool>(out) && !ec;
}

bool WriteServerText(const char* name, const std::string& value) {
    kvp::RegKey key;
    uint32_t disposition = 0;
    long rc = kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyWrite, key.out(),
                                   &disposition);
    if (rc == kvp::kErrorSuccess) {
        rc = kvp::RegSetValueExA(key.get(), name, kvp::kRegSz,
                                 reinterpret_cast<const uint8_t*>(value.c_str()),
                                 static_cast<uint32_t>(value.size() + 1));
    }
    if (rc != kvp::kErrorSuccess) {
        std::fprintf(stderr, "kvtftpsvc: cannot record %s: %s\n", name,
                     kvp::SystemErrorText(static_cast<int>(rc)).c_str());
        return false;
    }
    return true;
}

// The root the server will serve: the recorded one, else the current directory (the
// engine's default).
std::string ServedRoot() {
    kvp::RegKey key;
    char root[261] = "";
    uint32_t size = sizeof root - 1;
    if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyRead, key.out()) ==
            kvp::kErrorSuccess &&
        kvp::RegQueryValueExA(key.get(), "TFTPHome", nullptr, reinterpret_cast<uint8_t*>(root),
                              &size) == kvp::kErrorSuccess) {
        return root;
    }
    return kvp::GetCurrentDirectoryA(root, sizeof root) > 0 ? root : ".";
}

// -u: the user taken on before anything is read or written, so that all the state is
// that user's. The state directory stays where root's is (not in the user's home).
bool BecomeUser(const std::string& user) {
    kvp::SetEnv("KVTFTP_STATE_DIR", kvp::StateDir().c_str());
    std::string why;
    if (kvp::RunAsUser(user.c_str(), kvp::StateDir().c_str(), &why)) return true;
    std::fprintf(stderr, "%s\n", why.c_str());
    return false;
}

int RunForeground(const ForegroundOptions& opt) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!opt.stateDir.empty()) kvp::SetEnv("KVTFTP_STATE_DIR", opt.stateDir.c_str());
    if (!opt.user.empty() && !BecomeUser(opt.user)) return 1;
    const std::string stateDir = kvp::StateDir();
    std::string refused;
    if (!kvp::PrepareStateDir(&refused)) {
        std::fprintf(stderr, "%s\n", refused.c_str());
        return 1;
    }
    if (opt.port > 0) {
        const std::string services = (fs::path(stateDir) / "services").string();
        if (!WriteServicesFile(services, opt.port)) {
            std::fprintf(stderr, "kvtftpsvc: cannot write %s\n", services.c_str());
            return 1;
        }
        kvp::SetEnv("KVTFTP_SERVICES", services.c_str());
    }
    if (!opt.directory.empty()) {
        const fs::path home = fs::canonical(opt.directory, ec);
        if (ec || !fs::is_directory(home, ec)) {
            std::fprintf(stderr, "kvtftpsvc: %s is not a directory\n", opt.directory.c_str());
            return 1;
        }
        if (home.string().size() > 260) {
            std::fprintf(stderr, "kvtftpsvc: %s is longer than 260 characters\n",
                         home.string().c_str());
            return 1;
        }
        if (!WriteServerText("TFTPHome", home.string())) return 1;
    }
    if (opt.negotiateOptions) {
        kvp::RegKey key;
        uint32_t disposition = 0;
        const uint8_t on = 1;
        long rc = kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyWrite,
                                       key.out(), &disposition);
        if (rc == kvp::kErrorSuccess)
            rc = kvp::RegSetValueExA(key.get(), "NegotiateOptions", kvp::kRegBinary, &on, 1);
        if (rc != kvp::kErrorSuccess) {
            std::fprintf(stderr, "kvtftpsvc: cannot record NegotiateOptions: %s\n",
                         kvp::SystemErrorText(static_cast<int>(rc)).c_str());
            return 1;
        }
    }
    // Read by the engine when its listener starts.
    kvp::SetEnv("KVTFTP_LOG_STDERR", opt.quiet ? "0" : "1");

    std::string where = opt.port > 0
                            ? "UDP port " + std::to_string(opt.port)
                            : std::string("the tftp port of ") +
                                  (kvp::IsEnvSet("KVTFTP_SERVICES") ? kvp::GetEnv("KVTFTP_SERVICES")
                                                                    : std::string("/etc/services"));
    std::fprintf(stderr,
                 "kvtftpsvc: serving %s on %s (state in %s); Ctrl-C stops, SIGHUP reloads\n",
                 ServedRoot().c_str(), where.c_str(), stateDir.c_str());
    if (!kvp::RunServiceInForeground(kServiceTable)) {
        const int err = kvp::LastSystemError();
        std::fprintf(stderr, "kvtftpsvc: cannot run the service: %s\n",
                     kvp::SystemErrorText(err).c_str());
        return 1;
    }
    if (g_status.win32ExitCode != 0) {
        const int err = static_cast<int>(g_status.win32ExitCode == kvp::kErrorServiceSpecificError
                                             ? g_status.serviceSpecificExitCode
                                             : g_status.win32ExitCode);
        std::fprintf(stderr, "kvtftpsvc: the server did not start: %s\n",
                     kvp::SystemErrorText(err).c_str());
        return 1;
    }
    std::fprintf(stderr, "kvtftpsvc: stopped\n");
    return 0;
}

int Main(int argc, char** argv) {
    if (argc < 2) {
        if (!kvp::StartServiceCtrlDispatcherA(kServiceTable)) {
            ShowSystemError("Main StartServiceCtrlDispatcher");
            return 1;
        }
        return 0;
    }
    const char* option = argv[1];
    if (kvp::EqualNoCase(option, "-i")) return InstallOrRemove(true);
    if (kvp::EqualNoCase(option, "-r")) return InstallOrRemove(false);
    if (kvp::EqualNoCase(option, "-h")) {
        std::printf(
            "%s -\n\nUse -i to install the service.\nUse -r to remove the service.\n\nFor "
            "support, go to %s.\n",
            kProductName, kSupportContact);
        return 0;
    }
    if (kvp::EqualNoCase(option, "-f")) {
        ForegroundOptions opt;
        const int rc = ParseForeground(argc, argv, &opt);
        return rc != 0 ? rc : RunForeground(opt);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rc = 1;
    try {
        rc = Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvtftpsvc: %s\n", e.what());
    }
    // Transfers may still run on the engine's threads: ending without the static
    // destructors keeps them from objects already destroyed.
    std::fflush(nullptr);
    std::_Exit(rc);
}
