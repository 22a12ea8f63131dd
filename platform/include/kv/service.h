// The service control manager and the service dispatcher, in the shape of the Windows
// calls (handles, access rights, status records, result codes through the system's
// last error).
//
// On POSIX a service is a record under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<name> in the registry
// (ImagePath, Start, Type, ErrorControl, DisplayName, Description, ObjectName); a
// started service is a detached process with KVTFTP_SERVICE_NAME=<name> in its
// environment whose dispatcher serves $KVTFTP_STATE_DIR/run/<name>.sock. Beside the
// socket in run/: <name>.host, locked by the live dispatcher for its whole life (no lock
// means stopped); <name>.status, the last status the service reported; <name>.log, the
// program's standard output and error; ServicesActive.lock, the database lock.
#pragma once

#include <cstdint>
#include <utility>

#include "kv/export.h"

namespace kvp {

// Windows result codes of the service calls, read through LastSystemError().
constexpr long kErrorInsufficientBuffer = 122;
constexpr long kErrorInvalidName = 123;
constexpr long kErrorInvalidLevel = 124;
constexpr long kErrorBadExeFormat = 193;
constexpr long kErrorDependentServicesRunning = 1051;
constexpr long kErrorInvalidServiceControl = 1052;
constexpr long kErrorServiceRequestTimeout = 1053;
constexpr long kErrorServiceNoThread = 1054;
constexpr long kErrorServiceDatabaseLocked = 1055;
constexpr long kErrorServiceAlreadyRunning = 1056;
constexpr long kErrorServiceDisabled = 1058;
constexpr long kErrorServiceDoesNotExist = 1060;
constexpr long kErrorServiceCannotAcceptCtrl = 1061;
constexpr long kErrorServiceNotActive = 1062;
constexpr long kErrorFailedServiceControllerConnect = 1063;
constexpr long kErrorDatabaseDoesNotExist = 1065;
constexpr long kErrorServiceSpecificError = 1066;
constexpr long kErrorInvalidServiceLock = 1071;
constexpr long kErrorServiceMarkedForDelete = 1072;
constexpr long kErrorServiceExists = 1073;
constexpr long kErrorServiceNeverStarted = 1077;
constexpr long kRpcServerUnavailable = 1722;

// Access rights.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericExecute = 0x20000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kDelete = 0x00010000u;
constexpr uint32_t kReadControl = 0x00020000u;
constexpr uint32_t kScManagerConnect = 0x0001;
constexpr uint32_t kScManagerCreateService = 0x0002;
constexpr uint32_t kScManagerEnumerateService = 0x0004;
constexpr uint32_t kScManagerLock = 0x0008;
constexpr uint32_t kScManagerQueryLockStatus = 0x0010;
constexpr uint32_t kScManagerModifyBootConfig = 0x0020;
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceQueryConfig = 0x0001;
constexpr uint32_t kServiceChangeConfig = 0x0002;
constexpr uint32_t kServiceQueryStatus = 0x0004;
constexpr uint32_t kServiceEnumerateDependents = 0x0008;
constexpr uint32_t kServiceStart = 0x0010;
constexpr uint32_t kServiceStop = 0x0020;
constexpr uint32_t kServicePauseContinue = 0x0040;
constexpr uint32_t kServiceInterrogate = 0x0080;
constexpr uint32_t kServiceUserDefinedControl = 0x0100;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

// Service type, start type, error control.
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceDisabled = 4;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceNoChange = 0xFFFFFFFFu;

// Current states.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;

// Control codes and the controls a service accepts.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceControlParamChange = 6;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptPauseContinue = 2;
constexpr uint32_t kServiceAcceptShutdown = 4;
constexpr uint32_t kServiceAcceptParamChange = 8;

// Configuration information levels of ChangeServiceConfig2A.
constexpr uint32_t kServiceConfigDescription = 1;

// The status record that a service reports and the manager returns, field for field
// the Windows SERVICE_STATUS.
struct ServiceStatus {
    uint32_t serviceType = 0;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

// A service's configuration as QueryServiceConfigA returns it: the texts point into the
// caller's buffer, behind the record (the Windows QUERY_SERVICE_CONFIGA).
struct ServiceConfig {
    uint32_t serviceType;
    uint32_t startType;
    uint32_t errorControl;
    char* binaryPathName;
    char* loadOrderGroup;
    uint32_t tagId;
    char* dependencies;
    char* serviceStartName;
    char* displayName;
};

struct ServiceDescription {
    char* description;
};

struct ScHandleState;
using ScHandle = ScHandleState*;
struct ScLockState;
using ScLock = ScLockState*;

// Every call sets the system's last error on failure (a Windows code above, or
// kErrorAccessDenied when the handle lacks the right the call needs).
ScHandle OpenSCManagerA(const char* machine, const char* database, uint32_t access);
ScHandle CreateServiceA(ScHandle manager, const char* name, const char* displayName,
                        uint32_t access, uint32_t serviceType, uint32_t startType,
                        uint32_t errorControl, const char* binaryPathName,
                        const char* loadOrderGroup, uint32_t* tagId, const char* dependencies,
                        const char* serviceStartName, const char* password);
ScHandle OpenServiceA(ScHandle manager, const char* name, uint32_t access);
bool CloseServiceHandle(ScHandle handle);

// Starts the service's program and returns once its dispatcher has connected (the
// service may still be start pending). The service main receives the service name
// followed by argv. The program is the quoted start of the ImagePath, or its text up to
// the first blank; on POSIX a Windows file name that does not exist is tried by its Linux
// name (".../KVTFTPSVC.EXE" runs ".../kvtftpsvc"). Fails with kErrorServiceRequestTimeout
// when the program ends before its dispatcher connects or does not connect in 30 s.
bool StartServiceA(ScHandle service, uint32_t argc, const char** argv);
// Sends a control code and returns once the service's handler has run; status receives
// the service's status afterwards (also when the control is refused because the service
// is not active or cannot take it). Codes 1 to 4, 6 and the user-defined 128 to 255 can
// be sent; the service must accept the code (interrogate and user-defined codes always
// pass) and be neither start nor stop pending.
bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status);
bool QueryServiceStatus(ScHandle service, ServiceStatus* status);
// Fills config (size bytes of room); with too little room fails with
// kErrorInsufficientBuffer and the size needed in *needed.
bool QueryServiceConfigA(ScHandle service, ServiceConfig* config, uint32_t size, uint32_t* needed);
// kServiceNoChange and null pointers leave the item as it is.
bool ChangeServiceConfigA(ScHandle service, uint32_t serviceType, uint32_t startType,
                          uint32_t errorControl, const char* binaryPathName,
                          const char* loadOrderGroup, uint32_t* tagId, const char* dependencies,
                          const char* serviceStartName, const char* password,
                          const char* displayName);
// Level kServiceConfigDescription with a ServiceDescription.
bool ChangeServiceConfig2A(ScHandle service, uint32_t infoLevel, void* info);
// Marks the service for deletion; it goes at once when stopped, else when it stops.
bool DeleteService(ScHandle service);
// The database lock: while it is held, starts and a second lock fail with
// kErrorServiceDatabaseLocked.
ScLock LockServiceDatabase(ScHandle manager);
bool UnlockServiceDatabase(ScLock lock);

// ---- the service's side ----

using ServiceMainProc = void(KV_STDCALL*)(uint32_t argc, char** argv);
using HandlerProc = void(KV_STDCALL*)(uint32_t control);

struct ServiceTableEntry {
    const char* serviceName;
    ServiceMainProc serviceProc;
};

struct ServiceStatusHandleState;
using ServiceStatusHandle = ServiceStatusHandleState*;

// Connects the process to the service manager and runs its services: the service main
// runs on a thread of its own, control codes reach the handler on the calling thread.
// Returns true once the service has reported stopped; false at once (with
// kErrorFailedServiceControllerConnect) when the process was not started by the
// manager, or with kErrorServiceAlreadyRunning when another dispatcher serves the
// service. The table ends with an entry whose name is null; as for an own-process
// service on Windows, its first entry runs whatever the name. On POSIX a termination
// request (SIGTERM, SIGINT) reaches the handler as shutdown when the service accepts
// that, and ends the process otherwise; the hang-up request as parameter change.
bool StartServiceCtrlDispatcherA(const ServiceTableEntry* table);
// The same for a program run from a console: the process is its own service manager
// (the same control socket serves kvsc and the status queries), and the termination
// requests reach the handler as stop, the hang-up request as parameter change.
bool RunServiceInForeground(const ServiceTableEntry* table);

// Null on failure (kErrorServiceDoesNotExist when no dispatcher runs in this process). As
// for an own-process service on Windows, the name is not checked.
ServiceStatusHandle RegisterServiceCtrlHandlerA(const char* serviceName, HandlerProc handler);
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status);

// Owns a service manager or service handle and closes it on every path.
class ScopedScHandle {
  public:
    ScopedScHandle() = default;
    explicit ScopedScHandle(ScHandle h) : h_(h) {}
    ~ScopedScHandle() { reset(); }
    ScopedScHandle(const ScopedScHandle&) = delete;
    ScopedScHandle& operator=(const ScopedScHandle&) = delete;
    ScopedScHandle(ScopedScHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    ScHandle get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(ScHandle h = nullptr) {
        if (h_) CloseServiceHandle(h_);
        h_ = h;
    }

  private:
    ScHandle h_ = nullptr;
};

}  // namespace kvp
