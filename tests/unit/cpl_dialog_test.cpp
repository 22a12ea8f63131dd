// The applet under the headless host, without a service: its entry's answers, the
// settings read, written, reset and applied, every command of the dialog with its
// status text, over-long and unusable values, and a key that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cpl_fixture.h"
#include "kv/cpl.h"
#include "kv/ui.h"

namespace {

using kvtest::CplDialogTest;
using namespace kvcpl;
namespace fs = std::filesystem;

constexpr const char* kSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KVTFTP";

bool SourceRegistered() {
    kvp::RegKey key;
    return kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kSourceKey, kvp::kKeyRead, key.out()) ==
           kvp::kErrorSuccess;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(CplEntry, AnswersTheControlPanel) {
    kvtest::TestEnv env;
    EXPECT_EQ(CPlApplet(nullptr, kvp::kCplInit, 0, 0), 1);
    EXPECT_EQ(CPlApplet(nullptr, kvp::kCplGetCount, 0, 0), 1);
    EXPECT_EQ(CPlApplet(nullptr, kvp::kCplGetCount, 0, 0), 1);
    kvp::CplInfo info{-1, -1, -1, -1};
    EXPECT_EQ(CPlApplet(nullptr, kvp::kCplInquire, 0, reinterpret_cast<intptr_t>(&info)), 0);
    EXPECT_EQ(info.idIcon, 101);
    EXPECT_EQ(info.idName, 116);
    EXPECT_EQ(info.idInfo, 117);
    EXPECT_EQ(info.lData, 0);
    // The newer inquiry is left to the older one: its record stays as it was.
    unsigned char record[64];
    std::fill(std::begin(record), std::end(record), 0xA5);
    EXPECT_EQ(CPlApplet(nullptr, kvp::kCplNewInquire, 0, reinterpret_cast<intptr_t>(record)), 0);
    EXPECT_TRUE(std::all_of(std::begin(record), std::end(record),
                            [](unsigned char c) { return c == 0xA5; }));
    EXPECT_EQ(CPlApplet(nullptr, kvp::kCplSelect, 0, 0), 0);
    EXPECT_EQ(CPlApplet(nullptr, kvp::kCplStop, 0, 0), 0);
    EXPECT_EQ(CPlApplet(nullptr, kvp::kCplExit, 0, 0), 0);

    // The built applet exports only its entry, and carries the name and description.
    kvcontrol::AppletLibrary lib(kvtest::BinDir() + "/KVTFTPCPL.CPL");
    ASSERT_NE(lib.entry(), nullptr);
    std::vector<kvp::CplInfo> applets;
    ASSERT_TRUE(kvcontrol::InquireApplets(lib.entry(), &applets));
    ASSERT_EQ(applets.size(), 1u);
    EXPECT_EQ(lib.String(applets[0].idName), "TFTP Server");
    EXPECT_EQ(lib.String(applets[0].idInfo), "Configures and manages the TFTP server service");
    EXPECT_EQ(lib.String(118), "");
}

TEST_F(CplDialogTest, WithoutTheKeyTheDefaultsAreShownAndWrittenAtOnce) {
    Open();
    EXPECT_EQ(ui_.Title(), "TFTP server configuration");
    EXPECT_EQ(ui_.Text(kIdRootDirectory), cwd_);
    for (int id : {kIdAllowUploads, kIdAllowDownloads, kIdAllowOverwrite, kIdSendBackErrors,
                   kIdLogEventLogs})
        EXPECT_EQ(ui_.Checked(id), 1u) << id;
    for (int id : {kIdClientRestrict, kIdLogSyslogs, kIdEnableLogging})
        EXPECT_EQ(ui_.Checked(id), 0u) << id;
    for (int id : {kIdAllowedClients, kIdSyslogHost, kIdFacility, kIdApply})
        EXPECT_FALSE(ui_.Enabled(id)) << id;
    EXPECT_EQ(ui_.Text(kIdSyslogHost), "loghost");
    ASSERT_EQ(ui_.List(kIdFacility).size(), 24u);
    EXPECT_EQ(ui_.List(kIdFacility)[23], "Level7");
    EXPECT_EQ(ui_.ListSelection(kIdFacility), 3);
    // The start-up display's pictures.
    EXPECT_EQ(ui_.Image(kIdStartStop), kIconStart);
    EXPECT_EQ(ui_.Image(kIdPauseResume), kIconPause);
    EXPECT_EQ(ui_.Image(kIdAbout), kIconApplet);
    EXPECT_EQ(ui_.Image(kIdEventViewer), kIconEventLog);

    EXPECT_EQ(KeyText("TFTPHome"), cwd_);
    EXPECT_EQ(KeyNumber("AllowUploads"), 1);
    EXPECT_EQ(KeyNumber("AllowOverwrite"), 1);
    EXPECT_EQ(KeyNumber("ClientRestrict"), 0);
    EXPECT_EQ(KeyText("AllowedClients"), "");
    EXPECT_EQ(KeyNumber("LogEventLogs"), 1);
    EXPECT_EQ(KeyNumber("LogSyslogs"), 0);
    EXPECT_EQ(KeyText("SyslogHost"), "loghost");
    EXPECT_EQ(KeyText("FacilityName"), "Daemon");
    EXPECT_EQ(KeyNumber("Retransmits"), 6);
    EXPECT_EQ(KeyNumber("Rexttimeout"), 5000);
    EXPECT_EQ(KeyText("Version"), "2.0");

    // No service is installed: the state reads as unknown, every service button stays
    // disabled, and the library says why with its own box.
    ASSERT_TRUE(ui_.WaitText(kIdStatus, "Service state unknown. An error has occurred."));
    EXPECT_FALSE(ui_.Enabled(kIdStartStop));
    EXPECT_FALSE(ui_.Enabled(kIdPauseResume));
    ASSERT_TRUE(ui_.WaitFor(
        [&] { return env_.msgboxLog().find("QueryStartupType") != std::string::npos; }));
    for (int id : {kIdStartAuto, kIdStartManual, kIdStartDisabled}) EXPECT_FALSE(ui_.Enabled(id));
    EXPECT_NE(env_.msgboxLog().find("Service open error\t"), std::string::npos);
    EXPECT_TRUE(ui_.Boxes().empty());
    CloseWith(kIdCancel);
}

TEST_F(CplDialogTest, StoredValuesShowWhatTheServerWillDo) {
    const std::string root = cwd_ + "/" + std::string(260 - cwd_.size() - 1, 'r');
    ASSERT_EQ(root.size(), 260u);
    std::string clients;
    while (clients.size() < 1010) clients += "10.0.0.100,";
    clients.resize(1024, '9');
    PutText("TFTPHome", root);
    PutFlag("AllowUploads", 1);
    PutFlag("AllowDownloads", 2);  // the server allows downloads for the byte 1 only
    PutFlag("AllowOverwrite", 2);  // and overwrites for any byte but 0
    PutFlag("ClientRestrict", 1);
    PutText("AllowedClients", clients);
    PutFlag("SendBackErrors", 0);
    PutFlag("LogSyslogs", 2);
    PutText("SyslogHost", std::string(63, 'h'));
    PutText("FacilityName", "level3");
    kvtest::SetMachineDword(kvtest::kServerKey, "Retransmits", 9);
    kvtest::SetMachineDword(kvtest::kServerKey, "Rexttimeout", 1234);
    Open();
    EXPECT_EQ(ui_.Text(kIdRootDirectory), root) << "260 characters, the server's width";
    EXPECT_EQ(ui_.Checked(kIdAllowUploads), 1u);
    EXPECT_EQ(ui_.Checked(kIdAllowDownloads), 0u);
    EXPECT_EQ(ui_.Checked(kIdAllowOverwrite), 1u);
    EXPECT_EQ(ui_.Checked(kIdClientRestrict), 1u);
    EXPECT_TRUE(ui_.Enabled(kIdAllowedClients));
    EXPECT_EQ(ui_.Text(kIdAllowedClients), clients);
    EXPECT_EQ(ui_.Checked(kIdSendBackErrors), 0u);
    EXPECT_EQ(ui_.Checked(kIdLogEventLogs), 0u) << "missing";
    EXPECT_EQ(ui_.Checked(kIdLogSyslogs), 0u);
    EXPECT_FALSE(ui_.Enabled(kIdSyslogHost));
    EXPECT_FALSE(ui_.Enabled(kIdFacility));
    EXPECT_EQ(ui_.Text(kIdSyslogHost), std::string(63, 'h'));
    EXPECT_EQ(ui_.List(kIdFacility)[ui_.ListSelection(kIdFacility)], "Level3");
    EXPECT_FALSE(ui_.Enabled(kIdApply));
    EXPECT_TRUE(ui_.Boxes().empty());

    // Apply writes everything back whole, the flags as the dialog shows them, and the
    // values the dialog has no control for as they were.
    ASSERT_TRUE(ui_.Click(kIdAllowUploads));
    EXPECT_TRUE(ui_.Enabled(kIdApply));
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_EQ(ui_.Text(kIdStatus), "Parameter change request sent.");
    EXPECT_FALSE(ui_.Enabled(kIdApply));
    EXPECT_EQ(KeyText("TFTPHome"), root);
    EXPECT_EQ(KeyText("AllowedClients"), clients);
    EXPECT_EQ(KeyText("SyslogHost"), std::string(63, 'h'));
    EXPECT_EQ(KeyText("FacilityName"), "Level3");
    EXPECT_EQ(KeyNumber("AllowUploads"), 0);
    EXPECT_EQ(KeyNumber("AllowDownloads"), 0);
    EXPECT_EQ(KeyNumber("AllowOverwrite"), 1);
    EXPECT_EQ(KeyNumber("LogSyslogs"), 0);
    EXPECT_EQ(KeyNumber("Retransmits"), 9);
    EXPECT_EQ(KeyNumber("Rexttimeout"), 1234);
    CloseWith(kIdCancel);
}

TEST_F(CplDialogTest, AFacilityWithoutMatchIsStoredAsDaemonAndUnusableValuesAreNamed) {
    PutText("FacilityName", "Nowhere");
    kvtest::SetMachineDword(kvtest::kServerKey, "TFTPHome", 7);
    PutText("SyslogHost", std::string(70, 'h'));
    Open();
    EXPECT_EQ(ui_.ListSelection(kIdFacility), -1);
    EXPECT_EQ(ui_.Text(kIdRootDirectory), cwd_);
    EXPECT_EQ(ui_.Text(kIdSyslogHost), "");
    const auto boxes = ui_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "These saved settings could not be used: TFTPHome, SyslogHost.\n"
              "The dialog shows its defaults for them.");
    EXPECT_TRUE(boxes[0].owned);
    ASSERT_TRUE(ui_.Click(kIdLogSyslogs));
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_FALSE(ui_.Enabled(kIdApply));
    EXPECT_EQ(KeyText("FacilityName"), "Daemon");
    EXPECT_EQ(KeyText("TFTPHome"), cwd_);
    CloseWith(kIdCancel);
}

