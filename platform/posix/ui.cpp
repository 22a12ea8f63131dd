#include "kv/ui.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/msgbox_log.h"
#include "console_internal.h"
#include "kv/debug.h"
#include "posix_io.h"

namespace kvp {

namespace {

void AppendToBoxLog(const char* text, const char* caption, unsigned flags) {
    const char* log = std::getenv("KVTFTP_MSGBOX_LOG");
    if (!log || !*log) return;
    const std::string line = internal::MessageBoxLogLine(caption, text, flags);
    int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        internal::WriteAll(fd, line.data(), line.size());
        ::close(fd);
    }
}

}  // namespace

int MessageBoxA(void* owner, const char* text, const char* caption, unsigned flags) {
    const int saved = errno;
    if (!text) text = "";
    // Windows shows "Error" when a box has no caption.
    if (!caption) caption = "Error";

    AppendToBoxLog(text, caption, flags);
    MessageBoxHandler* handler = internal::CurrentMessageBoxHandler();
    if (handler && !(flags & kMbServiceNotification)) {
        errno = saved;
        const int answer = handler->Show(owner, text, caption, flags);
        errno = saved;
        return answer;
    }

    // A box nobody can see must never block the thread that shows it. It is read on
    // standard error once: the debugger output is standard error too unless it goes to
    // a file of its own.
    const std::string shown = std::string(caption) + ": " + text + "\n";
    const int level = (flags & 0xF0) == kMbIconError     ? internal::kConsoleError
                      : (flags & 0xF0) == kMbIconWarning ? internal::kConsoleWarning
                                                         : internal::kConsoleInfo;
    const std::string line = internal::ConsoleText(shown.c_str(), level);
    internal::WriteAll(STDERR_FILENO, line.data(), line.size());
    const char* debugLog = std::getenv("KVTFTP_DEBUG_LOG");
    if (debugLog && *debugLog) OutputDebugStringA(shown.c_str());
    errno = saved;
    return MessageBoxDefaultButton(flags);
}

}  // namespace kvp
