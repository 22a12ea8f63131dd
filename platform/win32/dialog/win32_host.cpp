// The Win32 host: each dialog is made by the Windows dialog manager from an in-memory
// template. The controls' state lives in the dialog core; the windows show it and report
// what the user does. The keyboard (Tab, Enter, Escape, arrows in radio groups,
// mnemonics) goes to the core's dialog manager, so that focus and tab order are the
// same under every host.
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dialog/dialog_core.h"
#include "kv/ui.h"
#include "win32/win32.h"
#include "win32_images.h"
#include "win32_template.h"

// clang-format off
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>
// clang-format on

namespace kvp::win32dlg {

namespace {

using dlg::Control;
using dlg::DialogRef;

// Posted to a dialog window when something changed for it on another thread.
constexpr UINT kWakeMsg = WM_APP + 0x3F00;
// Runs the core's timers also while a nested loop (a box, a chooser) has the thread.
constexpr UINT_PTR kPumpTimer = 0x4B56;

struct View {
    DialogRef d;
    HWND hwnd = nullptr;
    HWND owner = nullptr;        // disabled while this dialog runs
    std::vector<HWND> controls;  // by control index
    bool syncing = false;
};

// The dialogs of this thread, newest last: a loop that is not ours (a box, a chooser)
// runs the core's timers through a timer of the newest.
thread_local std::vector<HWND> t_open;

// The windows of every dialog, each with whether a wake is on its way, for waking them
// from any thread (never freed: workers may wake late).
std::mutex g_windowsMu;
std::map<HWND, bool>* g_windows = nullptr;

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

View* ViewOf(HWND hwnd) {
    return reinterpret_cast<View*>(GetWindowLongPtrA(hwnd, DWLP_USER));
}

HWND WindowOf(HDlg dlg) {
    DialogRef d = dlg::Find(dlg);
    if (!d || !d->view) return nullptr;
    return static_cast<View*>(d->view)->hwnd;
}

int IndexOfWindow(const View& v, HWND ctl) {
    for (size_t i = 0; i < v.controls.size(); ++i)
        if (v.controls[i] == ctl) return static_cast<int>(i);
    return -1;
}

std::string TextOf(HWND hwnd) {
    const int n = GetWindowTextLengthA(hwnd);
    std::string text(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
    const int got = GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

void SetTextIfChanged(HWND hwnd, const std::string& text) {
    if (TextOf(hwnd) != text) SetWindowTextA(hwnd, text.c_str());
}

// Edits of several lines break only at CR LF.
std::string WithCrLf(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

void PumpAndArm(HWND hwnd) {
    const int next = dlg::Pump();
    if (!IsWindow(hwnd)) return;
    if (next >= 0) {
        SetTimer(hwnd, kPumpTimer, static_cast<UINT>(next > 0 ? next : 1), nullptr);
    } else {
        KillTimer(hwnd, kPumpTimer);
    }
}

INT_PTR CALLBACK DialogProcedure(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrA(hwnd, DWLP_USER, lparam);
        return FALSE;  // the core places the focus
    }
    View* v = ViewOf(hwnd);
    if (!v || !v->d) return FALSE;
    switch (msg) {
        case WM_COMMAND: {
            if (v->syncing) return TRUE;
            const HWND ctl = reinterpret_cast<HWND>(lparam);
            const WORD code = HIWORD(wparam);
            const int index = ctl ? IndexOfWindow(*v, ctl) : -1;
            if (index < 0) {
                // Not from a control: the system's Enter and Escape.
                if (LOWORD(wparam) == IDCANCEL) dlg::UserKey(v->d, dlg::Key::kEscape);
                if (LOWORD(wparam) == IDOK) dlg::UserKey(v->d, dlg::Key::kEnter);
                return TRUE;
            }
            const Control& c = v->d->controls[index];
            switch (c.item.cls) {
                case ControlClass::kButton:
                    if (code == BN_CLICKED) dlg::UserClick(v->d, index);
                    break;
                case ControlClass::kEdit:
                    if (code == EN_CHANGE) dlg::UserType(v->d, index, TextOf(ctl));
                    if (code == EN_SETFOCUS) dlg::UserFocus(v->d, index, false);
                    break;
                case ControlClass::kComboBox:
                    if (code == CBN_SELCHANGE)
                        dlg::UserSelectList(
                            v->d, index, static_cast<int>(SendMessageA(ctl, CB_GETCURSEL, 0, 0)));
                    if (code == CBN_SETFOCUS) dlg::UserFocus(v->d, index, false);
                    break;
                case ControlClass::kStatic:
                    break;
            }
            return TRUE;
        }
        case WM_CLOSE:
            dlg::UserClose(v->d);
            return TRUE;
        case kWakeMsg: {
            std::lock_guard<std::mutex> hold(g_windowsMu);
            if (g_windows) {
                auto it = g_windows->find(hwnd);
                if (it != g_windows->end()) it->second = false;
            }
        }
            PumpAndArm(hwnd);
            return TRUE;
        case WM_TIMER:
            if (wparam != kPumpTimer) return FALSE;
            PumpAndArm(hwnd);
            return TRUE;
        default:
            return FALSE;
    }
}

// The keys that the core's dialog manager answers; true when the message was used.
bool DialogKey(const MSG& m) {
    if (m.message != WM_KEYDOWN && m.message != WM_SYSCHAR && m.message != WM_CHAR) return false;
    const HWND root = GetAncestor(m.hwnd, GA_ROOT);
    if (!root) return false;
    View* v = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_windowsMu);
        if (!g_windows || !g_windows->count(root)) return false;
    }
    v = ViewOf(root);
    if (!v || !v->d) return false;
    const DialogRef d = v->d;
    // An opened drop-down list keeps its own keys.
    const int focusIndex = IndexOfWindow(*v, GetFocus());
    char cls[16] = "";
    GetClassNameA(m.hwnd, cls, sizeof cls);
    const bool inList = lstrcmpiA(cls, "ComboLBox") == 0 ||
                        (focusIndex >= 0 && d->controls[focusIndex].IsList() &&
                         SendMessageA(v->controls[focusIndex], CB_GETDROPPEDSTATE, 0, 0));
    if (m.message == WM_KEYDOWN) {
        const bool shift = GetKeyState(VK_SHIFT) < 0;
        switch (m.wParam) {
            case VK_TAB:
                return dlg::UserKey(d, shift ? dlg::Key::kShiftTab : dlg::Key::kTab);
            case VK_RETURN:
                return !inList && dlg::UserKey(d, dlg::Key::kEnter);
            case VK_ESCAPE:
                return !inList && dlg::UserKey(d, dlg::Key::kEscape);
            case VK_UP:
                return !inList && dlg::UserKey(d, dlg::Key::kUp);
            case VK_DOWN:
                return !inList && dlg::UserKey(d, dlg::Key::kDown);
            case VK_LEFT:
                return !inList && dlg::UserKey(d, dlg::Key::kLeft);
            case VK_RIGHT:
                return !inList && dlg::UserKey(d, dlg::Key::kRight);
            default:
                return false;
        }
    }
    const WPARAM ch = m.wParam;
    if (ch >= 0x80 || !IsCharAlphaNumericA(static_cast<CHAR>(ch))) return false;
    // A letter alone is a mnemonic only outside an edit.
    if (m.message == WM_CHAR && focusIndex >= 0 && d->controls[focusIndex].IsEdit()) return false;
    if (m.message == WM_CHAR && inList) return false;
    return dlg::UserMnemonic(d, static_cast<char>(ch));
}

class Win32Host final : public dlg::Host, public MessageBoxHandler {
  public:
    bool Open(dlg::Dialog& d) override {
        DialogRef ref = dlg::Find(d.handle());
        if (!ref) return false;
        auto* v = new View;
        v->d = ref;
        v->owner = WindowOf(d.owner);
        const std::vector<WORD> tmpl = BuildTemplate(*d.tmpl);
        v->hwnd =
            CreateDialogIndirectParamA(ThisModule(), reinterpret_cast<LPCDLGTEMPLATEA>(tmpl.data()),
                                       v->owner, DialogProcedure, reinterpret_cast<LPARAM>(v));
        if (!v->hwnd) {
            delete v;
            return false;
        }
        // The dialog manager makes the controls in template order.
        for (HWND c = GetWindow(v->hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            v->controls.push_back(c);
        v->controls.resize(d.controls.size(), nullptr);
        // The window's icon is the dialog's own program icon, when it shows one.
        for (const Control& c : d.controls) {
            if (!c.IsStatic() || c.Type() != kSsIcon) continue;
            if (const ImageResource* res = dlg::FindImage(d, c.image)) {
                if (HICON big = IconFromXpm(res->xpm))
                    SendMessageA(v->hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
                if (HICON small = IconFromXpm(res->small ? res->small : res->xpm))
                    SendMessageA(v->hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
            }
            break;
        }
        {
            std::lock_guard<std::mutex> hold(g_windowsMu);
            if (!g_windows) g_windows = new std::map<HWND, bool>;
            (*g_windows)[v->hwnd] = false;
        }
        d.view = v;
        t_open.push_back(v->hwnd);
        return true;
    }

    void Show(dlg::Dialog& d) override {
        auto* v = static_cast<View*>(d.view);
        dlg::MarkAllDirty(d);
        Sync(d);
        if (v->owner) EnableWindow(v->owner, FALSE);
        ShowWindow(v->hwnd, SW_SHOWNORMAL);
        SetForegroundWindow(v->hwnd);
        dlg::MarkFocusDirty(d);
        Sync(d);
    }

    void Close(dlg::Dialog& d) override {
        auto* v = static_cast<View*>(d.view);
        d.view = nullptr;
        if (!v) return;
        {
            std::lock_guard<std::mutex> hold(g_windowsMu);
            g_windows->erase(v->hwnd);
        }
        t_open.erase(std::remove(t_open.begin(), t_open.end(), v->hwnd), t_open.end());
        // The owner is enabled first, so that it takes the activation back.
        if (v->owner) EnableWindow(v->owner, TRUE);
        DestroyWindow(v->hwnd);
        delete v;
    }

    void Sync(dlg::Dialog& d) override {
        auto* v = static_cast<View*>(d.view);
        if (!v) return;
        const bool visible = IsWindowVisible(v->hwnd) != 0;
        const dlg::DirtyState st = dlg::TakeDirty(d, visible);
        v->syncing = true;
        if (st.titleDirty) SetTextIfChanged(v->hwnd, st.title);
        for (const auto& [index, c] : st.controls) Apply(*v, index, c);
        if (st.focusDirty && visible && st.focus >= 0 && v->controls[st.focus]) {
            if (GetFocus() != v->controls[st.focus]) SetFocus(v->controls[st.focus]);
            ShowDefault(*v, st.focus);
        }
        v->syncing = false;
    }

    void Wake() override {
        std::vector<HWND> targets;
        {
            std::lock_guard<std::mutex> hold(g_windowsMu);
            if (!g_windows) return;
            for (auto& [hwnd, pending] : *g_windows) {
                if (pending) continue;
                pending = true;
                targets.push_back(hwnd);
            }
        }
        for (HWND hwnd : targets) PostMessageA(hwnd, kWakeMsg, 0, 0);
    }

    void Wait(int ms) override {
        if (!t_open.empty()) {
            if (ms >= 0) {
                SetTimer(t_open.back(), kPumpTimer, static_cast<UINT>(ms > 0 ? ms : 1), nullptr);
            } else {
                KillTimer(t_open.back(), kPumpTimer);
            }
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, ms < 0 ? INFINITE : static_cast<DWORD>(ms),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                // Left for the loop that owns the thread.
                PostQuitMessage(static_cast<int>(m.wParam));
                return;
            }
            if (DialogKey(m)) continue;
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
    }

    bool PickFile(dlg::Dialog* owner, const std::string& title,
                  const std::vector<FileFilter>& filters, int filterIndex,
                  const std::string& proposed, bool mustExist, std::string* chosen) override {
        std::string filter;
        for (const FileFilter& f : filters) {
            filter += f.description;
            filter += '\0';
            filter += f.pattern;
            filter += '\0';
        }
        filter += '\0';
        char file[MAX_PATH * 4] = "";
        std::string dir;
        const DWORD attrs =
            proposed.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(proposed.c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            dir = proposed;
        } else if (proposed.size() < sizeof file) {
            lstrcpynA(file, proposed.c_str(), sizeof file);
        }
        OPENFILENAMEA ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = owner && owner->view ? static_cast<View*>(owner->view)->hwnd : nullptr;
        ofn.lpstrFilter = filters.empty() ? nullptr : filter.c_str();
        ofn.nFilterIndex = static_cast<DWORD>(filterIndex > 0 ? filterIndex : 1);
        ofn.lpstrFile = file;
        ofn.nMaxFile = sizeof file;
        ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
        ofn.lpstrTitle = title.c_str();
        // The prompts (missing file, overwrite) are the core's, the same on every host.
        ofn.Flags =
            OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_EXPLORER | (mustExist ? OFN_PATHMUSTEXIST : 0);
        if (!GetSaveFileNameA(&ofn) || !file[0]) return false;
        *chosen = file;
        return true;
    }

    bool PickFolder(dlg::Dialog* owner, const std::string& title, std::string* chosen) override {
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        BROWSEINFOA bi{};
        bi.hwndOwner = owner && owner->view ? static_cast<View*>(owner->view)->hwnd : nullptr;
        bi.lpszTitle = title.c_str();
        bi.ulFlags = BIF_RETURNONLYFSDIRS;
        bool ok = false;
        if (LPITEMIDLIST pidl = SHBrowseForFolderA(&bi)) {
            char path[MAX_PATH] = "";
            if (SHGetPathFromIDListA(pidl, path) && path[0]) {
                *chosen = path;
                ok = true;
            }
            CoTaskMemFree(pidl);
        }
        if (SUCCEEDED(com)) CoUninitialize();
        return ok;
    }

    // Boxes owned by a dialog take its window as their owner; Windows runs a box from
    // any thread, also one whose owner belongs to another.
    int Show(void* owner, const char* text, const char* caption, unsigned flags) override {
        // A named log means an unattended run: the box is recorded (by the caller) and
        // told on standard error, not shown.
        if (!internal::EnvVar("KVTFTP_MSGBOX_LOG").empty()) {
            std::fprintf(stderr, "%s: %s\n", caption, text);
            return MessageBoxDefaultButton(flags);
        }
        HWND hwnd = WindowOf(static_cast<HDlg>(owner));
        if (!hwnd && owner && IsWindow(static_cast<HWND>(owner))) hwnd = static_cast<HWND>(owner);
        return ::MessageBoxA(hwnd, text, caption, flags);
    }

  private:
    // A focused push button shows the dark frame of the default (Enter presses it);
    // elsewhere the template's default button has it.
    static void ShowDefault(View& v, int focus) {
        const dlg::Dialog& d = *v.d;
        int def = d.controls[focus].IsPushButton() ? focus : -1;
        for (size_t i = 0; def < 0 && i < d.controls.size(); ++i)
            if (d.controls[i].IsDefaultButton()) def = static_cast<int>(i);
        for (size_t i = 0; i < d.controls.size(); ++i) {
            HWND w = v.controls[i];
            if (!w || !d.controls[i].IsPushButton()) continue;
            const LONG_PTR style = GetWindowLongPtrA(w, GWL_STYLE);
            const LONG_PTR type = static_cast<int>(i) == def ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
            if ((style & BS_TYPEMASK) != type)
                SendMessageA(w, BM_SETSTYLE, static_cast<WPARAM>((style & ~BS_TYPEMASK) | type),
                             TRUE);
        }
    }

    static void Apply(View& v, int index, const Control& c) {
        HWND w = v.controls[index];
        if (!w) return;
        const dlg::Dialog& d = *v.d;
        switch (c.item.cls) {
            case ControlClass::kButton: {
                const ImageResource* res = dlg::FindImage(d, c.image);
                if ((c.item.style & kBsIcon) && res) {
                    // A button too small for the icon shows its small form, if any.
                    const char* const* xpm = res->xpm;
                    RECT r{};
                    GetClientRect(w, &r);
                    int iw = 0, ih = 0;
                    if (res->small && XpmSize(xpm, &iw, &ih) &&
                        (iw > r.right - 4 || ih > r.bottom - 4))
                        xpm = res->small;
                    SendMessageA(w, BM_SETIMAGE, IMAGE_ICON,
                                 reinterpret_cast<LPARAM>(IconFromXpm(xpm)));
                }
                SetTextIfChanged(w, c.text);
                if (!c.IsGroupBox() && !c.IsPushButton())
                    SendMessageA(w, BM_SETCHECK,
                                 c.check == kBstChecked ? BST_CHECKED : BST_UNCHECKED, 0);
                break;
            }
            case ControlClass::kEdit: {
                SetTextIfChanged(w, (c.item.style & kEsMultiLine) ? WithCrLf(c.text) : c.text);
                SendMessageA(w, EM_SETREADONLY, (c.item.style & kEsReadOnly) ? TRUE : FALSE, 0);
                if (!(c.item.style & kEsMultiLine))
                    SendMessageA(w, EM_SETSEL, static_cast<WPARAM>(c.selStart),
                                 static_cast<LPARAM>(c.selEnd));
                break;
            }
            case ControlClass::kComboBox:
                SendMessageA(w, CB_RESETCONTENT, 0, 0);
                for (const std::string& item : c.list)
                    SendMessageA(w, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
                SendMessageA(w, CB_SETCURSEL, static_cast<WPARAM>(c.listSel), 0);
                break;
            case ControlClass::kStatic: {
                const uint32_t type = c.Type();
                const ImageResource* res = dlg::FindImage(d, c.image);
                if (type == kSsIcon) {
                    SendMessageA(w, STM_SETICON,
                                 reinterpret_cast<WPARAM>(res ? IconFromXpm(res->xpm) : nullptr),
                                 0);
                } else if (type == kSsBitmap) {
                    SendMessageA(w, STM_SETIMAGE, IMAGE_BITMAP,
                                 reinterpret_cast<LPARAM>(res ? BitmapFromXpm(res->xpm) : nullptr));
                } else {
                    SetTextIfChanged(w, c.text);
                }
                break;
            }
        }
        if ((IsWindowEnabled(w) != 0) != c.enabled) EnableWindow(w, c.enabled ? TRUE : FALSE);
    }
};

Win32Host g_host;

}  // namespace

}  // namespace kvp::win32dlg

namespace kvp::dlg {

Host* ToolkitHost() {
    static std::once_flag once;
    std::call_once(once, [] { SetMessageBoxHandler(&win32dlg::g_host); });
    return &win32dlg::g_host;
}

}  // namespace kvp::dlg
