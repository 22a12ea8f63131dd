// The service control manager's calls, made in the calling process: handles with the
// rights they were opened with, the records in the registry, status from the status
// file, controls over the control socket.
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "kv/errors.h"
#include "posix_io.h"
#include "service_internal.h"
#include "win_names.h"

namespace kvp {

namespace {

constexpr uint32_t kGenericAny = kGenericRead | kGenericWrite | kGenericExecute | kGenericAll;
constexpr char kLocalSystem[] = "LocalSystem";

std::mutex g_handles_mu;
std::unordered_set<ScHandleState*>* g_handles = nullptr;  // while a handle is open

uint32_t MapManagerAccess(uint32_t a) {
    uint32_t r = a & ~kGenericAny;
    if (a & kGenericRead)
        r |= kReadControl | kScManagerConnect | kScManagerEnumerateService |
             kScManagerQueryLockStatus;
    if (a & kGenericWrite) r |= kReadControl | kScManagerCreateService | kScManagerModifyBootConfig;
    if (a & kGenericExecute) r |= kReadControl | kScManagerConnect | kScManagerLock;
    if (a & kGenericAll) r |= kScManagerAllAccess;
    return r;
}

uint32_t MapServiceAccess(uint32_t a) {
    uint32_t r = a & ~kGenericAny;
    if (a & kGenericRead)
        r |= kReadControl | kServiceQueryConfig | kServiceQueryStatus | kServiceInterrogate |
             kServiceEnumerateDependents;
    if (a & kGenericWrite) r |= kReadControl | kServiceChangeConfig;
    if (a & kGenericExecute)
        r |= kReadControl | kServiceStart | kServiceStop | kServicePauseContinue |
             kServiceUserDefinedControl;
    if (a & kGenericAll) r |= kServiceAllAccess;
    return r;
}

ScHandle NewHandle(bool manager, uint32_t access, const std::string& name, bool has_record) {
    ScHandle h = new ScHandleState{manager, access, name, has_record};
    std::lock_guard<std::mutex> lock(g_handles_mu);
    if (!g_handles) g_handles = new std::unordered_set<ScHandleState*>;
    g_handles->insert(h);
    return h;
}

// The right a control code needs; 0 for a code that cannot be sent.
uint32_t RightForControl(uint32_t control) {
    switch (control) {
        case kServiceControlStop:
            return kServiceStop;
        case kServiceControlPause:
        case kServiceControlContinue:
        case kServiceControlParamChange:
            return kServicePauseContinue;
        case kServiceControlInterrogate:
            return kServiceInterrogate;
        default:
            return control >= 128 && control <= 255 ? kServiceUserDefinedControl : 0;
    }
}

// The record behind a service handle; one that went since the handle was opened reads as
// marked for deletion, as Windows keeps a deleted service's handles working until closed.
long LoadRecord(const ScHandleState* h, internal::ServiceRecord* rec) {
    long r = internal::ReadRecord(h->name, rec);
    if (r == kErrorServiceDoesNotExist && h->hasRecord) return kErrorServiceMarkedForDelete;
    return r;
}

bool ValidStartType(uint32_t t) {
    return t == kServiceAutoStart || t == kServiceDemandStart || t == kServiceDisabled;
}

// The items that both CreateServiceA and ChangeServiceConfigA take.
bool ValidConfig(uint32_t type, uint32_t start, uint32_t error_control) {
    return (type == kServiceNoChange || type == kServiceWin32OwnProcess) &&
           (start == kServiceNoChange || ValidStartType(start)) &&
           (error_control == kServiceNoChange || error_control <= 3);
}

// Copies the text behind the record in the caller's buffer.
char* PutText(char** cursor, const std::string& text, size_t extra_nuls = 0) {
    char* at = *cursor;
    std::memcpy(at, text.c_str(), text.size() + 1);
    std::memset(at + text.size() + 1, 0, extra_nuls);
    *cursor += text.size() + 1 + extra_nuls;
    return at;
}

}  // namespace

namespace internal {

ScHandleState* CheckHandle(ScHandle handle, bool manager) {
    std::lock_guard<std::mutex> lock(g_handles_mu);
    if (!handle || !g_handles || !g_handles->count(handle) || handle->manager != manager) {
        SetLastSystemError(static_cast<int>(kErrorInvalidHandle));
        return nullptr;
    }
    return handle;
}

bool HasAccess(const ScHandleState* handle, uint32_t right) {
    return (handle->access & right) == right || FailWith(kErrorAccessDenied);
}

}  // namespace internal

ScHandle OpenSCManagerA(const char* machine, const char* database, uint32_t access) {
    // Only this machine's manager exists.
    if (machine && *machine) {
        internal::FailWith(kRpcServerUnavailable);
        return nullptr;
    }
    if (database && !EqualNoCase(database, "ServicesActive")) {
        internal::FailWith(kErrorDatabaseDoesNotExist);
        return nullptr;
    }
    return NewHandle(true, MapManagerAccess(access) | kScManagerConnect, std::string(), false);
}

ScHandle CreateServiceA(ScHandle manager, const char* name, const char* displayName,
                        uint32_t access, uint32_t serviceType, uint32_t startType,
                        uint32_t errorControl, const char* binaryPathName,
                        const char* /*loadOrderGroup*/, uint32_t* tagId,
                        const char* /*dependencies*/, const char* serviceStartName,
                        const char* /*password*/) {
    ScHandleState* m = internal::CheckHandle(manager, true);
    if (!m || !internal::HasAccess(m, kScManagerCreateService)) return nullptr;
    if (!internal::ValidServiceName(name) || (displayName && std::strlen(displayName) > 256)) {
        internal::FailWith(kErrorInvalidName);
        return nullptr;
    }
    if (serviceType == kServiceNoChange || startType == kServiceNoChange ||
        errorControl == kServiceNoChange || !ValidConfig(serviceType, startType, errorControl) ||
        !binaryPathName || !*binaryPathName) {
        internal::FailWith(kErrorInvalidParameter);
        return nullptr;
    }
    internal::ServiceRecord rec;
    long r = internal::ReadRecord(name, &rec);
    if (r == kErrorSuccess)
        r = rec.markedForDelete ? kErrorServiceMarkedForDelete : kErrorServiceExists;
    if (r != kErrorServiceDoesNotExist) {
        internal::FailWith(r);
        return nullptr;
    }
    rec = internal::ServiceRecord{};
    rec.name = name;
    rec.imagePath = binaryPathName;
    rec.type = serviceType;
    rec.start = startType;
    rec.errorControl = errorControl;
    rec.displayName = displayName && *displayName ? displayName : name;
    rec.objectName = serviceStartName && *serviceStartName ? serviceStartName : kLocalSystem;
    r = internal::CreateRecord(rec);
    if (r != kErrorSuccess) {
        internal::FailWith(r);
        return nullptr;
    }
    if (tagId) *tagId = 0;  // no load-order groups, so no tags
    return NewHandle(false, MapServiceAccess(access), rec.name, true);
}

ScHandle OpenServiceA(ScHandle manager, const char* name, uint32_t access) {
    if (!internal::CheckHandle(manager, true)) return nullptr;
    if (!internal::ValidServiceName(name)) {
        internal::FailWith(kErrorInvalidName);
        return nullptr;
    }
    internal::ServiceRecord rec;
    long r = internal::ReadRecord(name, &rec);
    if (r == kErrorSuccess) return NewHandle(false, MapServiceAccess(access), rec.name, true);
    if (r == kErrorServiceDoesNotExist) {
        // A dispatcher in the foreground mode serves a service that has no record.
        std::string running = internal::KnownServiceName(name);
        if (!running.empty()) return NewHandle(false, MapServiceAccess(access), running, false);
    }
    internal::FailWith(r);
    return nullptr;
}

bool CloseServiceHandle(ScHandle handle) {
    {
        std::lock_guard<std::mutex> lock(g_handles_mu);
        if (!handle || !g_handles || g_handles->erase(handle) == 0)
            return internal::FailWith(kErrorInvalidHandle);
        // The last handle takes the set with it: a library that used handles and is
        // unloaded leaves nothing behind that no one can reach.
        if (g_handles->empty()) {
            delete g_handles;
            g_handles = nullptr;
        }
    }
    delete handle;
    return true;
}

bool QueryServiceStatus(ScHandle service, ServiceStatus* status) {
    ScHandleState* h = internal::CheckHandle(service, false);
    if (!h || !internal::HasAccess(h, kServiceQueryStatus)) return false;
    if (!status) return internal::FailWith(kErrorInvalidParameter);
    internal::CurrentStatus(h->name, status);
    return true;
}

bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status) {
    ScHandleState* h = internal::CheckHandle(service, false);
    if (!h) return false;
    if (!status) return internal::FailWith(kErrorInvalidParameter);
    const uint32_t right = RightForControl(control);
    if (right && !internal::HasAccess(h, right)) return false;
    const bool live = internal::CurrentStatus(h->name, status);
    if (!right) return internal::FailWith(kErrorInvalidServiceControl);
    if (!live || status->currentState == kServiceStopped)
        return internal::FailWith(kErrorServiceNotActive);
    const long r = internal::SendControl(h->name, control, status);
    return r == kErrorSuccess || internal::FailWith(r);
}

