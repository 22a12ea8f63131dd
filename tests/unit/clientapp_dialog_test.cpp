// The desktop client's dialog procedure under the headless host: first start, stored
// settings, every command with its status text, the choosers, the name carry-over, the
// edits' limits, and bad settings and bad input reported with a box.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "client_dialog_fixture.h"
#include "kv/paths.h"
#include "kv/ui.h"

namespace {

using kvtest::ClientDialogTest;
using namespace kvcli;

// The names of the client key's values in the order the hive file lists them.
std::vector<std::string> StoredOrder(const std::string& hive) {
    std::vector<std::string> names;
    bool inKey = false;
    for (const std::string& line : kvtest::Lines(kvtest::ReadFile(hive))) {
        if (!line.empty() && line[0] == '[') inKey = line.find("TFTP Client]") != std::string::npos;
        if (inKey && !line.empty() && line[0] == '"')
            names.push_back(line.substr(1, line.find('"', 1) - 1));
    }
    return names;
}

TEST_F(ClientDialogTest, FirstStartCreatesTheKeyWithTheDefaults) {
    Open();
    EXPECT_EQ(ui_.Title(), "Korvane TFTP client v2.0");
    EXPECT_EQ(ui_.Text(kIdStatus), "Client ready.");
    EXPECT_EQ(ui_.Text(kIdGo), "&Go");
    EXPECT_EQ(ui_.Image(kIdIcon), kProgramIconId);
    EXPECT_EQ(ui_.Focused(), kIdServer);
    EXPECT_EQ(ui_.Checked(kIdUpload), 1u);
    EXPECT_EQ(ui_.Checked(kIdDownload), 0u);
    EXPECT_EQ(ui_.Checked(kIdText), 1u);
    EXPECT_EQ(ui_.Checked(kIdLogEnabled), 0u);
    EXPECT_EQ(ui_.Text(kIdLocalPath), cwd_);
    EXPECT_EQ(ui_.Text(kIdRemotePath), "");

    // The key exists at once, with the defaults, in the order of the table.
    EXPECT_EQ(KeyText("TFTPServer"), "");
    EXPECT_EQ(KeyFlag("Action"), 0);
    EXPECT_EQ(KeyFlag("TransferMode"), 0);
    EXPECT_EQ(KeyText("LocalPath"), cwd_);
    EXPECT_EQ(KeyText("RemotePath"), "");
    EXPECT_EQ(KeyFlag("LogEnable"), 0);
    EXPECT_EQ(KeyText("LogPath"), cwd_ + "/tftpclilog.txt");
    EXPECT_EQ(StoredOrder(HivePath()),
              (std::vector<std::string>{"TFTPServer", "Action", "TransferMode", "LocalPath",
                                        "RemotePath", "LogEnable", "LogPath"}));
    EXPECT_EQ(Close(), 1) << "the program then exits with status 1";
    EXPECT_EQ(env_.msgboxLog(), "");
}

TEST_F(ClientDialogTest, StoredSettingsAreShownAndOnlyGoStoresChanges) {
    PutText("TFTPServer", "tftp.example");
    PutFlag("Action", 1);
    PutFlag("TransferMode", 1);
    PutText("LocalPath", "/data/in.bin");
    PutText("RemotePath", "pub/in.bin");
    PutFlag("LogEnable", 2);
    PutText("LogPath", "/var/log/t.log");
    Open();
    EXPECT_EQ(ui_.Text(kIdServer), "tftp.example");
    EXPECT_EQ(ui_.Checked(kIdDownload), 1u);
    EXPECT_EQ(ui_.Checked(kIdBinary), 1u);
    EXPECT_EQ(ui_.Checked(kIdLogEnabled), 0u) << "checked exactly when the flag is 1";
    EXPECT_EQ(ui_.Text(kIdLocalPath), "/data/in.bin");
    EXPECT_EQ(ui_.Text(kIdRemotePath), "pub/in.bin");
    EXPECT_EQ(std::string(DialogSettings().LogPath), "/var/log/t.log");

    // Abandoned changes are not stored.
    ASSERT_TRUE(ui_.Type(kIdServer, "other"));
    ASSERT_TRUE(ui_.Click(kIdText));
    EXPECT_EQ(Close(), 1);
    EXPECT_EQ(KeyText("TFTPServer"), "tftp.example");
    EXPECT_EQ(KeyFlag("TransferMode"), 1);
}

TEST_F(ClientDialogTest, EveryCommandSetsItsStatus) {
    PutText("RemotePath", "r.bin");
    Open();
    ASSERT_TRUE(ui_.Click(kIdDownload));
    EXPECT_EQ(ui_.Text(kIdStatus), "Please select the remote file.");
    EXPECT_EQ(ui_.Focused(), kIdRemotePath);
    EXPECT_EQ(ui_.Selection(kIdRemotePath), std::make_pair(0, 5));
    EXPECT_EQ(DialogSettings().Action, 1);
    ASSERT_TRUE(ui_.Click(kIdUpload));
    EXPECT_EQ(ui_.Text(kIdStatus), "Please select the local file.");
    EXPECT_EQ(ui_.Focused(), kIdLocalPath);
    // Leaving the remote edit while downloading carried its name over first.
    const std::string carried = cwd_.substr(0, cwd_.rfind('/')) + "/r.bin";
    EXPECT_EQ(ui_.Text(kIdLocalPath), carried);
    EXPECT_EQ(ui_.Selection(kIdLocalPath), std::make_pair(0, static_cast<int>(carried.size())));
    EXPECT_EQ(DialogSettings().Action, 0);
    ASSERT_TRUE(ui_.Click(kIdBinary));
    EXPECT_EQ(ui_.Text(kIdStatus), "Binary (octet) transfer mode selected.");
    EXPECT_EQ(DialogSettings().TransferMode, 1);
    ASSERT_TRUE(ui_.Click(kIdText));
    EXPECT_EQ(ui_.Text(kIdStatus), "Text (netascii) transfer mode selected.");
    EXPECT_EQ(DialogSettings().TransferMode, 0);
    ASSERT_TRUE(ui_.Click(kIdLogEnabled));
    EXPECT_EQ(ui_.Text(kIdStatus), "Transfer logging enabled.");
    EXPECT_EQ(DialogSettings().LogEnable, 1);
    ASSERT_TRUE(ui_.Click(kIdLogEnabled));
    EXPECT_EQ(ui_.Text(kIdStatus), "Transfer logging disabled.");
    EXPECT_EQ(DialogSettings().LogEnable, 0);
    DialogSettings().LogPath[0] = '\0';
    ASSERT_TRUE(ui_.Click(kIdLogEnabled));
    EXPECT_EQ(ui_.Text(kIdStatus), "Please select a transfer log file.");

    // The log chooser: a new file is confirmed before it is taken; cancel changes nothing.
    const std::string log = env_.dir() + "/chosen.log";
    ui_.QueueFile(log);
    ui_.QueueBoxAnswer(kvp::kIdYes);
    ASSERT_TRUE(ui_.Click(kIdChooseLog));
    EXPECT_EQ(ui_.Text(kIdStatus), "Transfer log filename set.");
    EXPECT_EQ(std::string(DialogSettings().LogPath), log);
    EXPECT_EQ(ui_.LastFilters(),
              (std::vector<std::string>{"All files (*.*)", "Log files (*.log)"}));
    ASSERT_TRUE(ui_.Click(kIdChooseLog));
    EXPECT_EQ(ui_.Text(kIdStatus), "Transfer log filename set.") << "cancelled: unchanged";
    EXPECT_EQ(std::string(DialogSettings().LogPath), log);

    // The local chooser takes an existing file and names the remote file after it.
    const std::string local = env_.dir() + "/boot.img";
    kvtest::WriteFile(local, "image");
    ui_.QueueFile(local);
    ASSERT_TRUE(ui_.Click(kIdChooseLocal));
    EXPECT_EQ(ui_.Text(kIdStatus), "Local and remote filenames set.");
    EXPECT_EQ(ui_.Text(kIdLocalPath), local);
    EXPECT_EQ(ui_.Text(kIdRemotePath), "boot.img");
    EXPECT_EQ(ui_.LastFilters(),
              (std::vector<std::string>{"All files (*.*)", "Text files (*.txt)"}));
    EXPECT_EQ(ui_.PickerTitles(),
              (std::vector<std::string>{"Select a log file...", "Select a log file...",
                                        "Select the local file..."}));

    // The server edit: any change is taken, at most 63 characters.
    ASSERT_TRUE(ui_.Type(kIdServer, std::string(70, 's')));
    EXPECT_EQ(std::string(DialogSettings().TFTPServer), std::string(63, 's'));
    ASSERT_TRUE(ui_.Type(kIdLocalPath, std::string(300, 'l')));
    EXPECT_EQ(std::string(DialogSettings().LocalPath), std::string(259, 'l'));
    ASSERT_TRUE(ui_.Type(kIdRemotePath, std::string(300, 'r')));
    EXPECT_EQ(std::string(DialogSettings().RemotePath), std::string(259, 'r'));
}

TEST(ClientNameCarryOver, ReplacesTheLastPart) {
    char remote[kPathChars + 1] = "images/old.bin";
    EXPECT_TRUE(ReplaceLastPart(remote, kRemoteSeparators,
                                LastPart("C:\\data\\boot.img", kLocalSeparators)));
    EXPECT_STREQ(remote, "images/boot.img");
    char bare[kPathChars + 1] = "old.bin";
    EXPECT_TRUE(ReplaceLastPart(bare, kRemoteSeparators, "boot.img"));
    EXPECT_STREQ(bare, "boot.img");
    char local[kPathChars + 1] = "C:\\tmp\\x.bin";
    EXPECT_TRUE(
        ReplaceLastPart(local, kLocalSeparators, LastPart("pub/fw/fw2.bin", kRemoteSeparators)));
    EXPECT_STREQ(local, "C:\\tmp\\fw2.bin");
    // A result beyond a path's 260 characters is refused and leaves the target alone.
    std::string longDir(250, 'd');
    char full[kPathChars + 1];
    std::snprintf(full, sizeof full, "%s/x", longDir.c_str());
    EXPECT_FALSE(ReplaceLastPart(full, kRemoteSeparators, "a-name-of-twenty-chars"));
    EXPECT_EQ(std::string(full), longDir + "/x");
    EXPECT_TRUE(ReplaceLastPart(full, kRemoteSeparators, "123456789"));
    EXPECT_EQ(std::strlen(full), 260u);
}

TEST_F(ClientDialogTest, LeavingAPathCarriesTheFileNameOver) {
    PutText("RemotePath", "images/old.bin");
    Open();
    TypeAndLeave(kIdLocalPath, "C:\\data\\boot.img");
    EXPECT_EQ(ui_.Text(kIdRemotePath), "images/boot.img");
    TypeAndLeave(kIdLocalPath, "/srv/files/kernel.bin");
    EXPECT_EQ(ui_.Text(kIdRemotePath), "images/kernel.bin");
    EXPECT_EQ(std::string(DialogSettings().RemotePath), "images/kernel.bin");
    // Leaving the remote edit while uploading carries nothing.
    TypeAndLeave(kIdRemotePath, "pub/fw/fw2.bin");
    EXPECT_EQ(ui_.Text(kIdLocalPath), "/srv/files/kernel.bin");

    ASSERT_TRUE(ui_.Click(kIdDownload));
    TypeAndLeave(kIdLocalPath, "/tmp/x.bin");
    TypeAndLeave(kIdRemotePath, "pub/fw/fw2.bin");
    EXPECT_EQ(ui_.Text(kIdLocalPath), "/tmp/fw2.bin");
    TypeAndLeave(kIdLocalPath, "C:\\tmp\\x.bin");
    TypeAndLeave(kIdRemotePath, "pub/fw/fw3.bin");
    EXPECT_EQ(ui_.Text(kIdLocalPath), "C:\\tmp\\fw3.bin");

    // Too long for a path: nothing is carried and the status says so.
    const std::string longLocal = "/" + std::string(250, 'd') + "/x";
    TypeAndLeave(kIdLocalPath, longLocal);
    TypeAndLeave(kIdRemotePath, "a-name-of-twenty-chars");
    EXPECT_EQ(ui_.Text(kIdLocalPath), longLocal);
    EXPECT_EQ(ui_.Text(kIdStatus), "Path too long: the file name was not carried over.");
}

TEST_F(ClientDialogTest, AnUnreadableKeyIsReportedAndKept) {
    // The hive cannot be read: it is a directory.
    std::filesystem::create_directories(HivePath());
    Open();
    auto boxes = ui_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "TFTP client error");
    EXPECT_EQ(boxes[0].text, "Unable to read the client settings: Is a directory");
    EXPECT_EQ(ui_.Text(kIdLocalPath), cwd_) << "the defaults are shown";
    EXPECT_TRUE(std::filesystem::is_directory(HivePath())) << "and nothing replaced the hive";
}

