#include "dialog_core.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/ui.h"

namespace kvp::dlg {

namespace {

std::mutex g_dialogsMu;
std::map<uint64_t, DialogRef>* g_dialogs = nullptr;  // never freed: workers may ask late
uint64_t g_nextToken = 1;
std::atomic<Host*> g_installedHost{nullptr};

// Posted messages and work, each for the thread that runs its dialog.
struct Work {
    std::thread::id thread;
    uint64_t token = 0;
    uint32_t msg = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
    std::function<void()> fn;
};
std::mutex g_queueMu;
std::deque<Work>* g_queue = nullptr;

DialogRef FindToken(uint64_t token) {
    std::lock_guard<std::mutex> hold(g_dialogsMu);
    if (!g_dialogs) return nullptr;
    auto it = g_dialogs->find(token);
    return it == g_dialogs->end() ? nullptr : it->second;
}

void Register(const DialogRef& d) {
    std::lock_guard<std::mutex> hold(g_dialogsMu);
    if (!g_dialogs) g_dialogs = new std::map<uint64_t, DialogRef>;
    d->token = g_nextToken++;
    (*g_dialogs)[d->token] = d;
}

void Unregister(const DialogRef& d) {
    std::lock_guard<std::mutex> hold(g_dialogsMu);
    if (g_dialogs) g_dialogs->erase(d->token);
}

void Enqueue(Work w, Host* host) {
    {
        std::lock_guard<std::mutex> hold(g_queueMu);
        if (!g_queue) g_queue = new std::deque<Work>;
        g_queue->push_back(std::move(w));
    }
    if (host) host->Wake();
}

void Post(const DialogRef& d, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    Work w;
    w.thread = d->thread;
    w.token = d->token;
    w.msg = msg;
    w.wparam = wparam;
    w.lparam = lparam;
    Enqueue(std::move(w), d->host);
}

bool Ended(const DialogRef& d) {
    std::lock_guard<std::mutex> hold(d->mu);
    return d->ended;
}

// SendMessage: at once on the dialog's thread, posted from any other.
intptr_t Send(const DialogRef& d, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    if (!d->OnOwnThread()) {
        Post(d, msg, wparam, lparam);
        return 0;
    }
    if (Ended(d)) return 0;
    return d->proc(d->handle(), msg, wparam, lparam);
}

void Notify(const DialogRef& d, int index, uint16_t code) {
    const int id = d->controls[index].item.id;
    if (id == kNoId) return;
    Send(d, kWmCommand, MakeWParam(static_cast<unsigned>(id), code), 0);
}

// When KVTFTP_DIALOG_LOG names a file, every change of a control's text is appended
// there as one line (template, control, text), so that a test driving a real window can
// see what it shows.
void TraceText(const Dialog& d, int id, const std::string& text) {
    const char* path = std::getenv("KVTFTP_DIALOG_LOG");
    if (!path || !*path) return;
    std::string line = std::to_string(d.tmpl->resourceId) + "\t" + std::to_string(id) + "\t";
    for (char c : text) line += c == '\n' ? std::string("\\n") : std::string(1, c);
    line += '\n';
    static std::mutex traceMu;
    std::lock_guard<std::mutex> hold(traceMu);
    if (std::FILE* f = std::fopen(path, "a")) {
        std::fputs(line.c_str(), f);
        std::fclose(f);
    }
}

void Changed(const DialogRef& d) {
    if (d->host) d->host->Wake();
}

// [begin, end) of the group of the control: from the control that starts it (a
// group style) up to the next one that starts a group.
std::pair<int, int> GroupOf(const Dialog& d, int index) {
    int begin = index;
    while (begin > 0 && !(d.controls[begin].item.style & kWsGroup)) --begin;
    int end = index + 1;
    const int n = static_cast<int>(d.controls.size());
    while (end < n && !(d.controls[end].item.style & kWsGroup)) ++end;
    return {begin, end};
}

// Moves the focus (with d->mu held); returns the previous focus.
int MoveFocusLocked(Dialog& d, int index, bool selectAll) {
    const int old = d.focus;
    d.focus = index;
    d.focusDirty = true;
    if (index >= 0 && selectAll && d.controls[index].IsEdit()) {
        Control& c = d.controls[index];
        c.selStart = 0;
        c.selEnd = static_cast<int>(c.text.size());
        c.dirty = true;
    }
    return old;
}

void SetFocusIndex(const DialogRef& d, int index, bool selectAll) {
    int old;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        if (index == d->focus) {
            if (selectAll) MoveFocusLocked(*d, index, true);
            return;
        }
        old = MoveFocusLocked(*d, index, selectAll);
    }
    Changed(d);
    if (old >= 0 && d->controls[old].IsEdit()) Notify(d, old, kEnKillFocus);
    if (index >= 0 && d->controls[index].IsEdit()) Notify(d, index, kEnSetFocus);
}

bool Reachable(const Control& c) {
    return c.TakesFocus() && c.enabled;
}

// Where the keyboard lands in a control's radio group: the checked button, else the one
// it reached.
int LandingInGroup(const Dialog& d, int index) {
    if (!d.controls[index].IsRadio()) return index;
    auto [begin, end] = GroupOf(d, index);
    for (int i = begin; i < end; ++i) {
        const Control& c = d.controls[i];
        if (c.IsRadio() && c.enabled && c.check == kBstChecked) return i;
    }
    return index;
}

int NextTabStop(const Dialog& d, int from, bool backwards) {
    const int n = static_cast<int>(d.controls.size());
    if (n == 0) return -1;
    std::pair<int, int> ownGroup{-1, -1};
    if (from >= 0 && d.controls[from].IsRadio()) ownGroup = GroupOf(d, from);
    int i = from;
    for (int step = 0; step < n; ++step) {
        i = backwards ? (i <= 0 ? n - 1 : i - 1) : (i + 1 >= n ? 0 : i + 1);
        if (i >= ownGroup.first && i < ownGroup.second) continue;
        const Control& c = d.controls[i];
        if (!c.enabled) continue;
        // A radio group is one stop, whichever of its buttons carries the tab style.
        if (c.IsRadio()) {
            auto [begin, end] = GroupOf(d, i);
            bool stop = false;
            for (int j = begin; j < end; ++j)
                if (d.controls[j].IsRadio() && (d.controls[j].item.style & kWsTabStop)) stop = true;
            if (!stop) continue;
            int land = LandingInGroup(d, i);
            if (land == i && (c.item.style & kWsTabStop) == 0 && c.check != kBstChecked) {
                // Land on the button with the tab style when none is checked.
                for (int j = begin; j < end; ++j)
                    if (d.controls[j].IsRadio() && (d.controls[j].item.style & kWsTabStop) &&
                        d.controls[j].enabled)
                        land = j;
            }
            return land;
        }
        if (Reachable(c)) return i;
    }
    return from;
}

int FirstTabStop(const Dialog& d) {
    std::lock_guard<std::mutex> hold(d.mu);
    return NextTabStop(d, -1, false);
}

// Checks one radio button of a group and clears the others.
void CheckRadioLocked(Dialog& d, int index) {
    auto [begin, end] = GroupOf(d, index);
    for (int i = begin; i < end; ++i) {
        Control& c = d.controls[i];
        if (!c.IsRadio()) continue;
        const unsigned want = i == index ? kBstChecked : kBstUnchecked;
        if (c.check != want) {
            c.check = want;
            c.dirty = true;
        }
    }
}

int DefaultButton(const Dialog& d) {
    for (size_t i = 0; i < d.controls.size(); ++i)
        if (d.controls[i].IsDefaultButton()) return static_cast<int>(i);
    return -1;
}

DialogRef FindLive(HDlg dlg) {
    DialogRef d = Find(dlg);
    return d;
}

// Runs f on the control of the id with the dialog's lock held; marks it changed.
template <class F>
bool WithControl(HDlg dlg, int id, F f) {
    DialogRef d = FindLive(dlg);
    if (!d) return false;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        const int i = d->IndexOf(id);
        if (i < 0) return false;
        if (!f(d->controls[i])) return false;
        d->controls[i].dirty = true;
    }
    Changed(d);
    return true;
}

