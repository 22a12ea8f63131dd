// The state of every dialog and the dialog manager's behaviour, shared by the hosts:
// controls as data, the procedure's messages and notifications, posted work, timers,
// keyboard navigation (tab order, radio groups, mnemonics, default button, Escape).
// A host adds only a window (or none) and a way to wait.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kv/dialog.h"

namespace kvp::dlg {

struct Control {
    DialogItem item{};
    std::string text;
    unsigned check = kBstUnchecked;
    bool enabled = true;
    uint16_t image = 0;
    std::vector<std::string> list;
    int listSel = -1;
    int selStart = 0;
    int selEnd = 0;
    bool dirty = true;  // the window does not show this state yet

    uint32_t Type() const;  // the class's type bits of the style
    bool IsEdit() const { return item.cls == ControlClass::kEdit; }
    bool IsList() const { return item.cls == ControlClass::kComboBox; }
    bool IsStatic() const { return item.cls == ControlClass::kStatic; }
    bool IsGroupBox() const;
    bool IsPushButton() const;  // plain or default push button
    bool IsDefaultButton() const;
    bool IsCheckBox() const;
    bool IsRadio() const;
    bool TakesFocus() const;  // a control the keyboard can reach
};

class Host;

struct Timer {
    uint32_t ms = 0;
    std::chrono::steady_clock::time_point due;
};

struct Dialog {
    uint64_t token = 0;
    Host* host = nullptr;
    const ModuleResources* resources = nullptr;
    const DialogTemplate* tmpl = nullptr;
    DialogProc proc = nullptr;
    HDlg owner = nullptr;
    std::thread::id thread;

    // Everything below is guarded by mu; the procedure is never called with mu held.
    mutable std::mutex mu;
    std::string title;
    bool titleDirty = true;
    std::vector<Control> controls;
    int focus = -1;  // index into controls
    bool focusDirty = false;
    bool ended = false;
    intptr_t result = 0;
    intptr_t userData = 0;
    std::map<uintptr_t, Timer> timers;
    void* view = nullptr;  // the host's window

    HDlg handle() const { return reinterpret_cast<HDlg>(static_cast<uintptr_t>(token)); }
    bool OnOwnThread() const { return std::this_thread::get_id() == thread; }
    // Index of the control with the id, or -1.
    int IndexOf(int id) const;
};

using DialogRef = std::shared_ptr<Dialog>;

// A live dialog by handle; null for an unknown or ended one.
DialogRef Find(HDlg dlg);
// Every live dialog, oldest first.
std::vector<DialogRef> LiveDialogs();

class Host {
  public:
    virtual ~Host() = default;
    // Builds the window (not shown yet); false when none can be made.
    virtual bool Open(Dialog& d) = 0;
    virtual void Show(Dialog& d) = 0;
    virtual void Close(Dialog& d) = 0;
    // Shows the state marked dirty; called on the dialog's thread.
    virtual void Sync(Dialog& d) = 0;
    // Something changed or was posted for a dialog of this host; any thread.
    virtual void Wake() = 0;
    // Waits on the dialog thread until woken or ms have passed (-1: no limit).
    virtual void Wait(int ms) = 0;

    struct FileFilter {
        std::string description;
        std::string pattern;
    };
    // The system's file chooser; false when cancelled.
    virtual bool PickFile(Dialog* owner, const std::string& title,
                          const std::vector<FileFilter>& filters, int filterIndex,
                          const std::string& proposed, bool mustExist, std::string* chosen) = 0;
    virtual bool PickFolder(Dialog* owner, const std::string& title, std::string* chosen) = 0;
};

// What a host's Sync shows: copies of the controls marked dirty (by index; their marks
// are cleared), the title and the focus. The focus stays marked while the window cannot
// take it yet (not shown).
struct DirtyState {
    std::vector<std::pair<int, Control>> controls;
    bool titleDirty = false;
    std::string title;
    bool focusDirty = false;
    int focus = -1;
};
DirtyState TakeDirty(Dialog& d, bool canFocus);
// Marks every control, the title and the focus as not shown yet (a window being shown).
void MarkAllDirty(Dialog& d);
// Marks the focus as not shown yet (a window that can take it now).
void MarkFocusDirty(Dialog& d);

// The host of the next dialog: one installed by a test, else the toolkit's (null when
// the toolkit has no display).
Host* CurrentHost();
void InstallHost(Host* host);
// Defined by the toolkit backend.
Host* ToolkitHost();

// Runs a dialog modally on the calling thread.
intptr_t RunModal(Host* host, const ModuleResources* resources, const DialogTemplate& tmpl,
                  HDlg owner, DialogProc proc, intptr_t param);

// Runs the work posted for the calling thread's dialogs and their due timers, and has
// their hosts show what changed. Returns the milliseconds until the next timer, or -1.
int Pump();
// Work to run on the thread of the dialog's host loop (thread id), e.g. a box asked for
// by a worker.
void PostWork(std::thread::id thread, Host* host, std::function<void()> work);

// ---- what a user does; each runs on the dialog's thread ----
enum class Key { kTab, kShiftTab, kEnter, kEscape, kUp, kDown, kLeft, kRight };

void UserClick(const DialogRef& d, int index);
void UserType(const DialogRef& d, int index, const std::string& text);
// Focus moved to the control by the user; selectAll when it came by the keyboard.
void UserFocus(const DialogRef& d, int index, bool selectAll);
void UserSelectList(const DialogRef& d, int index, int item);
void UserClose(const DialogRef& d);
// True when the dialog manager used the key.
bool UserKey(const DialogRef& d, Key key);
// The '&' letter of a caption, with Alt or (outside an edit) alone.
bool UserMnemonic(const DialogRef& d, char letter);

// The letter after a single '&' in a caption, lower case, or 0.
char MnemonicOf(const std::string& caption);
// The caption without its '&' marks ("&&" shows one '&').
std::string StripMnemonic(const std::string& caption);

// The image data of a resource of the dialog's module, or null.
const ImageResource* FindImage(const Dialog& d, uint16_t id);

}  // namespace kvp::dlg
