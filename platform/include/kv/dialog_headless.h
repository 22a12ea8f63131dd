// Dialogs without a display, for tests. While an instance lives, every dialog of the
// process runs under it: the procedures run as they would in a window, on the
// session's own dialog thread; a test acts as the user (clicks, types, moves the focus,
// presses keys), reads every control's state, and decides how message boxes and the
// file and folder pickers are answered. Every box is recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kv/dialog.h"

namespace kvp {

class HeadlessDialogs {
  public:
    // Installs the session as the dialog host and message box handler of the process.
    HeadlessDialogs();
    // Waits for the run started last (a test ends its dialogs first) and uninstalls.
    ~HeadlessDialogs();
    HeadlessDialogs(const HeadlessDialogs&) = delete;
    HeadlessDialogs& operator=(const HeadlessDialogs&) = delete;

    // Runs fn (usually a DialogBoxIndirectParamA call) on the session's dialog thread
    // and returns at once; one run at a time.
    void Run(std::function<intptr_t()> fn);
    // Waits until the run has returned; its result.
    bool WaitDone(intptr_t* result, uint32_t ms = 10000);
    // Waits until a dialog of the template is open; false after ms.
    bool WaitOpen(uint16_t templateId, uint32_t ms = 10000);
    // The dialog opened last that has not ended, or null.
    HDlg Top() const;

    // What a user does to the top dialog. Each returns once the dialog thread has done
    // it (or has entered a modal loop that it started); false when no dialog is open or
    // the control does not exist.
    enum class Key { kTab, kShiftTab, kEnter, kEscape, kUp, kDown, kLeft, kRight };
    bool Click(int id);
    bool Type(int id, const std::string& text);  // replaces the edit's text
    bool Focus(int id);                          // a mouse click into the control
    bool Press(Key key);
    bool Mnemonic(char letter);  // Alt and the letter
    bool Choose(int id, int index);
    bool CloseBox();  // the title bar's close box
    // Waits until the dialog thread has handled everything posted so far.
    bool Settle(uint32_t ms = 10000);

    // The state of the top dialog's controls.
    std::string Title() const;
    std::string Text(int id) const;
    unsigned Checked(int id) const;
    bool Enabled(int id) const;
    int Focused() const;
    std::pair<int, int> Selection(int id) const;
    uint16_t Image(int id) const;
    std::vector<std::string> List(int id) const;
    int ListSelection(int id) const;
    // Waits until cond holds (checked on every change and every few milliseconds).
    bool WaitFor(const std::function<bool()>& cond, uint32_t ms = 10000) const;
    bool WaitText(int id, const std::string& text, uint32_t ms = 10000) const;

    struct Box {
        std::string caption;
        std::string text;
        unsigned flags = 0;
        int answer = 0;
        bool owned = false;  // shown over a dialog
    };
    std::vector<Box> Boxes() const;
    void ClearBoxes();
    // The answers of the next boxes, in order; a box beyond them gets its default button.
    void QueueBoxAnswer(int answer);

    // The answers of the next pickers: a path, or nullopt for Cancel. A picker beyond
    // them is cancelled. The titles the pickers showed are kept.
    void QueueFile(std::optional<std::string> path);
    void QueueFolder(std::optional<std::string> path);
    std::vector<std::string> PickerTitles() const;
    // The proposed file name and filter descriptions of the last file picker.
    std::string LastProposedFile() const;
    std::vector<std::string> LastFilters() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kvp
