// Dialogs: templates written once as data, procedures written once against the calls
// below, in the shape of the Windows dialog manager (template items with Windows class
// styles, a procedure answering WM_INITDIALOG, WM_COMMAND, WM_TIMER and WM_CLOSE,
// control identifiers, notifications). A host turns a template into a window: a
// toolkit window, a dialog made by the Windows dialog manager, or a headless one for
// tests (kv/dialog_headless.h).
//
// Every call may be made from any thread. Control updates take effect at once (a
// later read sees them) and are shown by the dialog's own thread; notifications that
// a call causes (EN_CHANGE on setting an edit's text, the focus notifications) reach
// the procedure at once on the dialog's thread and are posted to it from other threads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvp {

struct DialogTag;
// A dialog window. A handle of a dialog that has ended is refused by every call.
using HDlg = DialogTag*;

// ---- templates ------------------------------------------------------------------------

enum class ControlClass : uint8_t { kButton, kEdit, kStatic, kComboBox };

// Window styles.
constexpr uint32_t kWsPopup = 0x80000000u;
constexpr uint32_t kWsDisabled = 0x08000000u;
constexpr uint32_t kWsCaption = 0x00C00000u;
constexpr uint32_t kWsBorder = 0x00800000u;
constexpr uint32_t kWsVScroll = 0x00200000u;
constexpr uint32_t kWsHScroll = 0x00100000u;
constexpr uint32_t kWsSysMenu = 0x00080000u;
constexpr uint32_t kWsGroup = 0x00020000u;
constexpr uint32_t kWsMinimizeBox = 0x00020000u;  // on the dialog itself
constexpr uint32_t kWsTabStop = 0x00010000u;
constexpr uint32_t kDsSetFont = 0x40u;
constexpr uint32_t kDsModalFrame = 0x80u;
constexpr uint32_t kDsCenter = 0x0800u;
constexpr uint32_t kWsExClientEdge = 0x00000200u;
constexpr uint32_t kWsExStaticEdge = 0x00020000u;

// Button styles.
constexpr uint32_t kBsPushButton = 0x0u;
constexpr uint32_t kBsDefPushButton = 0x1u;
constexpr uint32_t kBsAutoCheckBox = 0x3u;
constexpr uint32_t kBsGroupBox = 0x7u;
constexpr uint32_t kBsAutoRadioButton = 0x9u;
constexpr uint32_t kBsTypeMask = 0xFu;
constexpr uint32_t kBsIcon = 0x40u;
constexpr uint32_t kBsPushLike = 0x1000u;
constexpr uint32_t kBsMultiLine = 0x2000u;

// Edit styles.
constexpr uint32_t kEsMultiLine = 0x4u;
constexpr uint32_t kEsAutoVScroll = 0x40u;
constexpr uint32_t kEsAutoHScroll = 0x80u;
constexpr uint32_t kEsReadOnly = 0x800u;

// Static styles.
constexpr uint32_t kSsLeft = 0x0u;
constexpr uint32_t kSsIcon = 0x3u;
constexpr uint32_t kSsBitmap = 0xEu;
constexpr uint32_t kSsTypeMask = 0x1Fu;
constexpr uint32_t kSsSunken = 0x1000u;

// Combo box styles.
constexpr uint32_t kCbsDropDownList = 0x3u;

constexpr int kNoId = -1;

// One control, in tab order. Positions and sizes are dialog units.
struct DialogItem {
    int id;  // kNoId for a control that nobody addresses
    ControlClass cls;
    uint32_t style;  // class and window styles; visible is implied
    uint32_t exStyle;
    int16_t x, y, cx, cy;
    const char* text;  // caption, or null
    uint16_t image;    // the icon (kSsIcon) or bitmap (kSsBitmap) resource of a static, or 0
};

struct DialogTemplate {
    uint16_t resourceId;
    uint32_t style;
    int16_t cx, cy;  // dialog units
    const char* caption;
    const char* fontName;
    uint16_t fontPoints;
    const DialogItem* items;
    size_t itemCount;
};

// The images a module carries, by resource identifier, as XPM text (the same files
// become the icon and bitmap resources of the Windows build). small is the 16 by 16
// form of an icon, or null.
struct ImageResource {
    uint16_t id;
    const char* const* xpm;
    const char* const* small;
};

struct ModuleResources {
    const ImageResource* images;
    size_t count;
};

// ---- messages -------------------------------------------------------------------------

using DialogProc = intptr_t (*)(HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t lparam);

constexpr uint32_t kWmClose = 0x0010;
constexpr uint32_t kWmInitDialog = 0x0110;  // lparam: the parameter given to the dialog
constexpr uint32_t kWmCommand = 0x0111;     // wparam: control id (low), notification (high)
constexpr uint32_t kWmTimer = 0x0113;       // wparam: timer id
constexpr uint32_t kWmApp = 0x8000;         // first message free for a program's own use

// Notifications.
constexpr uint16_t kBnClicked = 0;
constexpr uint16_t kCbnSelChange = 1;
constexpr uint16_t kEnSetFocus = 0x0100;
constexpr uint16_t kEnKillFocus = 0x0200;
constexpr uint16_t kEnChange = 0x0300;

