// Creating, deleting, starting, controlling and querying the TFTP server service, and
// the install directory it is created from.
#include <cstdio>
#include <cstring>
#include <vector>

#include "install_dir.h"
#include "kv/dynlib.h"
#include "kv/errors.h"
#include "kv/export.h"
#include "kv/paths.h"
#include "kv/registry.h"
#include "kv/service.h"
#include "kv/time.h"
#include "kvtftpasc.h"
#include "svc_common.h"

namespace {

constexpr const char* kDisplayName = "TFTP server";
char g_description[] = "Korvane TFTP server";
constexpr const char* kHostProgram = "KVTFTPSVC.EXE";
constexpr uint32_t kStartWaitMs = 1000;

// Windows' codes for a function that failed without saying why, and for a path too long.
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr int kErrorFilenameExcedRange = 206;

void ShowDatabaseOpenError() {
    ShowWarning("Database open error", "Failed to open the service control database.");
}

// The command line of the service: the host program in the install directory, quoted
// when it holds a blank (unquoted, the service manager would run the program named by
// the path up to the blank). Empty when the path does not fit.
bool ComposeServiceCommand(char* out, size_t room) {
    char path[kPathRoom];
    if (!ComposeInstalledPath(path, sizeof path, kHostProgram)) return false;
    const char* fmt = std::strchr(path, ' ') != nullptr ? "\"%s\"" : "%s";
    const int n = std::snprintf(out, room, fmt, path);
    return n >= 0 && static_cast<size_t>(n) < room;
}

// The service and the manager it was opened from (closed in that order).
struct ServiceHandles {
    kvp::ScopedScHandle manager;
    kvp::ScopedScHandle service;
};

// Opens the manager and the service for a start or a control, each failure with its box.
bool OpenForCommand(uint32_t managerAccess, uint32_t serviceAccess, ServiceHandles* h) {
    h->manager.reset(kvp::OpenSCManagerA(nullptr, nullptr, managerAccess));
    if (!h->manager) {
        ShowDatabaseOpenError();
        return false;
    }
    h->service.reset(kvp::OpenServiceA(h->manager.get(), kServiceName, serviceAccess));
    if (!h->service) {
        ShowSystemError("Service open error");
        return false;
    }
    return true;
}

uint32_t SendServiceControl(uint32_t control) {
    const bool query = control == kvp::kServiceControlInterrogate;
    ServiceHandles h;
    if (!OpenForCommand(
            query ? kvp::kGenericRead : kvp::kScManagerAllAccess,
            query ? kvp::kServiceQueryStatus | kvp::kServiceInterrogate : kvp::kServiceAllAccess,
            &h)) {
        return 0;
    }
    kvp::ServiceStatus status;
    // A control the service cannot take now (interrogate or stop of a stopped service)
    // still leaves its state to report.
    if (!kvp::ControlService(h.service.get(), control, &status) &&
        !kvp::QueryServiceStatus(h.service.get(), &status)) {
        ShowSystemError("DoSvcCommand: Query service status error");
        return 0;
    }
    return status.currentState;
}

uint32_t DoSvcCommand(uint32_t control) noexcept {
    return NoThrow(0u, [&]() -> uint32_t { return SendServiceControl(control); });
}

// A failure's code as QueryStartupType returns it: never 0, and never one of the start
// types 2, 3 and 4, which a caller would take for an answer.
uint32_t StartupFailureCode(int err) {
    if (err == 0 || err == 2 || err == 3 || err == 4) return kErrorInvalidFunction;
    return static_cast<uint32_t>(err);
}

uint32_t FailQueryStartupType(const char* caption) {
    const int err = kvp::LastSystemError();
    ShowSystemErrorCode(caption, err);
    return StartupFailureCode(err);
}

}  // namespace