TEST_F(ClientDialogTest, ValuesThatDoNotFitAreNamedAndKeepTheirDefaults) {
    PutValue("Action", kvp::kRegDword, std::string("\x01\0\0\0", 4));
    PutValue("TFTPServer", kvp::kRegBinary, "AB");
    PutText("LocalPath", std::string(300, 'p'));
    PutText("RemotePath", "kept.bin");
    PutValue("LogPath", kvp::kRegSz, "/no/terminator.log");
    const std::string before = kvtest::ReadFile(HivePath());
    Open();
    auto boxes = ui_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "These saved settings could not be used: TFTPServer, Action, LocalPath.\n"
              "Their defaults are shown instead.");
    EXPECT_EQ(boxes[0].flags, kvp::kMbOk | kvp::kMbIconWarning);
    EXPECT_EQ(ui_.Text(kIdServer), "");
    EXPECT_EQ(ui_.Checked(kIdUpload), 1u);
    EXPECT_EQ(ui_.Text(kIdLocalPath), cwd_);
    EXPECT_EQ(ui_.Text(kIdRemotePath), "kept.bin");
    EXPECT_EQ(std::string(DialogSettings().LogPath), "/no/terminator.log");
    EXPECT_EQ(kvtest::ReadFile(HivePath()), before) << "opening writes nothing";
}