// Reads from the control of the id with the dialog's lock held.
template <class T, class F>
T ReadControl(HDlg dlg, int id, T fallback, F f) {
    DialogRef d = FindLive(dlg);
    if (!d) return fallback;
    std::lock_guard<std::mutex> hold(d->mu);
    const int i = d->IndexOf(id);
    if (i < 0) return fallback;
    return f(d->controls[i]);
}

unsigned CopyText(const std::string& text, char* buf, int size) {
    if (!buf || size <= 0) return 0;
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return static_cast<unsigned>(n);
}

}  // namespace

// ---- controls -------------------------------------------------------------------------

uint32_t Control::Type() const {
    if (item.cls == ControlClass::kStatic) return item.style & kSsTypeMask;
    if (item.cls == ControlClass::kButton) return item.style & kBsTypeMask;
    return 0;
}

bool Control::IsGroupBox() const {
    return item.cls == ControlClass::kButton && Type() == kBsGroupBox;
}
bool Control::IsPushButton() const {
    return item.cls == ControlClass::kButton &&
           (Type() == kBsPushButton || Type() == kBsDefPushButton);
}
bool Control::IsDefaultButton() const {
    return item.cls == ControlClass::kButton && Type() == kBsDefPushButton;
}
bool Control::IsCheckBox() const {
    return item.cls == ControlClass::kButton && Type() == kBsAutoCheckBox;
}
bool Control::IsRadio() const {
    return item.cls == ControlClass::kButton && Type() == kBsAutoRadioButton;
}
bool Control::TakesFocus() const {
    if (IsStatic() || IsGroupBox()) return false;
    return (item.style & kWsTabStop) != 0 || IsRadio();
}