TEST_F(CplDialogTest, TextsTheServerCannotTakeAreRefusedWithABoxAndNothingIsLost) {
    Open();
    struct Case {
        int id;
        size_t length;
        const char* value;
        std::string stored;
    };
    const Case cases[] = {
        {kIdRootDirectory, 261, "TFTPHome", cwd_},
        {kIdAllowedClients, 1025, "AllowedClients", ""},
        {kIdSyslogHost, 64, "SyslogHost", "loghost"},
    };
    ASSERT_TRUE(ui_.Click(kIdClientRestrict));
    ASSERT_TRUE(ui_.Click(kIdLogSyslogs));
    for (const Case& c : cases) {
        const std::string text(c.length, 'x');
        ASSERT_TRUE(ui_.Type(c.id, text));
        ui_.ClearBoxes();
        ASSERT_TRUE(ui_.Click(kIdOk));
        ASSERT_TRUE(ui_.Settle());
        ASSERT_NE(ui_.Top(), nullptr) << "the dialog stays open";
        const auto boxes = ui_.Boxes();
        ASSERT_EQ(boxes.size(), 1u) << c.value;
        EXPECT_NE(boxes[0].text.find(std::to_string(c.length) + " characters"), std::string::npos)
            << boxes[0].text;
        EXPECT_EQ(ui_.Text(c.id), text);
        EXPECT_EQ(ui_.Focused(), c.id);
        EXPECT_EQ(KeyText(c.value), c.stored);
        EXPECT_TRUE(ui_.Enabled(kIdOk));
        EXPECT_TRUE(ui_.Enabled(kIdCancel));
        EXPECT_TRUE(ui_.Enabled(kIdApply));
        EXPECT_EQ(KeyNumber("ClientRestrict"), 0) << "nothing at all was written";
        ASSERT_TRUE(ui_.Type(c.id, std::string(c.length - 1, 'y')));
    }
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_EQ(ui_.Text(kIdStatus), "Parameter change request sent.");
    EXPECT_EQ(KeyText("TFTPHome"), std::string(260, 'y'));
    EXPECT_EQ(KeyText("AllowedClients"), std::string(1024, 'y'));
    EXPECT_EQ(KeyText("SyslogHost"), std::string(63, 'y'));
    EXPECT_EQ(KeyNumber("ClientRestrict"), 1);
    CloseWith(kIdCancel);
}