bool QueryServiceConfigA(ScHandle service, ServiceConfig* config, uint32_t size, uint32_t* needed) {
    ScHandleState* h = internal::CheckHandle(service, false);
    if (!h || !internal::HasAccess(h, kServiceQueryConfig)) return false;
    if (!needed) return internal::FailWith(kErrorInvalidParameter);
    internal::ServiceRecord rec;
    long r = LoadRecord(h, &rec);
    if (r != kErrorSuccess) return internal::FailWith(r);
    // The texts follow the record: path, group, dependencies (a list that ends with an
    // empty text), account, display name.
    const size_t texts =
        rec.imagePath.size() + 1 + 1 + 2 + rec.objectName.size() + 1 + rec.displayName.size() + 1;
    *needed = static_cast<uint32_t>(sizeof(ServiceConfig) + texts);
    if (!config || size < *needed) return internal::FailWith(kErrorInsufficientBuffer);
    char* cursor = reinterpret_cast<char*>(config + 1);
    config->serviceType = rec.type;
    config->startType = rec.start;
    config->errorControl = rec.errorControl;
    config->binaryPathName = PutText(&cursor, rec.imagePath);
    config->loadOrderGroup = PutText(&cursor, "");
    config->tagId = 0;
    config->dependencies = PutText(&cursor, "", 1);
    config->serviceStartName = PutText(&cursor, rec.objectName);
    config->displayName = PutText(&cursor, rec.displayName);
    return true;
}

