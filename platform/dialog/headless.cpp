// The headless host: dialogs as data, driven by a test.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>

#include "dialog_core.h"
#include "kv/dialog_headless.h"
#include "kv/ui.h"

namespace kvp {

using dlg::Control;
using dlg::DialogRef;

namespace {

constexpr uint32_t kActionLimitMs = 10000;

// An action handed to the dialog thread, done when it returned or started a modal loop.
struct Pending {
    bool done = false;
};

}  // namespace

struct HeadlessDialogs::Impl final : dlg::Host, MessageBoxHandler {
    mutable std::mutex mu;
    mutable std::condition_variable changed;  // observers and the dialog thread's waits
    bool woken = false;
    uint64_t generation = 0;  // counts every change, for observers

    std::thread thread;
    std::thread::id threadId;
    bool runDone = true;
    intptr_t runResult = 0;

    std::vector<HDlg> open;  // oldest first
    std::vector<std::shared_ptr<Pending>> inFlight;

    std::vector<Box> boxes;
    std::deque<int> answers;
    std::deque<std::optional<std::string>> files;
    std::deque<std::optional<std::string>> folders;
    std::vector<std::string> pickerTitles;
    std::string lastProposed;
    std::vector<std::string> lastFilters;

    MessageBoxHandler* previousHandler = nullptr;

    void Touch() {
        ++generation;
        changed.notify_all();
    }

    // ---- host ----
    bool Open(dlg::Dialog& d) override {
        std::lock_guard<std::mutex> hold(mu);
        open.push_back(d.handle());
        // The action that opened a modal dialog is as done as it will be for a while.
        for (auto& p : inFlight) p->done = true;
        inFlight.clear();
        Touch();
        return true;
    }
    void Show(dlg::Dialog&) override {}
    void Close(dlg::Dialog& d) override {
        std::lock_guard<std::mutex> hold(mu);
        open.erase(std::remove(open.begin(), open.end(), d.handle()), open.end());
        Touch();
    }
    void Sync(dlg::Dialog& d) override {
        {
            std::lock_guard<std::mutex> hold(d.mu);
            for (Control& c : d.controls) c.dirty = false;
            d.titleDirty = d.focusDirty = false;
        }
        std::lock_guard<std::mutex> hold(mu);
        Touch();
    }
    void Wake() override {
        std::lock_guard<std::mutex> hold(mu);
        woken = true;
        Touch();
    }
    void Wait(int ms) override {
        std::unique_lock<std::mutex> hold(mu);
        auto ready = [&] { return woken; };
        if (ms < 0) {
            changed.wait(hold, ready);
        } else {
            changed.wait_for(hold, std::chrono::milliseconds(ms), ready);
        }
        woken = false;
    }
    bool PickFile(dlg::Dialog*, const std::string& title, const std::vector<FileFilter>& filters,
                  int, const std::string& proposed, bool, std::string* chosen) override {
        std::lock_guard<std::mutex> hold(mu);
        pickerTitles.push_back(title);
        lastProposed = proposed;
        lastFilters.clear();
        for (const FileFilter& f : filters) lastFilters.push_back(f.description);
        if (files.empty()) return false;
        std::optional<std::string> answer = files.front();
        files.pop_front();
        if (!answer) return false;
        *chosen = *answer;
        return true;
    }
    bool PickFolder(dlg::Dialog*, const std::string& title, std::string* chosen) override {
        std::lock_guard<std::mutex> hold(mu);
        pickerTitles.push_back(title);
        if (folders.empty()) return false;
        std::optional<std::string> answer = folders.front();
        folders.pop_front();
        if (!answer) return false;
        *chosen = *answer;
        return true;
    }

    // ---- boxes ----
    int Show(void* owner, const char* text, const char* caption, unsigned flags) override {
        std::lock_guard<std::mutex> hold(mu);
        Box b;
        b.caption = caption ? caption : "";
        b.text = text ? text : "";
        b.flags = flags;
        b.owned = owner != nullptr;
        if (!answers.empty()) {
            b.answer = answers.front();
            answers.pop_front();
        } else {
            b.answer = MessageBoxDefaultButton(flags);
        }
        boxes.push_back(b);
        Touch();
        return b.answer;
    }