int Dialog::IndexOf(int id) const {
    if (id == kNoId) return -1;
    for (size_t i = 0; i < controls.size(); ++i)
        if (controls[i].item.id == id) return static_cast<int>(i);
    return -1;
}

DialogRef Find(HDlg dlg) {
    return FindToken(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(dlg)));
}

std::vector<DialogRef> LiveDialogs() {
    std::vector<DialogRef> out;
    std::lock_guard<std::mutex> hold(g_dialogsMu);
    if (g_dialogs)
        for (auto& [token, d] : *g_dialogs) out.push_back(d);
    return out;
}

DirtyState TakeDirty(Dialog& d, bool canFocus) {
    DirtyState out;
    std::lock_guard<std::mutex> hold(d.mu);
    for (size_t i = 0; i < d.controls.size(); ++i) {
        Control& c = d.controls[i];
        if (!c.dirty) continue;
        out.controls.emplace_back(static_cast<int>(i), c);
        c.dirty = false;
    }
    out.titleDirty = d.titleDirty;
    out.title = d.title;
    d.titleDirty = false;
    out.focusDirty = d.focusDirty;
    out.focus = d.focus;
    if (canFocus) d.focusDirty = false;
    return out;
}

void MarkAllDirty(Dialog& d) {
    std::lock_guard<std::mutex> hold(d.mu);
    for (Control& c : d.controls) c.dirty = true;
    d.titleDirty = d.focusDirty = true;
}

void MarkFocusDirty(Dialog& d) {
    std::lock_guard<std::mutex> hold(d.mu);
    d.focusDirty = true;
}

Host* CurrentHost() {
    Host* h = g_installedHost.load();
    return h ? h : ToolkitHost();
}

void InstallHost(Host* host) {
    g_installedHost.store(host);
}

const ImageResource* FindImage(const Dialog& d, uint16_t id) {
    if (!d.resources || id == 0) return nullptr;
    for (size_t i = 0; i < d.resources->count; ++i)
        if (d.resources->images[i].id == id) return &d.resources->images[i];
    return nullptr;
}

