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
