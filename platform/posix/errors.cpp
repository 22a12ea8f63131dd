#include "kv/errors.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "resolver_errors.h"

namespace kvp {

namespace {
thread_local int t_socket_error = 0;

// The Windows result codes that the stand-ins produce, with their Windows texts. A code
// whose number errno also uses carries the errno value of the same meaning, which
// stands for it as a system error number; the others keep their numbers, which lie above
// errno's range, and their texts come from here.
struct WindowsCode {
    long code;
    int errno_value;  // 0: the code keeps its number
    const char* text;
};

const WindowsCode kWindowsCodes[] = {
    {kErrorFileNotFound, ENOENT, "The system cannot find the file specified."},
    {kErrorAccessDenied, EACCES, "Access is denied."},
    {kErrorInvalidHandle, EBADF, "The handle is invalid."},
    {kErrorInvalidParameter, EINVAL, "The parameter is incorrect."},
    {122, ERANGE, "The data area passed to a system call is too small."},
    {123, EINVAL, "The filename, directory name, or volume label syntax is incorrect."},
    {kErrorMoreData, 0, "More data is available."},
    {kErrorNoMoreItems, 0, "No more data is available."},
    {1016, 0,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could "
     "not read in, or write out, or flush, one of the files that contain the system's image "
     "of the registry."},
    {1018, 0, "Illegal operation attempted on a registry key that has been marked for deletion."},
    // Service control manager.
    {193, 0, "%1 is not a valid Win32 application."},
    {1051, 0,
     "A stop control has been sent to a service that other running services are "
     "dependent on."},
    {1052, 0, "The requested control is not valid for this service."},
    {1053, 0, "The service did not respond to the start or control request in a timely fashion."},
    {1054, 0, "A thread could not be created for the service."},
    {1055, 0, "The service database is locked."},
    {1056, 0, "An instance of the service is already running."},
    {1058, 0,
     "The service cannot be started, either because it is disabled or because it has no "
     "enabled devices associated with it."},
    {1060, 0, "The specified service does not exist as an installed service."},
    {1061, 0, "The service cannot accept control messages at this time."},
    {1062, 0, "The service has not been started."},
    {1063, 0, "The service process could not connect to the service controller."},
    {1065, 0, "The database specified does not exist."},
    {1066, 0, "The service has returned a service-specific error code."},
    {1071, 0, "The specified service database lock is invalid."},
    {1072, 0, "The specified service has been marked for deletion."},
    {1073, 0, "The specified service already exists."},
    {1077, 0, "No attempts to start the service have been made since the last boot."},
    {1722, 0, "The RPC server is unavailable."},
};

const WindowsCode* FindWindowsCode(long code) {
    for (const WindowsCode& w : kWindowsCodes) {
        if (w.code == code) return &w;
    }
    return nullptr;
}

// The resolver's failures are numbered apart from errno values (as Windows numbers them),
// so that one integer carries either kind to the text look-up below.
const char* ResolverText(int err) {
    switch (err) {
        case internal::kErrHostNotFoundValue:
            return ::gai_strerror(EAI_NONAME);
        case internal::kErrTryAgainValue:
            return ::gai_strerror(EAI_AGAIN);
        case internal::kErrNoRecoveryValue:
            return ::gai_strerror(EAI_FAIL);
        case internal::kErrNoDataValue:
            return ::gai_strerror(EAI_NODATA);
        default:
            return nullptr;
    }
}

}  // namespace

int LastSystemError() {
    return errno;
}
void SetLastSystemError(int err) {
    errno = err;
}

int LastSocketError() {
    return t_socket_error;
}
void SetLastSocketError(int err) {
    t_socket_error = err;
}

int SystemErrorOfResult(long result) {
    const WindowsCode* w = FindWindowsCode(result);
    return w && w->errno_value != 0 ? w->errno_value : static_cast<int>(result);
}

std::string SystemErrorText(int err) {
    const int saved = errno;
    std::string text;
    const WindowsCode* w = FindWindowsCode(err);
    if (const char* r = ResolverText(err)) {
        text = r;
    } else if (w && w->errno_value == 0) {
        text = w->text;
    } else {
        char buf[256];
        // The GNU strerror_r returns the text, in buf or static; glibc says "Unknown error N"
        // for numbers it does not know.
        const char* s = ::strerror_r(err, buf, sizeof buf);
        text = s ? s : "";
        if (text.empty()) text = "Unknown error " + std::to_string(err);
    }
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    errno = saved;
    return text;
}

}  // namespace kvp