char MnemonicOf(const std::string& caption) {
    for (size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&') continue;
        if (caption[i + 1] == '&') {
            ++i;
            continue;
        }
        return static_cast<char>(std::tolower(static_cast<unsigned char>(caption[i + 1])));
    }
    return 0;
}

std::string StripMnemonic(const std::string& caption) {
    std::string out;
    for (size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) ++i;
        out += caption[i];
    }
    return out;
}

// ---- the loop -------------------------------------------------------------------------

void PostWork(std::thread::id thread, Host* host, std::function<void()> work) {
    Work w;
    w.thread = thread;
    w.fn = std::move(work);
    Enqueue(std::move(w), host);
}

int Pump() {
    const std::thread::id me = std::this_thread::get_id();
    // Only what was there on entry: work that posts more work is not run in a circle.
    size_t budget;
    {
        std::lock_guard<std::mutex> hold(g_queueMu);
        budget = g_queue ? g_queue->size() : 0;
    }
    while (budget-- > 0) {
        Work w;
        bool found = false;
        {
            std::lock_guard<std::mutex> hold(g_queueMu);
            for (auto it = g_queue->begin(); it != g_queue->end(); ++it) {
                if (it->thread != me) continue;
                w = std::move(*it);
                g_queue->erase(it);
                found = true;
                break;
            }
        }
        if (!found) break;
        if (w.fn) {
            w.fn();
        } else if (DialogRef d = FindToken(w.token)) {
            if (!Ended(d)) d->proc(d->handle(), w.msg, w.wparam, w.lparam);
        }
    }

    using Clock = std::chrono::steady_clock;
    int next = -1;
    for (const DialogRef& d : LiveDialogs()) {
        if (d->thread != me) continue;
        std::vector<uintptr_t> due;
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> hold(d->mu);
            for (auto& [id, t] : d->timers) {
                if (t.due <= now) {
                    due.push_back(id);
                    t.due = now + std::chrono::milliseconds(t.ms);
                }
            }
        }
        for (uintptr_t id : due) Send(d, kWmTimer, id, 0);
        {
            std::lock_guard<std::mutex> hold(d->mu);
            for (auto& [id, t] : d->timers) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t.due - now);
                const int ms = static_cast<int>(std::max<int64_t>(0, left.count()));
                if (next < 0 || ms < next) next = ms;
            }
        }
        if (d->host) d->host->Sync(*d);
    }
    return next;
}

intptr_t RunModal(Host* host, const ModuleResources* resources, const DialogTemplate& tmpl,
                  HDlg owner, DialogProc proc, intptr_t param) {
    if (!host || !proc) {
        SetLastSystemError(ENODEV);
        return -1;
    }
    auto d = std::make_shared<Dialog>();
    d->host = host;
    d->resources = resources;
    d->tmpl = &tmpl;
    d->proc = proc;
    d->owner = owner;
    d->thread = std::this_thread::get_id();
    d->title = tmpl.caption ? tmpl.caption : "";
    d->controls.resize(tmpl.itemCount);
    for (size_t i = 0; i < tmpl.itemCount; ++i) {
        Control& c = d->controls[i];
        c.item = tmpl.items[i];
        c.text = c.item.text ? c.item.text : "";
        c.enabled = (c.item.style & kWsDisabled) == 0;
        c.image = c.item.image;
    }
    Register(d);
    if (!host->Open(*d)) {
        Unregister(d);
        SetLastSystemError(ENODEV);
        return -1;
    }
    const intptr_t wantsFocus = proc(d->handle(), kWmInitDialog, 0, param);
    if (wantsFocus && !Ended(d)) {
        const int first = FirstTabStop(*d);
        if (first >= 0) SetFocusIndex(d, first, true);
    }
    if (!Ended(d)) host->Show(*d);
    while (!Ended(d)) {
        const int next = Pump();
        if (Ended(d)) break;
        host->Wait(next);
    }
    {
        std::lock_guard<std::mutex> hold(d->mu);
        d->timers.clear();
    }
    host->Close(*d);
    Unregister(d);
    return d->result;
}

