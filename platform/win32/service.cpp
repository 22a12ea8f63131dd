// The service control manager and the dispatcher: thin wrappers over the Windows calls,
// whose records this interface copies field for field. A program run from a console
// (RunServiceInForeground) is its own dispatcher instead: the service main runs on a
// thread, Ctrl-C, Ctrl-Break and closing the console reach the handler as stop.
#include "kv/service.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "win32.h"

namespace kvp {

static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS));
static_assert(offsetof(ServiceStatus, waitHint) == offsetof(SERVICE_STATUS, dwWaitHint));
static_assert(sizeof(ServiceConfig) == sizeof(QUERY_SERVICE_CONFIGA));
static_assert(offsetof(ServiceConfig, binaryPathName) ==
              offsetof(QUERY_SERVICE_CONFIGA, lpBinaryPathName));
static_assert(offsetof(ServiceConfig, tagId) == offsetof(QUERY_SERVICE_CONFIGA, dwTagId));
static_assert(offsetof(ServiceConfig, displayName) ==
              offsetof(QUERY_SERVICE_CONFIGA, lpDisplayName));
static_assert(sizeof(ServiceDescription) == sizeof(SERVICE_DESCRIPTIONA));

namespace {

SC_HANDLE Native(ScHandle h) {
    return reinterpret_cast<SC_HANDLE>(h);
}
ScHandle Ours(SC_HANDLE h) {
    return reinterpret_cast<ScHandle>(h);
}

SERVICE_STATUS ToNative(const ServiceStatus& s) {
    SERVICE_STATUS n{};
    n.dwServiceType = s.serviceType;
    n.dwCurrentState = s.currentState;
    n.dwControlsAccepted = s.controlsAccepted;
    n.dwWin32ExitCode = s.win32ExitCode;
    n.dwServiceSpecificExitCode = s.serviceSpecificExitCode;
    n.dwCheckPoint = s.checkPoint;
    n.dwWaitHint = s.waitHint;
    return n;
}

void FromNative(const SERVICE_STATUS& n, ServiceStatus* s) {
    s->serviceType = n.dwServiceType;
    s->currentState = n.dwCurrentState;
    s->controlsAccepted = n.dwControlsAccepted;
    s->win32ExitCode = n.dwWin32ExitCode;
    s->serviceSpecificExitCode = n.dwServiceSpecificExitCode;
    s->checkPoint = n.dwCheckPoint;
    s->waitHint = n.dwWaitHint;
}

// ---- the console's own dispatcher ----

struct Foreground {
    std::string name;
    ServiceMainProc main = nullptr;
    std::atomic<HandlerProc> handler{nullptr};  // registered by the service main's thread
    HANDLE stopped = nullptr;                   // manual-reset: the service reported stopped
    HANDLE control = nullptr;                   // auto-reset: a stop is waiting for the handler
};

std::atomic<Foreground*> g_foreground{nullptr};
// The status handle of the console's service: an address no real handle has.
char g_foregroundStatus;

ServiceStatusHandle ForegroundStatusHandle() {
    return reinterpret_cast<ServiceStatusHandle>(&g_foregroundStatus);
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    Foreground* fg = g_foreground.load();
    if (!fg) return FALSE;
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            ::SetEvent(fg->control);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // Windows ends the process once this returns: wait for the stop first.
            ::SetEvent(fg->control);
            ::WaitForSingleObject(fg->stopped, 20000);
            return TRUE;
        default:
            return FALSE;
    }
}

DWORD WINAPI ForegroundMain(LPVOID arg) {
    auto* fg = static_cast<Foreground*>(arg);
    char* argv[] = {fg->name.data(), nullptr};
    fg->main(1, argv);
    return 0;
}

}  // namespace

ScHandle OpenSCManagerA(const char* machine, const char* database, uint32_t access) {
    return Ours(::OpenSCManagerA(machine, database, access));
}

ScHandle CreateServiceA(ScHandle manager, const char* name, const char* displayName,
                        uint32_t access, uint32_t serviceType, uint32_t startType,
                        uint32_t errorControl, const char* binaryPathName,
                        const char* loadOrderGroup, uint32_t* tagId, const char* dependencies,
                        const char* serviceStartName, const char* password) {
    DWORD tag = 0;
    SC_HANDLE h =
        ::CreateServiceA(Native(manager), name, displayName, access, serviceType, startType,
                         errorControl, binaryPathName, loadOrderGroup, tagId ? &tag : nullptr,
                         dependencies, serviceStartName, password);
    if (h && tagId) *tagId = tag;
    return Ours(h);
}

ScHandle OpenServiceA(ScHandle manager, const char* name, uint32_t access) {
    return Ours(::OpenServiceA(Native(manager), name, access));
}

bool CloseServiceHandle(ScHandle handle) {
    return ::CloseServiceHandle(Native(handle));
}

bool StartServiceA(ScHandle service, uint32_t argc, const char** argv) {
    return ::StartServiceA(Native(service), argc, argv);
}

bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status) {
    SERVICE_STATUS n{};
    const BOOL ok = ::ControlService(Native(service), control, &n);
    const DWORD err = ::GetLastError();
    // Windows fills the record also when it refuses the control for the service's state.
    if (status) FromNative(n, status);
    ::SetLastError(err);
    return ok;
}

bool QueryServiceStatus(ScHandle service, ServiceStatus* status) {
    SERVICE_STATUS n{};
    if (!::QueryServiceStatus(Native(service), &n)) return false;
    if (status) FromNative(n, status);
    return true;
}

bool QueryServiceConfigA(ScHandle service, ServiceConfig* config, uint32_t size, uint32_t* needed) {
    DWORD need = 0;
    const BOOL ok = ::QueryServiceConfigA(
        Native(service), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config), size, &need);
    const DWORD err = ::GetLastError();
    if (needed) *needed = need;
    ::SetLastError(err);
    return ok;
}

bool ChangeServiceConfigA(ScHandle service, uint32_t serviceType, uint32_t startType,
                          uint32_t errorControl, const char* binaryPathName,
                          const char* loadOrderGroup, uint32_t* tagId, const char* dependencies,
                          const char* serviceStartName, const char* password,
                          const char* displayName) {
    DWORD tag = 0;
    const BOOL ok = ::ChangeServiceConfigA(Native(service), serviceType, startType, errorControl,
                                           binaryPathName, loadOrderGroup, tagId ? &tag : nullptr,
                                           dependencies, serviceStartName, password, displayName);
    if (ok && tagId) *tagId = tag;
    return ok;
}

bool ChangeServiceConfig2A(ScHandle service, uint32_t infoLevel, void* info) {
    return ::ChangeServiceConfig2A(Native(service), infoLevel, info);
}

bool DeleteService(ScHandle service) {
    return ::DeleteService(Native(service));
}

ScLock LockServiceDatabase(ScHandle manager) {
    return static_cast<ScLock>(::LockServiceDatabase(Native(manager)));
}

bool UnlockServiceDatabase(ScLock lock) {
    return ::UnlockServiceDatabase(static_cast<SC_LOCK>(lock));
}

bool StartServiceCtrlDispatcherA(const ServiceTableEntry* table) {
    if (!table) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::vector<SERVICE_TABLE_ENTRYA> native;
    for (const ServiceTableEntry* e = table; e->serviceName; ++e) {
        native.push_back({const_cast<char*>(e->serviceName),
                          reinterpret_cast<LPSERVICE_MAIN_FUNCTIONA>(e->serviceProc)});
    }
    native.push_back({nullptr, nullptr});
    return ::StartServiceCtrlDispatcherA(native.data());
}

bool RunServiceInForeground(const ServiceTableEntry* table) {
    if (!table || !table->serviceName || !table->serviceProc || g_foreground.load()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Lives until the process ends: the console's control thread may still look at it.
    auto* fg = new Foreground;
    fg->name = table->serviceName;
    fg->main = table->serviceProc;
    fg->stopped = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    fg->control = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!fg->stopped || !fg->control) return false;
    g_foreground = fg;
    if (!::SetConsoleCtrlHandler(OnConsoleControl, TRUE)) return false;
    HANDLE main = ::CreateThread(nullptr, 0, ForegroundMain, fg, 0, nullptr);
    if (!main) return false;
    // Controls reach the handler on this thread, as the real dispatcher's do.
    bool mainEnded = false;
    for (;;) {
        HANDLE waits[3] = {fg->stopped, fg->control, main};
        const DWORD r = ::WaitForMultipleObjects(mainEnded ? 2 : 3, waits, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) break;
        if (r == WAIT_OBJECT_0 + 1) {
            if (HandlerProc h = fg->handler.load()) h(kServiceControlStop);
            continue;
        }
        if (r == WAIT_OBJECT_0 + 2) {
            mainEnded = true;
            // A service main that ended without a handler can never be stopped.
            if (!fg->handler.load()) break;
            continue;
        }
        return false;
    }
    ::CloseHandle(main);
    return true;
}

ServiceStatusHandle RegisterServiceCtrlHandlerA(const char* serviceName, HandlerProc handler) {
    if (Foreground* fg = g_foreground.load()) {
        if (!serviceName || fg->name != serviceName) {
            ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        fg->handler = handler;
        return ForegroundStatusHandle();
    }
    return reinterpret_cast<ServiceStatusHandle>(
        ::RegisterServiceCtrlHandlerA(serviceName, reinterpret_cast<LPHANDLER_FUNCTION>(handler)));
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) {
    if (!status) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (handle == ForegroundStatusHandle()) {
        if (status->currentState == kServiceStopped) ::SetEvent(g_foreground.load()->stopped);
        return true;
    }
    SERVICE_STATUS n = ToNative(*status);
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &n);
}

}  // namespace kvp
