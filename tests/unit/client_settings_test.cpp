// The client engine's settings, argument rules, log file and composed messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "client_engine.h"
#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "kvtftpclidll.h"
#include "test_support.h"

namespace {

using kvtest::ReadTextFile;
using kvtest::TestEnv;
using kvtest::WriteFile;

TEST(ClientSettings, ResetGivesTheDefaults) {
    TestEnv env;
    g_clientSettings.LogEnable = 1;
    g_clientSettings.Action = 1;
    g_clientSettings.TransferMode = 1;
    std::strcpy(g_clientSettings.TFTPServer, "somewhere");
    std::strcpy(g_clientSettings.RemotePath, "file");
    ResetClientSettings();

    char cwd[261];
    ASSERT_GT(kvp::GetCurrentDirectoryA(cwd, sizeof cwd), 0u);
    EXPECT_STREQ(g_clientSettings.TFTPServer, "");
    EXPECT_EQ(g_clientSettings.Action, 0);
    EXPECT_EQ(g_clientSettings.TransferMode, 0);
    EXPECT_STREQ(g_clientSettings.LocalPath, cwd);
    EXPECT_STREQ(g_clientSettings.RemotePath, "");
    EXPECT_EQ(g_clientSettings.LogEnable, 0);
    EXPECT_EQ(std::string(g_clientSettings.LogPath),
              std::string(cwd) + kvp::kPathSep + "tftpclilog.txt");
    EXPECT_EQ(g_clientSettings.InitialTimeoutMs, 5000);
    EXPECT_EQ(g_clientSettings.RetryLimit, 6);
}

TEST(ClientSettings, TextsAreCutToTheirFields) {
    char server[kServerNameChars + 1 + 8];
    std::memset(server, '#', sizeof server);
    const std::string seventy(70, 's');
    CopySetting(server, seventy.c_str(), kServerNameChars);
    EXPECT_EQ(std::string(server), seventy.substr(0, 64));
    // Nothing beyond the terminator is touched.
    for (size_t i = kServerNameChars + 1; i < sizeof server; ++i) EXPECT_EQ(server[i], '#');

    char path[kPathChars + 1];
    CopySetting(path, std::string(300, 'p').c_str(), kPathChars);
    EXPECT_EQ(std::strlen(path), 260u);
    CopySetting(path, nullptr, kPathChars);
    EXPECT_STREQ(path, "");
}

TEST(ClientInterface, RefusedArgumentsReturnZeroAndStartNothing) {
    TestEnv env;
    const std::string log = env.dir() + "/client.log";
    EXPECT_EQ(TFTPQueryStatus(), 0);
    EXPECT_EQ(TFTPTransfer("127.0.0.1", 2, 0, "a", "b", 0, log.c_str()), 0);
    EXPECT_EQ(TFTPTransfer("127.0.0.1", -1, 0, "a", "b", 0, log.c_str()), 0);
    EXPECT_EQ(TFTPTransfer("127.0.0.1", 1, -1, "a", "b", 0, log.c_str()), 0);
    EXPECT_EQ(TFTPTransfer("127.0.0.1", 1, 2, "a", "b", 0, log.c_str()), 0);
    EXPECT_EQ(TFTPTransfer("127.0.0.1", 1, 0, "a", "b", 2, log.c_str()), 0);
    EXPECT_EQ(TFTPTransfer("127.0.0.1", 1, 0, "a", "b", -1, log.c_str()), 0);
    EXPECT_EQ(TFTPTransfer("127.0.0.1", 1, 0, "a", "b", 1, nullptr), 0);
    EXPECT_EQ(TFTPQueryStatus(), 0);
    EXPECT_FALSE(kvp::PathExists(log.c_str()));
}

TEST(ClientLog, DateHasTheClassic24Characters) {
    TestEnv env;
    kvp::SetEnv("TZ", "UTC");
    // Monday 7 December 2026, 06:11:16: the day of the month keeps its leading zero.
    EXPECT_EQ(FormatLogDate(1796623876), "Mon Dec 07 06:11:16 2026");
    EXPECT_EQ(FormatLogDate(1767225600), "Thu Jan 01 00:00:00 2026");
    EXPECT_EQ(FormatLogDate(1796623876).size(), 24u);
}

class ClientLogFile : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetClientSettings();
        path_ = env_.dir() + "/client.log";
        std::strcpy(g_clientSettings.LogPath, path_.c_str());
    }
    TestEnv env_;
    std::string path_;
};