// ---- the user -------------------------------------------------------------------------

void UserClick(const DialogRef& d, int index) {
    if (index < 0 || index >= static_cast<int>(d->controls.size())) return;
    const Control& c = d->controls[index];
    if (c.item.cls != ControlClass::kButton || c.IsGroupBox()) return;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        if (!d->controls[index].enabled) return;
    }
    // The button takes the focus when pressed, and changes its check before it reports.
    SetFocusIndex(d, index, false);
    {
        std::lock_guard<std::mutex> hold(d->mu);
        Control& m = d->controls[index];
        if (m.IsCheckBox()) {
            m.check = m.check == kBstChecked ? kBstUnchecked : kBstChecked;
            m.dirty = true;
        } else if (m.IsRadio()) {
            CheckRadioLocked(*d, index);
        }
    }
    Changed(d);
    Notify(d, index, kBnClicked);
}

void UserType(const DialogRef& d, int index, const std::string& text) {
    if (index < 0 || index >= static_cast<int>(d->controls.size())) return;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        Control& c = d->controls[index];
        if (!c.IsEdit() || !c.enabled || (c.item.style & kEsReadOnly)) return;
        c.text = text;
        c.selStart = c.selEnd = static_cast<int>(text.size());
    }
    TraceText(*d, d->controls[index].item.id, text);
    Notify(d, index, kEnChange);
}

void UserFocus(const DialogRef& d, int index, bool selectAll) {
    if (index < 0 || index >= static_cast<int>(d->controls.size())) return;
    SetFocusIndex(d, index, selectAll);
}

void UserSelectList(const DialogRef& d, int index, int item) {
    if (index < 0 || index >= static_cast<int>(d->controls.size())) return;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        Control& c = d->controls[index];
        if (!c.IsList() || !c.enabled) return;
        if (item < -1 || item >= static_cast<int>(c.list.size())) return;
        c.listSel = item;
        c.dirty = true;
    }
    Changed(d);
    Notify(d, index, kCbnSelChange);
}

void UserClose(const DialogRef& d) {
    if (Send(d, kWmClose, 0, 0) != 0) return;
    // Unanswered, the close box means Cancel, unless a Cancel button is disabled.
    {
        std::lock_guard<std::mutex> hold(d->mu);
        const int cancel = d->IndexOf(kIdCancelCommand);
        if (cancel >= 0 && !d->controls[cancel].enabled) return;
    }
    Post(d, kWmCommand, MakeWParam(kIdCancelCommand, kBnClicked), 0);
}

bool UserKey(const DialogRef& d, Key key) {
    switch (key) {
        case Key::kTab:
        case Key::kShiftTab: {
            int next;
            {
                std::lock_guard<std::mutex> hold(d->mu);
                next = NextTabStop(*d, d->focus, key == Key::kShiftTab);
            }
            if (next >= 0) SetFocusIndex(d, next, true);
            return true;
        }
        case Key::kEnter: {
            int target = -1;
            bool enabled = false;
            {
                std::lock_guard<std::mutex> hold(d->mu);
                if (d->focus >= 0 && d->controls[d->focus].IsPushButton()) {
                    target = d->focus;
                } else {
                    target = DefaultButton(*d);
                }
                if (target >= 0) enabled = d->controls[target].enabled;
            }
            if (target < 0) {
                Send(d, kWmCommand, MakeWParam(kIdOkCommand, kBnClicked), 0);
            } else if (enabled) {
                Notify(d, target, kBnClicked);
            }
            return true;
        }
        case Key::kEscape:
            Send(d, kWmCommand, MakeWParam(kIdCancelCommand, kBnClicked), 0);
            return true;
        case Key::kUp:
        case Key::kDown:
        case Key::kLeft:
        case Key::kRight: {
            int target = -1;
            {
                std::lock_guard<std::mutex> hold(d->mu);
                if (d->focus < 0 || !d->controls[d->focus].IsRadio()) return false;
                auto [begin, end] = GroupOf(*d, d->focus);
                const bool back = key == Key::kUp || key == Key::kLeft;
                const int span = end - begin;
                int i = d->focus;
                for (int step = 0; step < span; ++step) {
                    i = back ? (i <= begin ? end - 1 : i - 1) : (i + 1 >= end ? begin : i + 1);
                    if (d->controls[i].IsRadio() && d->controls[i].enabled) {
                        target = i;
                        break;
                    }
                }
            }
            if (target >= 0) UserClick(d, target);
            return true;
        }
    }
    return false;
}

