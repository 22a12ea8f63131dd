#include "kv/errors.h"

#include "win32.h"

namespace kvp {

namespace {
// Winsock keeps its last error in the system's slot; ours is apart, so that a socket
// failure and a system failure reported together keep their own numbers.
thread_local int t_socket_error = 0;
}  // namespace

int LastSystemError() {
    return static_cast<int>(::GetLastError());
}
void SetLastSystemError(int err) {
    ::SetLastError(static_cast<DWORD>(err));
}

int LastSocketError() {
    return t_socket_error;
}
void SetLastSocketError(int err) {
    t_socket_error = err;
}

int SystemErrorOfResult(long result) {
    return static_cast<int>(result);
}

std::string SystemErrorText(int err) {
    const DWORD saved = ::GetLastError();
    char buf[1024];
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, static_cast<DWORD>(err), 0, buf, sizeof buf, nullptr);
    std::string text = n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (text.empty()) text = "Unknown error " + std::to_string(err);
    ::SetLastError(saved);
    return text;
}

}  // namespace kvp
