// The dialog manager under the headless host: a template's controls, the procedure's
// messages and where they run, keyboard navigation, cross-thread calls, timers, boxes
// and pickers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kv/dialog.h"
#include "kv/dialog_headless.h"
#include "kv/process.h"
#include "kv/time.h"
#include "kv/ui.h"
#include "test_support.h"

namespace {

using kvp::ControlClass;
using kvp::DialogItem;
using Key = kvp::HeadlessDialogs::Key;

constexpr int kEditA = 10, kEditB = 11, kRadio1 = 20, kRadio2 = 21, kRadio3 = 22, kCheck = 30,
              kPush = 40, kDefault = 41, kStatus = 50, kOther1 = 60, kOther2 = 61, kList = 70;
constexpr uint32_t kTab = kvp::kWsTabStop;

const DialogItem kItems[] = {
    {kEditA, ControlClass::kEdit, kvp::kWsBorder | kTab, 0, 5, 5, 80, 14, "first", 0},
    {kvp::kNoId, ControlClass::kButton, kvp::kBsGroupBox, 0, 5, 20, 100, 40, "&Frame", 0},
    {kRadio1, ControlClass::kButton, kvp::kBsAutoRadioButton | kvp::kWsGroup | kTab, 0, 10, 30, 40,
     10, "&One", 0},
    {kRadio2, ControlClass::kButton, kvp::kBsAutoRadioButton | kTab, 0, 10, 40, 40, 10, "T&wo", 0},
    {kRadio3, ControlClass::kButton, kvp::kBsAutoRadioButton | kTab, 0, 10, 50, 40, 10, "Three", 0},
    {kOther1, ControlClass::kButton, kvp::kBsAutoRadioButton | kvp::kWsGroup | kTab, 0, 60, 30, 40,
     10, "Alpha", 0},
    {kOther2, ControlClass::kButton, kvp::kBsAutoRadioButton | kTab, 0, 60, 40, 40, 10, "Beta", 0},
    {kCheck, ControlClass::kButton, kvp::kBsAutoCheckBox | kvp::kWsGroup | kTab, 0, 5, 65, 60, 10,
     "&Check", 0},
    {kEditB, ControlClass::kEdit, kvp::kWsBorder | kTab | kvp::kWsDisabled, 0, 5, 80, 80, 14,
     nullptr, 0},
    {kList, ControlClass::kComboBox, kvp::kCbsDropDownList | kTab, 0, 5, 95, 80, 40, nullptr, 0},
    {kPush, ControlClass::kButton, kvp::kBsPushButton | kTab, 0, 5, 110, 40, 14, "&Push", 0},
    {kDefault, ControlClass::kButton, kvp::kBsDefPushButton | kTab, 0, 50, 110, 40, 14, "&Default",
     0},
    {kStatus, ControlClass::kStatic, kvp::kSsSunken, 0, 5, 130, 100, 10, "ready", 0},
};

const kvp::DialogTemplate kTemplate = {77,
                                       kvp::kWsPopup | kvp::kWsCaption,
                                       120,
                                       145,
                                       "Test dialog",
                                       "MS Sans Serif",
                                       8,
                                       kItems,
                                       std::size(kItems)};

struct Message {
    uint32_t msg;
    int id;
    uint16_t code;
    bool onDialogThread;
};

// What the procedure saw; it answers WM_CLOSE only when told to.
struct Recorder {
    std::mutex mu;
    std::vector<Message> messages;
    std::thread::id dialogThread;
    bool answerClose = false;
    std::atomic<int> timers{0};