KV_EXPORT uint32_t AddSvcToMachine(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        kvp::ScopedScHandle manager(
            kvp::OpenSCManagerA(nullptr, nullptr, kvp::kScManagerAllAccess));
        if (!manager) {
            ShowSystemError("Open SCM");
            return 0;
        }
        char command[kPathRoom + 2];
        if (!ComposeServiceCommand(command, sizeof command)) {
            kvp::SetLastSystemError(kErrorFilenameExcedRange);
            ShowSystemError("Install service");
            return 0;
        }
        kvp::ScopedScHandle service(kvp::CreateServiceA(
            manager.get(), kServiceName, kDisplayName, kvp::kServiceAllAccess,
            kvp::kServiceWin32OwnProcess, kvp::kServiceDemandStart, kvp::kServiceErrorNormal,
            command, nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!service) {
            ShowSystemError("Install service");
            return 0;
        }
        kvp::ServiceDescription info{g_description};
        if (!kvp::ChangeServiceConfig2A(service.get(), kvp::kServiceConfigDescription, &info)) {
            ShowSystemError("Add service description");
            return 0;
        }
        return 1;
    });
}

KV_EXPORT uint32_t RemoveSvcFromMachine(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        kvp::ScopedScHandle manager(
            kvp::OpenSCManagerA(nullptr, nullptr, kvp::kScManagerAllAccess));
        if (!manager) {
            ShowSystemError("Open SCM");
            return 0;
        }
        kvp::ScopedScHandle service(kvp::OpenServiceA(manager.get(), kServiceName, kvp::kDelete));
        if (!service) {
            ShowSystemError("Open SCM");
            return 0;
        }
        if (!kvp::DeleteService(service.get())) {
            ShowSystemError("DeleteService");
            return 0;
        }
        return 1;
    });
}

KV_EXPORT uint32_t DoSvcStart(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        ServiceHandles h;
        if (!OpenForCommand(kvp::kScManagerAllAccess, kvp::kServiceAllAccess, &h)) return 0;
        if (!kvp::StartServiceA(h.service.get(), 0, nullptr)) {
            ShowSystemError("Failed to start the service");
            return 0;
        }
        kvp::Sleep(kStartWaitMs);
        kvp::ServiceStatus status;
        if (!kvp::QueryServiceStatus(h.service.get(), &status)) {
            ShowSystemError("DoSvcStart: Query service status error");
            return 0;
        }
        return kvp::kServiceRunning;
    });
}

KV_EXPORT uint32_t DoSvcStop(void) {
    return DoSvcCommand(kvp::kServiceControlStop);
}
KV_EXPORT uint32_t DoSvcPause(void) {
    return DoSvcCommand(kvp::kServiceControlPause);
}
KV_EXPORT uint32_t DoSvcResume(void) {
    return DoSvcCommand(kvp::kServiceControlContinue);
}
KV_EXPORT uint32_t DoSvcParamChange(void) {
    return DoSvcCommand(kvp::kServiceControlParamChange);
}
KV_EXPORT uint32_t GetSvcStatus(void) {
    return DoSvcCommand(kvp::kServiceControlInterrogate);
}

// Constant texts: the caller never frees them, and every text returned stays valid.
KV_EXPORT const char* GetStatusAsString(uint32_t state) {
    switch (state) {
        case kvp::kServiceStopped:
            return "The service is not running.";
        case kvp::kServiceStartPending:
            return "The service is starting.";
        case kvp::kServiceStopPending:
            return "The service is stopping.";
        case kvp::kServiceRunning:
            return "The service is running.";
        case kvp::kServiceContinuePending:
            return "The service continue is pending.";
        case kvp::kServicePausePending:
            return "The service pause is pending.";
        case kvp::kServicePaused:
            return "The service is paused.";
        default:
            return "Service state unknown. An error has occurred.";
    }
}

KV_EXPORT uint32_t QueryStartupType(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        kvp::ScopedScHandle manager(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kGenericRead));
        if (!manager) return FailQueryStartupType("QueryStartupType: Open service control manager");
        kvp::ScopedScHandle service(
            kvp::OpenServiceA(manager.get(), kServiceName, kvp::kServiceQueryConfig));
        if (!service) return FailQueryStartupType("QueryStartupType: Open service handle");
        uint32_t needed = 0;
        if (kvp::QueryServiceConfigA(service.get(), nullptr, 0, &needed) ||
            kvp::LastSystemError() != kvp::kErrorInsufficientBuffer) {
            return FailQueryStartupType("QueryStartupType: Query service config size");
        }
        // Room for the record and the texts behind it, aligned for the record.
        std::vector<kvp::ServiceConfig> room(needed / sizeof(kvp::ServiceConfig) + 1);
        auto* config = room.data();
        if (!kvp::QueryServiceConfigA(service.get(), config,
                                      static_cast<uint32_t>(room.size() * sizeof *config),
                                      &needed)) {
            return FailQueryStartupType("QueryStartupType: Query service config");
        }
        return config->startType;
    });
}