TEST_F(CplDialogTest, UseDefaultsAsksFirstAndThenStoresAtOnce) {
    PutFlag("ClientRestrict", 1);
    PutText("AllowedClients", "10.0.0.1");
    PutFlag("AllowUploads", 0);
    Open();
    ui_.QueueBoxAnswer(kvp::kIdNo);
    ASSERT_TRUE(ui_.Click(kIdUseDefaults));
    auto boxes = ui_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Reset server settings");
    EXPECT_EQ(boxes[0].text,
              "This will reset all TFTP server settings to the default.\nWould you like to do "
              "this?");
    EXPECT_EQ(boxes[0].flags, kvp::kMbYesNo | kvp::kMbIconQuestion);
    EXPECT_TRUE(boxes[0].owned);
    EXPECT_TRUE(ui_.Enabled(kIdApply)) << "the click enabled it";
    EXPECT_EQ(ui_.Checked(kIdClientRestrict), 1u);
    EXPECT_EQ(KeyText("AllowedClients"), "10.0.0.1");

    ui_.QueueBoxAnswer(kvp::kIdYes);
    ASSERT_TRUE(ui_.Click(kIdUseDefaults));
    EXPECT_EQ(ui_.Text(kIdStatus), "Options reset. Press 'Apply' to save.");
    EXPECT_EQ(ui_.Checked(kIdClientRestrict), 0u);
    EXPECT_FALSE(ui_.Enabled(kIdAllowedClients));
    EXPECT_EQ(ui_.Text(kIdAllowedClients), "");
    EXPECT_EQ(ui_.Checked(kIdAllowUploads), 1u);
    EXPECT_EQ(KeyNumber("ClientRestrict"), 0);
    EXPECT_EQ(KeyText("AllowedClients"), "");
    EXPECT_EQ(KeyNumber("AllowUploads"), 1);
    CloseWith(kIdCancel);
}