bool UserMnemonic(const DialogRef& d, char letter) {
    letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    if (letter == 0) return false;
    int found = -1;
    int focusAfter = -1;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        const int n = static_cast<int>(d->controls.size());
        const int start = d->focus < 0 ? 0 : d->focus + 1;
        for (int step = 0; step < n; ++step) {
            const int i = (start + step) % n;
            const Control& c = d->controls[i];
            if (!c.enabled || c.IsEdit() || MnemonicOf(c.text) != letter) continue;
            found = i;
            break;
        }
        if (found < 0) return false;
        const Control& c = d->controls[found];
        if (c.IsStatic() || c.IsGroupBox()) {
            // A label's letter leads where Tab would go from the label.
            focusAfter = NextTabStop(*d, found, false);
            if (focusAfter < 0 || focusAfter == found) return true;
        }
    }
    if (focusAfter >= 0) {
        SetFocusIndex(d, focusAfter, true);
    } else if (d->controls[found].IsPushButton()) {
        Notify(d, found, kBnClicked);
    } else {
        UserClick(d, found);
    }
    return true;
}

}  // namespace kvp::dlg

// ---- the calls of the procedures ----------------------------------------------------------

namespace kvp {

using dlg::Control;
using dlg::DialogRef;

intptr_t DialogBoxIndirectParamA(const ModuleResources* resources, const DialogTemplate& tmpl,
                                 HDlg owner, DialogProc proc, intptr_t param) {
    return dlg::RunModal(dlg::CurrentHost(), resources, tmpl, owner, proc, param);
}

bool EndDialog(HDlg dlg, intptr_t result) {
    DialogRef d = dlg::Find(dlg);
    if (!d) return false;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        d->ended = true;
        d->result = result;
    }
    dlg::Changed(d);
    return true;
}

bool SetDialogUserData(HDlg dlg, intptr_t value) {
    DialogRef d = dlg::Find(dlg);
    if (!d) return false;
    std::lock_guard<std::mutex> hold(d->mu);
    d->userData = value;
    return true;
}

intptr_t GetDialogUserData(HDlg dlg) {
    DialogRef d = dlg::Find(dlg);
    if (!d) return 0;
    std::lock_guard<std::mutex> hold(d->mu);
    return d->userData;
}

bool PostMessageA(HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    DialogRef d = dlg::Find(dlg);
    if (!d || dlg::Ended(d)) return false;
    dlg::Post(d, msg, wparam, lparam);
    return true;
}

bool SetTimer(HDlg dlg, uintptr_t id, uint32_t ms) {
    DialogRef d = dlg::Find(dlg);
    if (!d) return false;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        dlg::Timer& t = d->timers[id];
        t.ms = ms;
        t.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    }
    dlg::Changed(d);
    return true;
}

bool KillTimer(HDlg dlg, uintptr_t id) {
    DialogRef d = dlg::Find(dlg);
    if (!d) return false;
    std::lock_guard<std::mutex> hold(d->mu);
    return d->timers.erase(id) != 0;
}

bool SetWindowTextA(HDlg dlg, const char* text) {
    DialogRef d = dlg::Find(dlg);
    if (!d) return false;
    {
        std::lock_guard<std::mutex> hold(d->mu);
        d->title = text ? text : "";
        d->titleDirty = true;
    }
    dlg::Changed(d);
    return true;
}

