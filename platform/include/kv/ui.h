// Message boxes.
#pragma once

namespace kvp {

// Flags and results with their Windows values.
constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbOkCancel = 0x1;
constexpr unsigned kMbYesNo = 0x4;
constexpr unsigned kMbIconError = 0x10;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr unsigned kMbIconWarning = 0x30;
constexpr unsigned kMbIconInformation = 0x40;
constexpr unsigned kMbServiceNotification = 0x00200000;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// The button a box returns when nobody can press one: the default button of its kind,
// chosen by the MB_DEFBUTTONn bits as Windows does.
int MessageBoxDefaultButton(unsigned flags);

// Shows a message box. Without a display, or for a service notification, the caption
// and text go to standard error and the debugger output, the call returns at once with
// the default button, and when KVTFTP_MSGBOX_LOG names a file the box is appended there
// as one line: caption, text and flags separated by tabs. On Windows the real box,
// unless KVTFTP_MSGBOX_LOG names a file: then the box is not shown but handled as one
// nobody can see (tests run unattended).
int MessageBoxA(void* owner, const char* text, const char* caption, unsigned flags);

// A dialog host that shows boxes itself (a toolkit's modal box, a test's recorder)
// takes every box of the process except service notifications while it is installed;
// the log of KVTFTP_MSGBOX_LOG is still written. Show may be called from any thread.
class MessageBoxHandler {
  public:
    virtual int Show(void* owner, const char* text, const char* caption, unsigned flags) = 0;

  protected:
    ~MessageBoxHandler() = default;
};
// Installs a handler (null: none); returns the one installed before.
MessageBoxHandler* SetMessageBoxHandler(MessageBoxHandler* handler);

}  // namespace kvp