TEST_F(ClientDialogTest, SetUpFailuresAreReportedAndLoseNothing) {
    Open();
    const std::string keep = env_.dir() + "/keep.bin";
    kvtest::WriteFile(keep, "precious");
    struct Case {
        const char* name;
        const char* server;
        int action;  // the radio button
        std::string local;
        std::string log;  // empty: logging off
        std::string box;
    };
    const Case cases[] = {
        {"server that does not resolve", "no-such-host.invalid", kIdDownload, keep, "",
         "Unable to resolve TFTP server: "},
        {"local file that cannot be read", "127.0.0.1", kIdUpload, env_.dir() + "/missing.bin", "",
         "Failed to open local file for reading: No such file or directory"},
        {"log that cannot be created", "127.0.0.1", kIdDownload, keep,
         env_.dir() + "/no/such/dir/t.log",
         "Failed to open log file for writing: No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ui_.ClearBoxes();
        ASSERT_TRUE(ui_.Type(kIdServer, c.server));
        ASSERT_TRUE(ui_.Click(c.action));
        ASSERT_TRUE(ui_.Type(kIdLocalPath, c.local));
        ASSERT_TRUE(ui_.Type(kIdRemotePath, "remote.bin"));
        if (!c.log.empty())
            std::snprintf(DialogSettings().LogPath, kPathChars + 1, "%s", c.log.c_str());
        if ((ui_.Checked(kIdLogEnabled) == 1u) != !c.log.empty()) {
            ASSERT_TRUE(ui_.Click(kIdLogEnabled));
        }
        ASSERT_TRUE(ui_.Click(kIdGo));
        ASSERT_TRUE(WaitComplete());
        auto boxes = ui_.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "TFTP client error");
        EXPECT_EQ(boxes[0].text.substr(0, c.box.size()), c.box);
        EXPECT_EQ(kvtest::ReadFile(keep), "precious");
        // The settings of the attempt were stored.
        EXPECT_EQ(KeyText("TFTPServer"), c.server);
    }
}

}  // namespace
