#include "msgbox_log.h"

#include <atomic>
#include <cstdio>

#include "kv/ui.h"

namespace kvp {

namespace {

constexpr int kIdAbort = 3;
constexpr int kIdRetry = 4;
constexpr int kIdIgnore = 5;
constexpr int kIdTryAgain = 10;
constexpr int kIdContinue = 11;

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

}  // namespace

MessageBoxHandler* SetMessageBoxHandler(MessageBoxHandler* handler) {
    return g_handler.exchange(handler);
}

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

namespace internal {

MessageBoxHandler* CurrentMessageBoxHandler() {
    return g_handler.load();
}

std::string MessageBoxLogLine(const char* caption, const char* text, unsigned flags) {
    std::string line;
    AppendFlattened(line, caption);
    line += '\t';
    AppendFlattened(line, text);
    char hex[16];
    std::snprintf(hex, sizeof hex, "\t0x%08X\n", flags);
    line += hex;
    return line;
}

}  // namespace internal

}  // namespace kvp