    std::vector<Message> Take() {
        std::lock_guard<std::mutex> hold(mu);
        return std::exchange(messages, {});
    }
    std::vector<std::pair<int, uint16_t>> Commands() {
        std::vector<std::pair<int, uint16_t>> out;
        for (const Message& m : Take())
            if (m.msg == kvp::kWmCommand) out.emplace_back(m.id, m.code);
        return out;
    }
};

Recorder* g_rec = nullptr;

intptr_t RecordingProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t) {
    Recorder& r = *g_rec;
    if (msg == kvp::kWmInitDialog) r.dialogThread = std::this_thread::get_id();
    if (msg == kvp::kWmTimer) {
        if (++r.timers == 3) kvp::KillTimer(dlg, wparam);
        return 1;
    }
    {
        std::lock_guard<std::mutex> hold(r.mu);
        r.messages.push_back({msg, kvp::LoWord(wparam), kvp::HiWord(wparam),
                              std::this_thread::get_id() == r.dialogThread});
    }
    if (msg == kvp::kWmCommand && kvp::LoWord(wparam) == kvp::kIdCancelCommand)
        kvp::EndDialog(dlg, 2);
    if (msg == kvp::kWmClose && r.answerClose) {
        kvp::EndDialog(dlg, 7);
        return 1;
    }
    return msg == kvp::kWmInitDialog ? 1 : 0;
}

class DialogCore : public ::testing::Test {
  protected:
    void SetUp() override {
        g_rec = &rec_;
        ui_.Run([] {
            return kvp::DialogBoxIndirectParamA(nullptr, kTemplate, nullptr, RecordingProc, 0);
        });
        ASSERT_TRUE(ui_.WaitOpen(77));
        ASSERT_TRUE(ui_.Settle());
    }
    void TearDown() override {
        if (ui_.Top()) kvp::EndDialog(ui_.Top(), 0);
        intptr_t r = 0;
        EXPECT_TRUE(ui_.WaitDone(&r));
        g_rec = nullptr;
    }

    kvtest::TestEnv env_;
    Recorder rec_;
    kvp::HeadlessDialogs ui_;
};

TEST_F(DialogCore, OpensWithTheTemplateAndFocusesTheFirstTabStop) {
    EXPECT_EQ(ui_.Title(), "Test dialog");
    EXPECT_EQ(ui_.Text(kStatus), "ready");
    EXPECT_EQ(ui_.Text(kEditA), "first");
    EXPECT_FALSE(ui_.Enabled(kEditB));
    EXPECT_TRUE(ui_.Enabled(kPush));
    // The first tab stop gets the focus with its text selected, and says so.
    EXPECT_EQ(ui_.Focused(), kEditA);
    EXPECT_EQ(ui_.Selection(kEditA), std::make_pair(0, 5));
    std::vector<Message> seen = rec_.Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].msg, kvp::kWmInitDialog);
    EXPECT_EQ(seen[1].msg, kvp::kWmCommand);
    EXPECT_EQ(seen[1].id, kEditA);
    EXPECT_EQ(seen[1].code, kvp::kEnSetFocus);
}

TEST_F(DialogCore, TabVisitsTabStopsAndARadioGroupOnce) {
    rec_.Take();
    std::vector<int> order;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(ui_.Press(Key::kTab));
        order.push_back(ui_.Focused());
    }
    // Frames, statics and disabled controls are passed over; each radio group is one
    // stop (its first button when none is checked); the order wraps.
    EXPECT_EQ(order, (std::vector<int>{kRadio1, kOther1, kCheck, kList, kPush, kDefault, kEditA,
                                       kRadio1}));
    ASSERT_TRUE(ui_.Click(kRadio3));
    ASSERT_TRUE(ui_.Focus(kEditA));
    ASSERT_TRUE(ui_.Press(Key::kTab));
    EXPECT_EQ(ui_.Focused(), kRadio3) << "the checked button of the group";
    ASSERT_TRUE(ui_.Press(Key::kShiftTab));
    EXPECT_EQ(ui_.Focused(), kEditA);
    ASSERT_TRUE(ui_.Press(Key::kShiftTab));
    EXPECT_EQ(ui_.Focused(), kDefault);
    // Leaving an edit reports it; the edit reached by Tab has its text selected.
    auto commands = rec_.Commands();
    EXPECT_NE(
        std::find(commands.begin(), commands.end(), std::make_pair(kEditA, kvp::kEnKillFocus)),
        commands.end());
}