bool SetDlgItemTextA(HDlg dlg, int id, const char* text) {
    bool edit = false;
    const bool ok = dlg::WithControl(dlg, id, [&](Control& c) {
        c.text = text ? text : "";
        c.selStart = c.selEnd = 0;
        edit = c.IsEdit();
        return true;
    });
    DialogRef d = dlg::Find(dlg);
    if (ok && d) dlg::TraceText(*d, id, text ? text : "");
    // An edit reports every change of its text, also one made by the program.
    if (ok && edit && d) dlg::Notify(d, d->IndexOf(id), kEnChange);
    return ok;
}

unsigned GetDlgItemTextA(HDlg dlg, int id, char* buf, int size) {
    if (buf && size > 0) buf[0] = '\0';
    return dlg::ReadControl(dlg, id, 0u,
                            [&](const Control& c) { return dlg::CopyText(c.text, buf, size); });
}

bool CheckDlgButton(HDlg dlg, int id, unsigned state) {
    return dlg::WithControl(dlg, id, [&](Control& c) {
        if (c.item.cls != ControlClass::kButton) return false;
        c.check = state;
        return true;
    });
}

unsigned IsDlgButtonChecked(HDlg dlg, int id) {
    return dlg::ReadControl(dlg, id, 0u, [](const Control& c) { return c.check; });
}

bool EnableDlgItem(HDlg dlg, int id, bool enable) {
    return dlg::WithControl(dlg, id, [&](Control& c) {
        c.enabled = enable;
        return true;
    });
}

bool IsDlgItemEnabled(HDlg dlg, int id) {
    return dlg::ReadControl(dlg, id, false, [](const Control& c) { return c.enabled; });
}

bool SetDlgItemFocus(HDlg dlg, int id) {
    DialogRef d = dlg::Find(dlg);
    if (!d) return false;
    const int i = d->IndexOf(id);
    if (i < 0) return false;
    dlg::SetFocusIndex(d, i, false);
    return true;
}

int GetDlgFocusId(HDlg dlg) {
    DialogRef d = dlg::Find(dlg);
    if (!d) return kNoId;
    std::lock_guard<std::mutex> hold(d->mu);
    return d->focus < 0 ? kNoId : d->controls[d->focus].item.id;
}

bool SelectDlgItemText(HDlg dlg, int id, int start, int end) {
    return dlg::WithControl(dlg, id, [&](Control& c) {
        if (!c.IsEdit()) return false;
        const int len = static_cast<int>(c.text.size());
        if (end < 0 || end > len) end = len;
        c.selStart = std::clamp(start, 0, len);
        c.selEnd = end;
        return true;
    });
}

bool SetDlgItemImage(HDlg dlg, int id, uint16_t image) {
    return dlg::WithControl(dlg, id, [&](Control& c) {
        c.image = image;
        return true;
    });
}

bool ResetDlgList(HDlg dlg, int id) {
    return dlg::WithControl(dlg, id, [](Control& c) {
        if (!c.IsList()) return false;
        c.list.clear();
        c.listSel = -1;
        return true;
    });
}

int AddDlgListItem(HDlg dlg, int id, const char* text) {
    int index = -1;
    dlg::WithControl(dlg, id, [&](Control& c) {
        if (!c.IsList()) return false;
        c.list.emplace_back(text ? text : "");
        index = static_cast<int>(c.list.size()) - 1;
        return true;
    });
    return index;
}

bool SelectDlgListItem(HDlg dlg, int id, int index) {
    return dlg::WithControl(dlg, id, [&](Control& c) {
        if (!c.IsList() || index < -1 || index >= static_cast<int>(c.list.size())) return false;
        c.listSel = index;
        return true;
    });
}

int GetDlgListSelection(HDlg dlg, int id) {
    return dlg::ReadControl(dlg, id, -1, [](const Control& c) { return c.listSel; });
}