TEST_F(ClientLogFile, OffOpensAndCreatesNothing) {
    g_clientSettings.LogEnable = 0;
    EXPECT_EQ(OpenTransferLog(), nullptr);
    EXPECT_FALSE(kvp::PathExists(path_.c_str()));
}

TEST_F(ClientLogFile, HeaderAndLinesFollowOlderContent) {
    WriteFile(path_, "kept\n");
    g_clientSettings.LogEnable = 1;
    std::FILE* log = OpenTransferLog();
    ASSERT_NE(log, nullptr);
    LogClientEvent(log, "first");
    LogClientEventF(log, "RRQ for %s:%d for %s:%s.", "10.0.0.1", 1234, "f.txt", "octet");
    std::fclose(log);
    const std::string text = ReadTextFile(path_);
    const std::string prefix = "kept\n**** Korvane TFTP client log started on ";
    ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
    const std::string rest = text.substr(prefix.size());
    ASSERT_GT(rest.size(), 25u);
    EXPECT_EQ(rest[24], '\n');
    EXPECT_EQ(rest.substr(25), "first\nRRQ for 10.0.0.1:1234 for f.txt:octet.\n");
    EXPECT_EQ(env_.msgboxLog(), "");
}

TEST_F(ClientLogFile, NothingIsWrittenWithoutAnOpenLog) {
    g_clientSettings.LogEnable = 1;
    LogClientEvent(nullptr, "lost");  // must simply do nothing
    EXPECT_FALSE(kvp::PathExists(path_.c_str()));
}

TEST_F(ClientLogFile, OpenFailureIsReported) {
    const std::string missing = env_.dir() + "/missing/client.log";
    // The system's own text for this failure ("No such file or directory" on Linux).
    ASSERT_EQ(std::fopen(missing.c_str(), "a"), nullptr);
    const std::string sys = kvp::SystemErrorText(kvp::LastSystemError());
    std::strcpy(g_clientSettings.LogPath, missing.c_str());
    g_clientSettings.LogEnable = 1;
    EXPECT_EQ(OpenTransferLog(), nullptr);
    const std::string msg = "Failed to open log file for writing: " + sys;
    EXPECT_EQ(env_.msgboxLog(), "TFTP client error\t" + msg + "\t0x00000010\n");
    // The same text goes to the debugger output as a line of its own.
    const std::string debug = env_.debugLog();
    EXPECT_EQ(debug.compare(0, msg.size() + 1, msg + "\n"), 0) << debug;
}

TEST(ClientMessages, ReceivedErrorLineIsBounded) {
    char line[1200];
    ComposeReceivedError(line, sizeof line, "CliWriteTransfer", "a.txt", 2, "");
    EXPECT_STREQ(line,
                 "CliWriteTransfer: Error received during transfer of a.txt. Error code 02 (The "
                 "file could not be accessed.).");
    ComposeReceivedError(line, sizeof line, "CliReadTransfer", "a.txt", 300, "why");
    EXPECT_STREQ(line,
                 "CliReadTransfer: Error received during transfer of a.txt. Error code 300 "
                 "(Unknown RFC-compliant TFTP error.). Details: why");

    // A long server text in a small buffer is cut, terminated, and nothing past the
    // buffer is written.
    char small[100 + 16];
    std::memset(small, '#', sizeof small);
    ComposeReceivedError(small, 100, "CliWriteTransfer", std::string(260, 'n'), 1,
                         std::string(511, 'x'));
    EXPECT_EQ(std::strlen(small), 99u);
    for (size_t i = 100; i < sizeof small; ++i) EXPECT_EQ(small[i], '#');
}

TEST(ClientMessages, ReportsCarryTheErrorText) {
    TestEnv env;
    kvp::SetLastSocketError(0);
    kvp::SetLastSystemError(2);
    ReportClientError("Failed to open local file for reading");
    EXPECT_EQ(env.msgboxLog(), "TFTP client error\tFailed to open local file for reading: " +
                                   kvp::SystemErrorText(2) + "\t0x00000010\n");
    // A message longer than the box's buffer is cut, never overrun.
    WriteFile(env.dir() + "/msgbox.log", "");
    ReportClientSocketError(std::string(5000, 'm').c_str());
    const std::string box = env.msgboxLog();
    EXPECT_EQ(box.compare(0, 30, "TFTP client error\tmmmmmmmmmmmm"), 0);
    EXPECT_LT(box.size(), 1100u);
}

}  // namespace