TEST_F(DialogCore, ClicksCheckRadioGroupsAndToggleCheckBoxes) {
    rec_.Take();
    ASSERT_TRUE(ui_.Click(kOther2));
    ASSERT_TRUE(ui_.Click(kRadio2));
    ASSERT_TRUE(ui_.Click(kRadio1));
    EXPECT_EQ(ui_.Checked(kRadio1), 1u);
    EXPECT_EQ(ui_.Checked(kRadio2), 0u);
    EXPECT_EQ(ui_.Checked(kOther2), 1u) << "another group keeps its choice";
    ASSERT_TRUE(ui_.Click(kRadio1));
    EXPECT_EQ(ui_.Checked(kRadio1), 1u) << "a checked radio button stays checked";
    ASSERT_TRUE(ui_.Click(kCheck));
    EXPECT_EQ(ui_.Checked(kCheck), 1u);
    ASSERT_TRUE(ui_.Click(kCheck));
    EXPECT_EQ(ui_.Checked(kCheck), 0u);
    // Arrows move within the group and check as they go.
    ASSERT_TRUE(ui_.Focus(kRadio1));
    ASSERT_TRUE(ui_.Press(Key::kDown));
    EXPECT_EQ(ui_.Focused(), kRadio2);
    EXPECT_EQ(ui_.Checked(kRadio2), 1u);
    ASSERT_TRUE(ui_.Press(Key::kUp));
    ASSERT_TRUE(ui_.Press(Key::kUp));
    EXPECT_EQ(ui_.Focused(), kRadio3) << "wraps within the group";
    // A disabled control ignores the user.
    ASSERT_TRUE(kvp::EnableDlgItem(ui_.Top(), kCheck, false));
    rec_.Take();
    ASSERT_TRUE(ui_.Click(kCheck));
    EXPECT_EQ(ui_.Checked(kCheck), 0u);
    EXPECT_TRUE(rec_.Commands().empty());
}

TEST_F(DialogCore, EnterEscapeAndMnemonics) {
    rec_.Take();
    ASSERT_TRUE(ui_.Press(Key::kEnter));
    ASSERT_TRUE(ui_.Focus(kPush));
    rec_.Take();
    ASSERT_TRUE(ui_.Press(Key::kEnter));
    EXPECT_EQ(rec_.Commands(), (std::vector<std::pair<int, uint16_t>>{{kPush, kvp::kBnClicked}}))
        << "Enter presses the focused push button";
    ASSERT_TRUE(ui_.Focus(kCheck));
    rec_.Take();
    ASSERT_TRUE(ui_.Press(Key::kEnter));
    EXPECT_EQ(rec_.Commands(),
              (std::vector<std::pair<int, uint16_t>>{{kDefault, kvp::kBnClicked}}));
    ASSERT_TRUE(kvp::EnableDlgItem(ui_.Top(), kDefault, false));
    ASSERT_TRUE(ui_.Press(Key::kEnter));
    EXPECT_TRUE(rec_.Commands().empty()) << "a disabled default button does nothing";

    ASSERT_TRUE(ui_.Mnemonic('W'));
    EXPECT_EQ(ui_.Checked(kRadio2), 1u);
    EXPECT_EQ(ui_.Focused(), kRadio2);
    ASSERT_TRUE(ui_.Mnemonic('c'));
    EXPECT_EQ(ui_.Checked(kCheck), 1u);
    ASSERT_TRUE(ui_.Mnemonic('f'));
    EXPECT_EQ(ui_.Focused(), kRadio2) << "a frame's letter leads where Tab would go";
    rec_.Take();
    ASSERT_TRUE(ui_.Mnemonic('p'));
    EXPECT_EQ(rec_.Commands(), (std::vector<std::pair<int, uint16_t>>{{kPush, kvp::kBnClicked}}));

    // Escape is Cancel, which this procedure answers by ending the dialog.
    ASSERT_TRUE(ui_.Press(Key::kEscape));
    intptr_t r = 0;
    ASSERT_TRUE(ui_.WaitDone(&r));
    EXPECT_EQ(r, 2);
}