unsigned GetDlgListItemText(HDlg dlg, int id, int index, char* buf, int size) {
    if (buf && size > 0) buf[0] = '\0';
    return dlg::ReadControl(dlg, id, 0u, [&](const Control& c) {
        if (index < 0 || index >= static_cast<int>(c.list.size())) return 0u;
        return dlg::CopyText(c.list[index], buf, size);
    });
}

// ---- common dialogs -------------------------------------------------------------------

namespace {

std::vector<dlg::Host::FileFilter> ParseFilter(const char* filter) {
    std::vector<dlg::Host::FileFilter> out;
    if (!filter) return out;
    const char* p = filter;
    while (*p) {
        dlg::Host::FileFilter f;
        f.description = p;
        p += f.description.size() + 1;
        if (!*p) break;
        f.pattern = p;
        p += f.pattern.size() + 1;
        out.push_back(std::move(f));
    }
    return out;
}

dlg::Host* HostFor(HDlg owner, DialogRef* ref) {
    *ref = dlg::Find(owner);
    return *ref ? (*ref)->host : dlg::CurrentHost();
}

std::string BareName(const std::string& path) {
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool GetSaveFileNameA(SaveFileNameA* ofn) {
    if (!ofn || !ofn->file || ofn->fileSize == 0) return false;
    DialogRef owner;
    dlg::Host* host = HostFor(ofn->owner, &owner);
    if (!host) return false;
    const std::string title = ofn->title ? ofn->title : "Save As";
    const auto filters = ParseFilter(ofn->filter);
    const int filterIndex = ofn->filterIndex == 0 ? 1 : static_cast<int>(ofn->filterIndex);
    const bool mustExist = (ofn->flags & kOfnFileMustExist) != 0;
    const char* end = static_cast<const char*>(std::memchr(ofn->file, '\0', ofn->fileSize));
    std::string proposed(ofn->file, end ? static_cast<size_t>(end - ofn->file) : ofn->fileSize);
    for (;;) {
        std::string chosen;
        if (!host->PickFile(owner.get(), title, filters, filterIndex, proposed, mustExist,
                            &chosen) ||
            chosen.empty())
            return false;
        proposed = chosen;
        const bool exists = PathExists(chosen.c_str());
        if (mustExist && !exists) {
            const std::string text =
                chosen + "\nFile not found.\nCheck the file name and try again.";
            MessageBoxA(ofn->owner, text.c_str(), title.c_str(), kMbOk | kMbIconWarning);
            continue;
        }
        if ((ofn->flags & kOfnCreatePrompt) && !exists) {
            const std::string text = chosen + "\nThis file does not exist.\nCreate the file?";
            if (MessageBoxA(ofn->owner, text.c_str(), title.c_str(), kMbYesNo | kMbIconWarning) !=
                kIdYes)
                continue;
        }
        if ((ofn->flags & kOfnOverwritePrompt) && exists) {
            const std::string text = chosen + " already exists.\nDo you want to replace it?";
            if (MessageBoxA(ofn->owner, text.c_str(), title.c_str(), kMbYesNo | kMbIconWarning) !=
                kIdYes)
                continue;
        }
        // A path that does not fit is refused, as the system refuses a too small buffer.
        if (chosen.size() + 1 > ofn->fileSize) return false;
        const std::string bare = BareName(chosen);
        if (ofn->fileTitle && bare.size() + 1 > ofn->fileTitleSize) return false;
        std::memcpy(ofn->file, chosen.c_str(), chosen.size() + 1);
        if (ofn->fileTitle) std::memcpy(ofn->fileTitle, bare.c_str(), bare.size() + 1);
        return true;
    }
}

bool BrowseForFolderA(HDlg owner, const char* title, char* path, unsigned size) {
    if (!path || size == 0) return false;
    DialogRef ref;
    dlg::Host* host = HostFor(owner, &ref);
    if (!host) return false;
    std::string chosen;
    if (!host->PickFolder(ref.get(), title ? title : "", &chosen) || chosen.empty()) return false;
    if (chosen.size() + 1 > size) return false;
    std::memcpy(path, chosen.c_str(), chosen.size() + 1);
    return true;
}

}  // namespace kvp