bool ChangeServiceConfigA(ScHandle service, uint32_t serviceType, uint32_t startType,
                          uint32_t errorControl, const char* binaryPathName,
                          const char* /*loadOrderGroup*/, uint32_t* tagId,
                          const char* /*dependencies*/, const char* serviceStartName,
                          const char* /*password*/, const char* displayName) {
    ScHandleState* h = internal::CheckHandle(service, false);
    if (!h || !internal::HasAccess(h, kServiceChangeConfig)) return false;
    if (!ValidConfig(serviceType, startType, errorControl) || (binaryPathName && !*binaryPathName))
        return internal::FailWith(kErrorInvalidParameter);
    if (displayName && std::strlen(displayName) > 256) return internal::FailWith(kErrorInvalidName);
    internal::ServiceRecord old;
    long r = LoadRecord(h, &old);
    if (r == kErrorSuccess && old.markedForDelete) r = kErrorServiceMarkedForDelete;
    if (r != kErrorSuccess) return internal::FailWith(r);
    internal::ServiceRecord now = old;
    if (serviceType != kServiceNoChange) now.type = serviceType;
    if (startType != kServiceNoChange) now.start = startType;
    if (errorControl != kServiceNoChange) now.errorControl = errorControl;
    if (binaryPathName) now.imagePath = binaryPathName;
    if (serviceStartName && *serviceStartName) now.objectName = serviceStartName;
    if (displayName && *displayName) now.displayName = displayName;
    r = internal::UpdateRecord(old, now);
    if (r != kErrorSuccess) return internal::FailWith(r);
    if (tagId) *tagId = 0;
    return true;
}

bool ChangeServiceConfig2A(ScHandle service, uint32_t infoLevel, void* info) {
    ScHandleState* h = internal::CheckHandle(service, false);
    if (!h || !internal::HasAccess(h, kServiceChangeConfig)) return false;
    if (infoLevel != kServiceConfigDescription) return internal::FailWith(kErrorInvalidLevel);
    if (!info) return internal::FailWith(kErrorInvalidParameter);
    const char* text = static_cast<ServiceDescription*>(info)->description;
    if (!text) return true;  // no change
    internal::ServiceRecord old;
    long r = LoadRecord(h, &old);
    if (r == kErrorSuccess && old.markedForDelete) r = kErrorServiceMarkedForDelete;
    if (r != kErrorSuccess) return internal::FailWith(r);
    internal::ServiceRecord now = old;
    now.description = text;
    r = internal::UpdateRecord(old, now);
    return r == kErrorSuccess || internal::FailWith(r);
}

bool DeleteService(ScHandle service) {
    ScHandleState* h = internal::CheckHandle(service, false);
    if (!h || !internal::HasAccess(h, kDelete)) return false;
    // Under the starters' lock, so that no start runs the program of a record going away.
    internal::Fd start_lock;
    if (!internal::TakeStartLock(h->name, &start_lock)) return false;
    internal::ServiceRecord rec;
    long r = LoadRecord(h, &rec);
    if (r == kErrorSuccess && rec.markedForDelete) r = kErrorServiceMarkedForDelete;
    if (r != kErrorSuccess) return internal::FailWith(r);
    if (internal::HostAlive(rec.name)) {
        // Its dispatcher removes it once the service has stopped.
        r = internal::MarkRecordForDelete(rec.name);
        if (r != kErrorSuccess) return internal::FailWith(r);
        if (internal::HostAlive(rec.name)) return true;
        // It ended meanwhile, perhaps before it could see the mark.
    }
    r = internal::RemoveRecord(rec.name);
    return r == kErrorSuccess || internal::FailWith(r);
}

}  // namespace kvp