// The identifiers that Enter and Escape send when no default button answers.
constexpr int kIdOkCommand = 1;
constexpr int kIdCancelCommand = 2;

constexpr unsigned kBstUnchecked = 0;
constexpr unsigned kBstChecked = 1;

inline uint16_t LoWord(uintptr_t v) {
    return static_cast<uint16_t>(v & 0xFFFFu);
}
inline uint16_t HiWord(uintptr_t v) {
    return static_cast<uint16_t>((v >> 16) & 0xFFFFu);
}
inline uintptr_t MakeWParam(unsigned low, unsigned high) {
    return static_cast<uintptr_t>((low & 0xFFFFu) | ((high & 0xFFFFu) << 16));
}

// ---- running a dialog -----------------------------------------------------------------

// Shows the dialog modally over owner (or none) and runs proc on the calling thread
// until EndDialog; returns the result given to EndDialog, or -1 when the dialog could
// not be shown (no display, no host), with the system's last error set.
intptr_t DialogBoxIndirectParamA(const ModuleResources* resources, const DialogTemplate& tmpl,
                                 HDlg owner, DialogProc proc, intptr_t param);
bool EndDialog(HDlg dlg, intptr_t result);
// A value kept for the procedure (DWLP_USER).
bool SetDialogUserData(HDlg dlg, intptr_t value);
intptr_t GetDialogUserData(HDlg dlg);

// Posts a message to the dialog's procedure; it runs on the dialog's thread later.
bool PostMessageA(HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t lparam);
// WM_TIMER with the id every ms milliseconds, until KillTimer; a second SetTimer with
// the same id replaces the first.
bool SetTimer(HDlg dlg, uintptr_t id, uint32_t ms);
bool KillTimer(HDlg dlg, uintptr_t id);

// ---- controls -------------------------------------------------------------------------

bool SetWindowTextA(HDlg dlg, const char* text);  // the title
bool SetDlgItemTextA(HDlg dlg, int id, const char* text);
// Copies at most size - 1 characters and a terminator; the number copied (0 for an
// unknown control, with buf emptied when size > 0).
unsigned GetDlgItemTextA(HDlg dlg, int id, char* buf, int size);
bool CheckDlgButton(HDlg dlg, int id, unsigned state);
unsigned IsDlgButtonChecked(HDlg dlg, int id);
bool EnableDlgItem(HDlg dlg, int id, bool enable);
bool IsDlgItemEnabled(HDlg dlg, int id);
// Moves the keyboard focus to the control (SetFocus of the control's window).
bool SetDlgItemFocus(HDlg dlg, int id);
int GetDlgFocusId(HDlg dlg);  // kNoId when no control has the focus
// Selects characters start to end of an edit (EM_SETSEL); end -1 means to the end.
bool SelectDlgItemText(HDlg dlg, int id, int start, int end);
// Shows an icon or bitmap resource of the dialog's module on an icon button or a
// static picture (BM_SETIMAGE / STM_SETICON / STM_SETIMAGE).
bool SetDlgItemImage(HDlg dlg, int id, uint16_t image);
// Drop-down lists (CB_RESETCONTENT, CB_ADDSTRING, CB_SETCURSEL, CB_GETCURSEL,
// CB_GETLBTEXT). Index -1 selects nothing.
bool ResetDlgList(HDlg dlg, int id);
int AddDlgListItem(HDlg dlg, int id, const char* text);  // its index, or -1
bool SelectDlgListItem(HDlg dlg, int id, int index);
int GetDlgListSelection(HDlg dlg, int id);
unsigned GetDlgListItemText(HDlg dlg, int id, int index, char* buf, int size);

// ---- common dialogs -------------------------------------------------------------------

// OPENFILENAME flags.
constexpr uint32_t kOfnOverwritePrompt = 0x2u;
constexpr uint32_t kOfnHideReadOnly = 0x4u;
constexpr uint32_t kOfnFileMustExist = 0x1000u;
constexpr uint32_t kOfnCreatePrompt = 0x2000u;
constexpr uint32_t kOfnShareAware = 0x4000u;
constexpr uint32_t kOfnNoTestFileCreate = 0x10000u;

struct SaveFileNameA {
    HDlg owner = nullptr;
    // Pairs of description and pattern, each NUL-terminated, the list ended by a second
    // NUL: "All files (*.*)\0*.*\0".
    const char* filter = nullptr;
    uint32_t filterIndex = 1;  // 1-based
    char* file = nullptr;      // in: the proposed name; out: the chosen path
    uint32_t fileSize = 0;
    char* fileTitle = nullptr;  // out: the chosen file's name without its directory
    uint32_t fileTitleSize = 0;
    const char* title = nullptr;
    uint32_t flags = 0;
};

// The save-file dialog; false when cancelled (the buffers are then unchanged) or when
// the chosen path does not fit the buffer.
bool GetSaveFileNameA(SaveFileNameA* ofn);
// The folder picker limited to file system folders; false when cancelled.
bool BrowseForFolderA(HDlg owner, const char* title, char* path, unsigned size);

}  // namespace kvp