TEST_F(DialogCore, EditsReportChangesAndFocusFromAnyThread) {
    const kvp::HDlg dlg = ui_.Top();
    const std::string trace = env_.dir() + "/dialog.log";
    kvp::SetEnv("KVTFTP_DIALOG_LOG", trace.c_str());
    rec_.Take();
    ASSERT_TRUE(ui_.Type(kEditA, "typed"));
    ASSERT_TRUE(ui_.Focus(kPush));
    std::vector<Message> seen = rec_.Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].code, kvp::kEnChange);
    EXPECT_EQ(seen[1].code, kvp::kEnKillFocus);

    // A worker's calls take effect at once; their notifications run on the dialog thread.
    std::thread worker([&] {
        EXPECT_TRUE(kvp::SetDlgItemTextA(dlg, kEditA, "from a worker"));
        char buf[8];
        EXPECT_EQ(kvp::GetDlgItemTextA(dlg, kEditA, buf, sizeof buf), 7u);
        EXPECT_STREQ(buf, "from a ");
        EXPECT_TRUE(kvp::SetDlgItemFocus(dlg, kEditA));
        EXPECT_TRUE(kvp::PostMessageA(dlg, kvp::kWmApp + 1, 0, 0));
        EXPECT_TRUE(kvp::SetDlgItemTextA(dlg, kStatus, "worker status"));
    });
    worker.join();
    ASSERT_TRUE(ui_.Settle());
    EXPECT_EQ(ui_.Text(kStatus), "worker status");
    seen = rec_.Take();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].code, kvp::kEnChange);
    EXPECT_EQ(seen[1].code, kvp::kEnSetFocus);
    EXPECT_EQ(seen[2].msg, kvp::kWmApp + 1);
    for (const Message& m : seen) EXPECT_TRUE(m.onDialogThread);
    EXPECT_FALSE(kvp::SetDlgItemTextA(dlg, 9999, "nothing"));
    // Every change of a text, by the user or the program, reaches the dialog log.
    EXPECT_EQ(kvtest::ReadFile(trace),
              "77\t10\ttyped\n77\t10\tfrom a worker\n77\t50\tworker status\n");
    kvp::SetEnv("KVTFTP_DIALOG_LOG", "");
}

TEST_F(DialogCore, TimersListsAndTheCloseBox) {
    const kvp::HDlg dlg = ui_.Top();
    ASSERT_TRUE(kvp::SetTimer(dlg, 5, 10));
    ASSERT_TRUE(ui_.WaitFor([&] { return rec_.timers.load() >= 3; }));
    kvp::Sleep(50);
    EXPECT_EQ(rec_.timers.load(), 3) << "KillTimer ends it";

    EXPECT_EQ(kvp::AddDlgListItem(dlg, kList, "Kernel"), 0);
    EXPECT_EQ(kvp::AddDlgListItem(dlg, kList, "User"), 1);
    EXPECT_EQ(kvp::GetDlgListSelection(dlg, kList), -1);
    rec_.Take();
    ASSERT_TRUE(ui_.Choose(kList, 1));
    EXPECT_EQ(kvp::GetDlgListSelection(dlg, kList), 1);
    EXPECT_EQ(rec_.Commands(),
              (std::vector<std::pair<int, uint16_t>>{{kList, kvp::kCbnSelChange}}));
    char item[8];
    EXPECT_EQ(kvp::GetDlgListItemText(dlg, kList, 0, item, sizeof item), 6u);
    EXPECT_STREQ(item, "Kernel");
    EXPECT_FALSE(kvp::SelectDlgListItem(dlg, kList, 2));
    ASSERT_TRUE(kvp::ResetDlgList(dlg, kList));
    EXPECT_TRUE(ui_.List(kList).empty());
    EXPECT_EQ(kvp::GetDlgListSelection(dlg, kList), -1);

    // An unanswered close box is Cancel; this procedure ends on Cancel.
    ASSERT_TRUE(ui_.CloseBox());
    intptr_t r = 0;
    ASSERT_TRUE(ui_.WaitDone(&r));
    EXPECT_EQ(r, 2);
    EXPECT_FALSE(kvp::SetDlgItemTextA(dlg, kStatus, "ended")) << "an ended dialog refuses calls";
    EXPECT_FALSE(kvp::PostMessageA(dlg, kvp::kWmApp, 0, 0));
}

