#include "kv/errors.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "resolver_errors.h"

namespace kvp {

namespace {
thread_local int t_socket_error = 0;

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

// Windows result codes that this layer sets as the last error, with the texts Windows
// gives them. Only numbers above the errno range are listed: a smaller number (5, 87,
// 122, ...) is just as likely an errno value from a file or socket call, which keeps its
// system text.
struct WindowsText {
    int code;
    const char* text;
};

const WindowsText kWindowsTexts[] = {
    // Service control manager.
    {193, "%1 is not a valid Win32 application."},
    {1051,
     "A stop control has been sent to a service that other running services are "
     "dependent on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1054, "A thread could not be created for the service."},
    {1055, "The service database is locked."},
    {1056, "An instance of the service is already running."},
    {1058,
     "The service cannot be started, either because it is disabled or because it has no "
     "enabled devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1065, "The database specified does not exist."},
    {1066, "The service has returned a service-specific error code."},
    {1071, "The specified service database lock is invalid."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1077, "No attempts to start the service have been made since the last boot."},
    {1722, "The RPC server is unavailable."},
};

const char* WindowsCodeText(int err) {
    for (const WindowsText& w : kWindowsTexts)
        if (w.code == err) return w.text;
    return nullptr;
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

std::string SystemErrorText(int err) {
    const int saved = errno;
    std::string text;
    if (const char* r = ResolverText(err)) {
        text = r;
    } else if (const char* w = WindowsCodeText(err)) {
        text = w;
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