    // ---- the test's side ----
    HDlg TopHandle() const {
        std::lock_guard<std::mutex> hold(mu);
        return open.empty() ? nullptr : open.back();
    }

    // Runs f on the dialog thread for the top dialog and waits until it is done.
    bool Act(const std::function<void(const DialogRef&)>& f) {
        DialogRef d = dlg::Find(TopHandle());
        if (!d) return false;
        auto pending = std::make_shared<Pending>();
        {
            std::lock_guard<std::mutex> hold(mu);
            inFlight.push_back(pending);
        }
        dlg::PostWork(threadId, this, [this, d, f, pending] {
            f(d);
            std::lock_guard<std::mutex> hold(mu);
            pending->done = true;
            inFlight.erase(std::remove(inFlight.begin(), inFlight.end(), pending), inFlight.end());
            Touch();
        });
        std::unique_lock<std::mutex> hold(mu);
        return changed.wait_for(hold, std::chrono::milliseconds(kActionLimitMs),
                                [&] { return pending->done; });
    }

    bool ActOn(int id, const std::function<void(const DialogRef&, int)>& f) {
        DialogRef d = dlg::Find(TopHandle());
        if (!d || d->IndexOf(id) < 0) return false;
        return Act([&](const DialogRef& dd) { f(dd, dd->IndexOf(id)); });
    }

    template <class T, class F>
    T Read(int id, T fallback, F f) const {
        DialogRef d = dlg::Find(TopHandle());
        if (!d) return fallback;
        std::lock_guard<std::mutex> hold(d->mu);
        const int i = d->IndexOf(id);
        return i < 0 ? fallback : f(d->controls[i]);
    }
};

HeadlessDialogs::HeadlessDialogs() : impl_(std::make_unique<Impl>()) {
    dlg::InstallHost(impl_.get());
    impl_->previousHandler = SetMessageBoxHandler(impl_.get());
}

HeadlessDialogs::~HeadlessDialogs() {
    // A test that failed half-way may leave dialogs open: end them so the run returns.
    for (int round = 0; round < 1000; ++round) {
        {
            std::lock_guard<std::mutex> hold(impl_->mu);
            if (impl_->runDone) break;
        }
        for (const DialogRef& d : dlg::LiveDialogs())
            if (d->host == impl_.get()) EndDialog(d->handle(), 0);
        std::unique_lock<std::mutex> hold(impl_->mu);
        impl_->changed.wait_for(hold, std::chrono::milliseconds(10));
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    SetMessageBoxHandler(impl_->previousHandler);
    dlg::InstallHost(nullptr);
}

void HeadlessDialogs::Run(std::function<intptr_t()> fn) {
    if (impl_->thread.joinable()) impl_->thread.join();
    {
        std::lock_guard<std::mutex> hold(impl_->mu);
        impl_->runDone = false;
    }
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl, fn = std::move(fn)] {
        const intptr_t r = fn();
        std::lock_guard<std::mutex> hold(impl->mu);
        impl->runResult = r;
        impl->runDone = true;
        impl->Touch();
    });
    impl_->threadId = impl_->thread.get_id();
}

bool HeadlessDialogs::WaitDone(intptr_t* result, uint32_t ms) {
    std::unique_lock<std::mutex> hold(impl_->mu);
    if (!impl_->changed.wait_for(hold, std::chrono::milliseconds(ms),
                                 [&] { return impl_->runDone; }))
        return false;
    if (result) *result = impl_->runResult;
    return true;
}

bool HeadlessDialogs::WaitOpen(uint16_t templateId, uint32_t ms) {
    return WaitFor(
        [&] {
            DialogRef d = dlg::Find(Top());
            return d && d->tmpl->resourceId == templateId;
        },
        ms);
}

HDlg HeadlessDialogs::Top() const {
    return impl_->TopHandle();
}

bool HeadlessDialogs::Click(int id) {
    return impl_->ActOn(id, [](const DialogRef& d, int i) { dlg::UserClick(d, i); });
}

bool HeadlessDialogs::Type(int id, const std::string& text) {
    return impl_->ActOn(id, [&](const DialogRef& d, int i) { dlg::UserType(d, i, text); });
}

bool HeadlessDialogs::Focus(int id) {
    return impl_->ActOn(id, [](const DialogRef& d, int i) { dlg::UserFocus(d, i, false); });
}

