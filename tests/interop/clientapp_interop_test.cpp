// The desktop client's dialog against tftpd-hpa on 127.0.0.1: both directions, both
// modes, compared byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "client_dialog_fixture.h"
#include "interop_support.h"

namespace {

using namespace kvinterop;
using namespace kvcli;

using ClientDialogAgainstTftpdHpa = kvtest::ClientDialogTest;

TEST_F(ClientDialogAgainstTftpdHpa, TransfersBothWays) {
    if (!PeersConfigured()) GTEST_SKIP() << "KV_PEERS_DIR is not set";
    const std::string program = PeerProgram("in.tftpd");
    ASSERT_FALSE(program.empty());
    const std::string root = env_.dir() + "/root";
    std::filesystem::create_directories(root);
    Daemon server(TftpdHpaCommand(program, env_.tftpPort(), root), env_.dir() + "/server.log");
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(WaitForOwnTftpServer(server, env_.tftpPort())) << server.log();
    Open();

    const std::string data = kvtest::PatternData(200000, 11);
    kvtest::WriteFile(root + "/fw.bin", data);
    Start(kIdDownload, kIdBinary, env_.dir() + "/fw.bin", "fw.bin", true);
    ASSERT_TRUE(WaitComplete()) << env_.msgboxLog() << kvtest::ReadFile(LogPath());
    EXPECT_TRUE(kvtest::ReadFile(env_.dir() + "/fw.bin") == data);

    kvtest::WriteFile(env_.dir() + "/up.bin", data.substr(0, 65536));
    Start(kIdUpload, kIdBinary, env_.dir() + "/up.bin", "up.bin", true);
    ASSERT_TRUE(WaitComplete()) << env_.msgboxLog() << kvtest::ReadFile(LogPath());
    EXPECT_TRUE(kvtest::ReadFile(root + "/up.bin") == data.substr(0, 65536));

    // Netascii: the text arrives with CR LF line ends, and goes back as it was.
    const std::string text = TextData(5000, 4);
    kvtest::WriteFile(root + "/notes.txt", text);
    Start(kIdDownload, kIdText, env_.dir() + "/notes.txt", "notes.txt", false);
    ASSERT_TRUE(WaitComplete()) << env_.msgboxLog();
    EXPECT_TRUE(kvtest::ReadFile(env_.dir() + "/notes.txt") == ToNetascii(text));
    kvtest::WriteFile(env_.dir() + "/back.txt", text);
    Start(kIdUpload, kIdText, env_.dir() + "/back.txt", "back.txt", false);
    ASSERT_TRUE(WaitComplete()) << env_.msgboxLog();
    EXPECT_TRUE(kvtest::ReadFile(root + "/back.txt") == text);
    EXPECT_EQ(env_.msgboxLog(), "");
}

}  // namespace