KV_EXPORT uint32_t SetStartupType(uint32_t startType) {
    return NoThrow(0u, [&]() -> uint32_t {
        kvp::ScopedScHandle manager(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kGenericExecute));
        if (!manager) {
            const int err = kvp::LastSystemError();
            ShowSystemErrorCode("SetStartupType: Open service control manager", err);
            // 1 is the success result.
            return err == 1 ? 0 : static_cast<uint32_t>(err);
        }
        kvp::ScLock lock = kvp::LockServiceDatabase(manager.get());
        if (lock == nullptr) {
            ShowSystemError("SetStartupType: Service database lock failed");
            return 0;
        }
        uint32_t result = 0;
        kvp::ScopedScHandle service(
            kvp::OpenServiceA(manager.get(), kServiceName, kvp::kServiceChangeConfig));
        if (!service) {
            ShowSystemError("SetStartupType: Open service handle");
        } else if (!kvp::ChangeServiceConfigA(service.get(), kvp::kServiceNoChange, startType,
                                              kvp::kServiceNoChange, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr)) {
            ShowSystemError("SetStartupType: Change service config");
        } else {
            result = 1;
        }
        kvp::UnlockServiceDatabase(lock);
        return result;
    });
}

KV_EXPORT uint32_t SetSvcInstallDirectory(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        // The directory of the program that called, not of this library.
        char dir[kPathRoom];
        if (!kvp::GetModuleFileNameA(dir, sizeof dir)) {
            ShowSystemError("Create key failed");
            return 0;
        }
        char* cut = std::strrchr(dir, kvp::kPathSep);
        if (char* back = std::strrchr(dir, '\\'); back != nullptr && (cut == nullptr || back > cut))
            cut = back;
        if (cut != nullptr) cut[1] = '\0';
        kvp::RegKey key;
        uint32_t disposition = 0;
        const long rc = kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kServerKeyPath,
                                             kvp::kKeyAllAccess, key.out(), &disposition);
        if (rc != kvp::kErrorSuccess) {
            kvp::SetLastSystemError(static_cast<int>(rc));
            ShowSystemError("Create key failed");
            return 0;
        }
        if (disposition == kvp::kRegOpenedExistingKey)
            SendGenericLogMessage("Install directory overwritten.");
        const long set = kvp::RegSetValueExA(key.get(), "RootDirectory", kvp::kRegSz,
                                             reinterpret_cast<const uint8_t*>(dir),
                                             static_cast<uint32_t>(std::strlen(dir) + 1));
        // A directory that was not recorded is no success: every later path depends on it.
        if (set != kvp::kErrorSuccess) {
            ShowSystemErrorCode("Create key failed", static_cast<int>(set));
            return 0;
        }
        return 1;
    });
}

KV_EXPORT uint32_t ReturnSvcInstallDirectory(char* buffer) {
    return NoThrow(0u, [&]() -> uint32_t {
        const char* dir = ReadSvcInstallDirectory();
        const size_t n = std::strlen(dir) + 1;
        if (buffer != nullptr) std::memcpy(buffer, dir, n);
        return static_cast<uint32_t>(n);
    });
}

KV_EXPORT void SvcError(const char* caption) {
    NoThrow(0, [&]() -> int {
        ShowSystemError(caption);
        return 0;
    });
}

KV_EXPORT int GenericMessage(const char* caption, const char* text) {
    return NoThrow(0, [&]() -> int { return ShowWarning(caption, text); });
}

KV_EXPORT uint32_t SpawnThread(KvThreadRoutine routine, void* arg, uint32_t runInline) {
    return NoThrow(0u, [&]() -> uint32_t { return StartRoutineThread(routine, arg, runInline); });
}