TEST_F(CplDialogTest, ApplyRegistersOrRemovesTheEventSource) {
    Open();
    EXPECT_FALSE(SourceRegistered());
    ASSERT_TRUE(ui_.Click(kIdEnableLogging));
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_TRUE(SourceRegistered());
    ASSERT_TRUE(ui_.Click(kIdEnableLogging));
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_FALSE(SourceRegistered());
    // Without a source, removing it again is the library's "Remove event source key"
    // box, and the apply goes on.
    ASSERT_TRUE(ui_.Type(kIdRootDirectory, "/srv/tftp"));
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_EQ(Count(env_.msgboxLog(), "Remove event source key\t"), 1u);
    EXPECT_EQ(KeyText("TFTPHome"), "/srv/tftp");
    EXPECT_EQ(ui_.Text(kIdStatus), "Parameter change request sent.");
    CloseWith(kIdCancel);

    // Opened again, the check box shows the registration.
    kvtest::SetMachineDword(kSourceKey, "TypesSupported", 7);
    Open();
    EXPECT_EQ(ui_.Checked(kIdEnableLogging), 1u);
    CloseWith(kIdCancel);
}

TEST_F(CplDialogTest, EveryCommandDoesItsPart) {
    Open();
    // The two check boxes that enable their boxes.
    ASSERT_TRUE(ui_.Click(kIdClientRestrict));
    EXPECT_TRUE(ui_.Enabled(kIdAllowedClients));
    ASSERT_TRUE(ui_.Click(kIdClientRestrict));
    EXPECT_FALSE(ui_.Enabled(kIdAllowedClients));
    ASSERT_TRUE(ui_.Click(kIdLogSyslogs));
    EXPECT_TRUE(ui_.Enabled(kIdSyslogHost));
    EXPECT_TRUE(ui_.Enabled(kIdFacility));
    ASSERT_TRUE(ui_.Click(kIdLogSyslogs));
    EXPECT_FALSE(ui_.Enabled(kIdSyslogHost));
    EXPECT_FALSE(ui_.Enabled(kIdFacility));

    // The folder picker: a folder is taken, Cancel and a path the server cannot take
    // change nothing.
    ui_.QueueFolder(std::string("/srv/boot"));
    ASSERT_TRUE(ui_.Click(kIdBrowseRoot));
    EXPECT_EQ(ui_.Text(kIdRootDirectory), "/srv/boot");
    ui_.QueueFolder(std::nullopt);
    ASSERT_TRUE(ui_.Click(kIdBrowseRoot));
    ui_.QueueFolder("/" + std::string(300, 'd'));
    ASSERT_TRUE(ui_.Click(kIdBrowseRoot));
    EXPECT_EQ(ui_.Text(kIdRootDirectory), "/srv/boot");
    ASSERT_EQ(ui_.Boxes().size(), 1u);
    EXPECT_NE(ui_.Boxes()[0].text.find("301 characters"), std::string::npos);
    EXPECT_EQ(ui_.PickerTitles(), std::vector<std::string>(3, "Select the TFTP root..."));

    // Help: the help file is not part of the suite.
    ASSERT_TRUE(ui_.Click(kIdHelp));
    EXPECT_EQ(ui_.Text(kIdStatus), "The help file KVTFTPHLP.HLP could not be opened.");

    // The event viewer opens on a thread of its own (the dialog waits for it at its end).
    ASSERT_TRUE(ui_.Click(kIdEventViewer));

    // About: the product information over the dialog; Escape does not end it, OK does.
    ASSERT_TRUE(ui_.Click(kIdAbout));
    ASSERT_TRUE(ui_.WaitOpen(kDialogProduct));
    // Open before its procedure has filled it: the text comes with the opening.
    ASSERT_TRUE(ui_.Settle());
    EXPECT_EQ(ui_.Title(), "Product information");
    EXPECT_EQ(ui_.Text(kIdProductText).rfind("Korvane TFTP server\r\n\r\nVersion 2.0\r\n", 0), 0u);
    EXPECT_EQ(ui_.Image(kIdProductPicture), kBitmapProduct);
    ASSERT_TRUE(ui_.Press(kvp::HeadlessDialogs::Key::kEscape));
    EXPECT_TRUE(ui_.WaitOpen(kDialogProduct, 200));
    ASSERT_TRUE(ui_.CloseBox());
    ASSERT_TRUE(ui_.WaitOpen(kDialogServer));
    ASSERT_TRUE(ui_.Click(kIdAbout));
    ASSERT_TRUE(ui_.WaitOpen(kDialogProduct));
    ASSERT_TRUE(ui_.Settle());
    ASSERT_TRUE(ui_.Press(kvp::HeadlessDialogs::Key::kEnter));
    ASSERT_TRUE(ui_.WaitOpen(kDialogServer));

    // Cancel writes nothing of what was changed.
    CloseWith(kIdCancel);
    EXPECT_EQ(KeyText("TFTPHome"), cwd_);
    EXPECT_EQ(env_.msgboxLog().find("Failed to find the event viewer tool"), std::string::npos);
}

