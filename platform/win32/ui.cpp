#include "kv/ui.h"

#include <cstdio>

#include "common/msgbox_log.h"
#include "kv/debug.h"
#include "win32.h"

namespace kvp {

int MessageBoxA(void* owner, const char* text, const char* caption, unsigned flags) {
    const std::string log = internal::EnvVar("KVTFTP_MSGBOX_LOG");
    MessageBoxHandler* handler = internal::CurrentMessageBoxHandler();
    if (handler && !(flags & kMbServiceNotification)) {
        if (!log.empty())
            internal::AppendToFile(log, internal::MessageBoxLogLine(caption ? caption : "Error",
                                                                    text ? text : "", flags));
        return handler->Show(owner, text ? text : "", caption ? caption : "Error", flags);
    }
    if (log.empty()) {
        return ::MessageBoxA(static_cast<HWND>(owner), text, caption, flags);
    }
    // Tests run unattended: with a log named, the box is recorded there instead of shown
    // and answers with its default button, as a box that nobody can see does on POSIX.
    const DWORD saved = ::GetLastError();
    if (!text) text = "";
    // Windows shows "Error" when a box has no caption.
    if (!caption) caption = "Error";
    const std::string shown = std::string(caption) + ": " + text + "\n";
    std::fputs(shown.c_str(), stderr);
    OutputDebugStringA(shown.c_str());
    internal::AppendToFile(log, internal::MessageBoxLogLine(caption, text, flags));
    ::SetLastError(saved);
    return MessageBoxDefaultButton(flags);
}

}  // namespace kvp