bool HeadlessDialogs::Press(Key key) {
    return impl_->Act([key](const DialogRef& d) { dlg::UserKey(d, static_cast<dlg::Key>(key)); });
}

bool HeadlessDialogs::Mnemonic(char letter) {
    return impl_->Act([letter](const DialogRef& d) { dlg::UserMnemonic(d, letter); });
}

bool HeadlessDialogs::Choose(int id, int index) {
    return impl_->ActOn(id,
                        [index](const DialogRef& d, int i) { dlg::UserSelectList(d, i, index); });
}

bool HeadlessDialogs::CloseBox() {
    return impl_->Act([](const DialogRef& d) { dlg::UserClose(d); });
}

bool HeadlessDialogs::Settle(uint32_t ms) {
    (void)ms;
    return impl_->Act([](const DialogRef&) {});
}

std::string HeadlessDialogs::Title() const {
    DialogRef d = dlg::Find(Top());
    if (!d) return "";
    std::lock_guard<std::mutex> hold(d->mu);
    return d->title;
}

std::string HeadlessDialogs::Text(int id) const {
    return impl_->Read(id, std::string(), [](const Control& c) { return c.text; });
}

unsigned HeadlessDialogs::Checked(int id) const {
    return impl_->Read(id, 0u, [](const Control& c) { return c.check; });
}

bool HeadlessDialogs::Enabled(int id) const {
    return impl_->Read(id, false, [](const Control& c) { return c.enabled; });
}

int HeadlessDialogs::Focused() const {
    return GetDlgFocusId(Top());
}

std::pair<int, int> HeadlessDialogs::Selection(int id) const {
    return impl_->Read(id, std::pair<int, int>(0, 0),
                       [](const Control& c) { return std::pair<int, int>(c.selStart, c.selEnd); });
}

uint16_t HeadlessDialogs::Image(int id) const {
    return impl_->Read(id, uint16_t{0}, [](const Control& c) { return c.image; });
}

std::vector<std::string> HeadlessDialogs::List(int id) const {
    return impl_->Read(id, std::vector<std::string>(), [](const Control& c) { return c.list; });
}

int HeadlessDialogs::ListSelection(int id) const {
    return impl_->Read(id, -1, [](const Control& c) { return c.listSel; });
}

bool HeadlessDialogs::WaitFor(const std::function<bool()>& cond, uint32_t ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Workers change controls without waking anyone here: look again soon.
        std::unique_lock<std::mutex> hold(impl_->mu);
        impl_->changed.wait_for(hold, std::chrono::milliseconds(5));
    }
}

bool HeadlessDialogs::WaitText(int id, const std::string& text, uint32_t ms) const {
    return WaitFor([&] { return Text(id) == text; }, ms);
}

std::vector<HeadlessDialogs::Box> HeadlessDialogs::Boxes() const {
    std::lock_guard<std::mutex> hold(impl_->mu);
    return impl_->boxes;
}

void HeadlessDialogs::ClearBoxes() {
    std::lock_guard<std::mutex> hold(impl_->mu);
    impl_->boxes.clear();
}

void HeadlessDialogs::QueueBoxAnswer(int answer) {
    std::lock_guard<std::mutex> hold(impl_->mu);
    impl_->answers.push_back(answer);
}

void HeadlessDialogs::QueueFile(std::optional<std::string> path) {
    std::lock_guard<std::mutex> hold(impl_->mu);
    impl_->files.push_back(std::move(path));
}

void HeadlessDialogs::QueueFolder(std::optional<std::string> path) {
    std::lock_guard<std::mutex> hold(impl_->mu);
    impl_->folders.push_back(std::move(path));
}

std::vector<std::string> HeadlessDialogs::PickerTitles() const {
    std::lock_guard<std::mutex> hold(impl_->mu);
    return impl_->pickerTitles;
}

std::string HeadlessDialogs::LastProposedFile() const {
    std::lock_guard<std::mutex> hold(impl_->mu);
    return impl_->lastProposed;
}

std::vector<std::string> HeadlessDialogs::LastFilters() const {
    std::lock_guard<std::mutex> hold(impl_->mu);
    return impl_->lastFilters;
}

}  // namespace kvp