TEST_F(DialogCore, AnsweredCloseBoxEndsWithTheProceduresResult) {
    rec_.answerClose = true;
    ASSERT_TRUE(ui_.CloseBox());
    intptr_t r = 0;
    ASSERT_TRUE(ui_.WaitDone(&r));
    EXPECT_EQ(r, 7);
}

TEST_F(DialogCore, BoxesAndTheSaveFileDialog) {
    const kvp::HDlg dlg = ui_.Top();
    ui_.QueueBoxAnswer(kvp::kIdNo);
    EXPECT_EQ(kvp::MessageBoxA(dlg, "Sure?", "Question", kvp::kMbYesNo | kvp::kMbIconQuestion),
              kvp::kIdNo);
    EXPECT_EQ(kvp::MessageBoxA(nullptr, "Done", "Note", kvp::kMbOk), kvp::kIdOk);
    auto boxes = ui_.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Question");
    EXPECT_TRUE(boxes[0].owned);
    EXPECT_FALSE(boxes[1].owned);
    // Every box also reaches the box log.
    EXPECT_NE(env_.msgboxLog().find("Question\tSure?\t0x00000024"), std::string::npos);

    const std::string existing = env_.dir() + "/there.txt";
    kvtest::WriteFile(existing, "x");
    char file[64] = "proposed.txt";
    char title[16] = "";
    kvp::SaveFileNameA ofn;
    ofn.owner = dlg;
    ofn.filter = "All files (*.*)\0*.*\0Text files (*.txt)\0*.txt\0";
    ofn.file = file;
    ofn.fileSize = sizeof file;
    ofn.fileTitle = title;
    ofn.fileTitleSize = sizeof title;
    ofn.title = "Pick";
    ofn.flags = kvp::kOfnFileMustExist;
    // A missing file is refused with a box and the chooser asked again.
    ui_.ClearBoxes();
    ui_.QueueFile(env_.dir() + "/missing.txt");
    ui_.QueueFile(existing);
    ASSERT_TRUE(kvp::GetSaveFileNameA(&ofn));
    EXPECT_EQ(std::string(file), existing);
    EXPECT_STREQ(title, "there.txt");
    EXPECT_EQ(ui_.LastProposedFile(), env_.dir() + "/missing.txt");
    EXPECT_EQ(ui_.LastFilters(),
              (std::vector<std::string>{"All files (*.*)", "Text files (*.txt)"}));
    ASSERT_EQ(ui_.Boxes().size(), 1u);
    EXPECT_NE(ui_.Boxes()[0].text.find("File not found."), std::string::npos);

    // Asked before creating: No asks again, and a cancel keeps the buffers.
    ofn.flags = kvp::kOfnCreatePrompt;
    ui_.QueueFile(env_.dir() + "/new.log");
    ui_.QueueBoxAnswer(kvp::kIdNo);
    ui_.QueueFile(std::nullopt);
    EXPECT_FALSE(kvp::GetSaveFileNameA(&ofn));
    EXPECT_EQ(std::string(file), existing);
    // A path that does not fit is refused.
    ofn.flags = 0;
    ui_.QueueFile(env_.dir() + "/" + std::string(80, 'n'));
    EXPECT_FALSE(kvp::GetSaveFileNameA(&ofn));
    EXPECT_EQ(std::string(file), existing);
}

}  // namespace
