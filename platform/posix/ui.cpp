#include "kv/ui.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kv/debug.h"
#include "posix_io.h"

namespace kvp {

namespace {

constexpr int kIdAbort = 3;
constexpr int kIdRetry = 4;
constexpr int kIdIgnore = 5;
constexpr int kIdTryAgain = 10;
constexpr int kIdContinue = 11;

}  // namespace

int MessageBoxDefaultButton(unsigned flags) {
    static const int kOk[] = {kIdOk};
    static const int kOkCancel[] = {kIdOk, kIdCancel};
    static const int kAbortRetryIgnore[] = {kIdAbort, kIdRetry, kIdIgnore};
    static const int kYesNoCancel[] = {kIdYes, kIdNo, kIdCancel};
    static const int kYesNo[] = {kIdYes, kIdNo};
    static const int kRetryCancel[] = {kIdRetry, kIdCancel};
    static const int kCancelTryContinue[] = {kIdCancel, kIdTryAgain, kIdContinue};
    const int* buttons = kOk;
    unsigned count = 1;
    switch (flags & 0xFu) {
        case 1:
            buttons = kOkCancel;
            count = 2;
            break;
        case 2:
            buttons = kAbortRetryIgnore;
            count = 3;
            break;
        case 3:
            buttons = kYesNoCancel;
            count = 3;
            break;
        case 4:
            buttons = kYesNo;
            count = 2;
            break;
        case 5:
            buttons = kRetryCancel;
            count = 2;
            break;
        case 6:
            buttons = kCancelTryContinue;
            count = 3;
            break;
        default:
            break;
    }
    unsigned index = (flags >> 8) & 0xFu;
    if (index >= count) index = 0;
    return buttons[index];
}

namespace {

// The log holds one box a line: line breaks and tabs inside the texts are written as
// \n, \r and \t so that they cannot split a record.
void AppendFlattened(std::string& out, const char* s) {
    for (; *s; ++s) {
        switch (*s) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += *s;
        }
    }
}

std::atomic<MessageBoxHandler*> g_handler{nullptr};

void AppendToBoxLog(const char* text, const char* caption, unsigned flags) {
    const char* log = std::getenv("KVTFTP_MSGBOX_LOG");
    if (!log || !*log) return;
    std::string line;
    AppendFlattened(line, caption);
    line += '\t';
    AppendFlattened(line, text);
    char hex[16];
    std::snprintf(hex, sizeof hex, "\t0x%08X\n", flags);
    line += hex;
    int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        internal::WriteAll(fd, line.data(), line.size());
        ::close(fd);
    }
}

}  // namespace

MessageBoxHandler* SetMessageBoxHandler(MessageBoxHandler* handler) {
    return g_handler.exchange(handler);
}

int MessageBoxA(void* owner, const char* text, const char* caption, unsigned flags) {
    const int saved = errno;
    if (!text) text = "";
    // Windows shows "Error" when a box has no caption.
    if (!caption) caption = "Error";

    AppendToBoxLog(text, caption, flags);
    MessageBoxHandler* handler = g_handler.load();
    if (handler && !(flags & kMbServiceNotification)) {
        errno = saved;
        const int answer = handler->Show(owner, text, caption, flags);
        errno = saved;
        return answer;
    }

    // A box nobody can see must never block the thread that shows it.
    std::string shown = std::string(caption) + ": " + text + "\n";
    internal::WriteAll(STDERR_FILENO, shown.data(), shown.size());
    OutputDebugStringA(shown.c_str());
    errno = saved;
    return MessageBoxDefaultButton(flags);
}

}  // namespace kvp