TEST_F(CplDialogTest, OkAppliesAndEndsCancelAndTheCloseBoxEndWithoutWriting) {
    Open();
    ASSERT_TRUE(ui_.Type(kIdRootDirectory, "/from/ok"));
    CloseWith(kIdOk);
    EXPECT_EQ(KeyText("TFTPHome"), "/from/ok");
    Open();
    EXPECT_EQ(ui_.Text(kIdRootDirectory), "/from/ok");
    ASSERT_TRUE(ui_.Type(kIdRootDirectory, "/from/close"));
    ASSERT_TRUE(ui_.CloseBox());
    intptr_t r = 0;
    ASSERT_TRUE(ui_.WaitDone(&r, 20000));
    EXPECT_EQ(KeyText("TFTPHome"), "/from/ok");
    Open();
    ASSERT_TRUE(ui_.Type(kIdRootDirectory, "/from/escape"));
    ASSERT_TRUE(ui_.Press(kvp::HeadlessDialogs::Key::kEscape));
    ASSERT_TRUE(ui_.WaitDone(&r, 20000));
    EXPECT_EQ(KeyText("TFTPHome"), "/from/ok");
}

TEST_F(CplDialogTest, ASettingsKeyThatCannotBeWrittenIsReportedAndTheServiceIsNotTold) {
    Open();
    // The hive can be read but no longer replaced.
    BlockHiveWrites();
    const std::string before = kvtest::ReadFile(HivePath());
    ASSERT_TRUE(ui_.Type(kIdRootDirectory, "/not/stored"));
    ui_.ClearBoxes();
    ASSERT_TRUE(ui_.Click(kIdOk));
    ASSERT_NE(ui_.Top(), nullptr) << "the dialog stays with what was entered";
    const auto boxes = ui_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind("The TFTP server settings could not be saved:\n", 0), 0u);
    EXPECT_EQ(boxes[0].flags, kvp::kMbOk | kvp::kMbIconError);
    EXPECT_EQ(ui_.Text(kIdStatus), "The settings were not saved.");
    EXPECT_EQ(ui_.Text(kIdRootDirectory), "/not/stored");
    EXPECT_TRUE(ui_.Enabled(kIdApply));
    EXPECT_TRUE(ui_.Enabled(kIdOk));
    EXPECT_EQ(kvtest::ReadFile(HivePath()), before);
    UnblockHiveWrites();
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_EQ(ui_.Text(kIdStatus), "Parameter change request sent.");
    EXPECT_EQ(KeyText("TFTPHome"), "/not/stored");
    CloseWith(kIdCancel);
}

}  // namespace
