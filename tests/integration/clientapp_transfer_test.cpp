// The desktop client's dialog running real transfers on 127.0.0.1: against our own
// server engine in both directions, and against a scripted server to stop a transfer
// half-way and to change the settings while one runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "client_dialog_fixture.h"
#include "client_own_server.h"
#include "client_peer.h"
#include "kv/time.h"

namespace {

using kvtest::ClientDialogTest;
using namespace kvcli;
namespace fs = std::filesystem;

// What the process holds open: sockets, and the paths of its open files.
struct OpenFiles {
    int sockets = 0;
    std::vector<std::string> paths;
    bool Holds(const std::string& path) const {
        return std::find(paths.begin(), paths.end(), path) != paths.end();
    }
};

OpenFiles Descriptors() {
    OpenFiles out;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = fs::read_symlink(entry.path(), ec).string();
        if (ec) continue;
        if (target.rfind("socket:", 0) == 0) {
            ++out.sockets;
        } else {
            out.paths.push_back(target);
        }
    }
    return out;
}

using ClientDialogTransfer = ClientDialogTest;

TEST_F(ClientDialogTransfer, BothDirectionsAgainstOurServer) {
    if (kvtest::ServerEngineExports().lib == nullptr) GTEST_SKIP() << "kvtftptsv.so is not built";
    const std::string root = env_.dir() + "/root";
    fs::create_directories(root);
    ASSERT_TRUE(kvtest::SetServerText("TFTPHome", root));
    ASSERT_TRUE(kvtest::SetServerNumber("Rexttimeout", 200));
    ASSERT_TRUE(kvtest::StartOwnServer(env_.tftpPort()));
    Open();

    const std::string served = kvtest::PatternData(70000, 3);
    kvtest::WriteFile(root + "/served.bin", served);
    Start(kIdDownload, kIdBinary, env_.dir() + "/got.bin", "served.bin", true);
    ASSERT_TRUE(WaitComplete()) << env_.msgboxLog();
    EXPECT_TRUE(kvtest::ReadFile(env_.dir() + "/got.bin") == served);
    // The log is closed a moment after the status shows the end.
    EXPECT_TRUE(
        ui_.WaitFor([&] { return LogHas("CliWriteTransfer: 127.0.0.1 downloaded served.bin."); }));

    const std::string sent = kvtest::PatternData(1024, 5);
    kvtest::WriteFile(env_.dir() + "/up.bin", sent);
    Start(kIdUpload, kIdBinary, env_.dir() + "/up.bin", "up.bin", true);
    ASSERT_TRUE(WaitComplete()) << env_.msgboxLog();
    EXPECT_TRUE(kvtest::ReadFile(root + "/up.bin") == sent);
    EXPECT_TRUE(ui_.WaitFor([&] { return LogHas("CliReadTransfer: 127.0.0.1 uploaded up.bin."); }));
    EXPECT_EQ(env_.msgboxLog(), "");
    EXPECT_EQ(Close(), 1);
    kvtest::ServerEngineExports().stop();
    kvp::Sleep(800);
}

TEST_F(ClientDialogTransfer, GoDuringATransferAbortsItAndReleasesEverything) {
    Open();
    kvtest::ScriptedPeer peer(env_.tftpPort());
    const OpenFiles before = Descriptors();
    const std::string local = env_.dir() + "/partial.bin";
    Start(kIdDownload, kIdBinary, local, "slow.bin", true);
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    ASSERT_TRUE(peer.Send(kvtest::DataPacket(1, std::string(512, 'a'))));
    std::string ack;
    ASSERT_TRUE(peer.Recv(&ack));
    ASSERT_TRUE(ui_.WaitText(kIdGo, "Stop"));
    EXPECT_EQ(ui_.Text(kIdStatus), "Started TFTP request.");
    const OpenFiles during = Descriptors();
    EXPECT_TRUE(during.Holds(local));
    EXPECT_TRUE(during.Holds(LogPath()));
    EXPECT_EQ(during.sockets, before.sockets + 1);

    // The server falls silent; Go stops the transfer at once.
    ASSERT_TRUE(ui_.Click(kIdGo));
    EXPECT_EQ(ui_.Text(kIdStatus), "Transfer aborted.");
    EXPECT_EQ(ui_.Text(kIdGo), "&Go");
    const OpenFiles after = Descriptors();
    EXPECT_FALSE(after.Holds(local));
    EXPECT_FALSE(after.Holds(LogPath()));
    EXPECT_EQ(after.sockets, before.sockets);
    // The stopped worker writes nothing more: no log line, no status.
    const std::string log = kvtest::ReadFile(LogPath());
    kvp::Sleep(300);
    EXPECT_EQ(kvtest::ReadFile(LogPath()), log);
    EXPECT_EQ(ui_.Text(kIdStatus), "Transfer aborted.");
    EXPECT_EQ(kvtest::ReadFile(local), std::string(512, 'a'));

    // Pressed again, Go stores the settings and starts a new transfer.
    ASSERT_TRUE(ui_.Type(kIdRemotePath, "again.bin"));
    ASSERT_TRUE(ui_.Click(kIdGo));
    ASSERT_TRUE(peer.WaitRequest(&request));
    EXPECT_EQ(request, kvtest::RequestPacket(1, "again.bin", "octet"));
    EXPECT_EQ(KeyText("RemotePath"), "again.bin");
    ASSERT_TRUE(peer.Send(kvtest::DataPacket(1, "end")));
    ASSERT_TRUE(WaitComplete());
    EXPECT_EQ(kvtest::ReadFile(local), "end");
}

TEST_F(ClientDialogTransfer, EditsDuringATransferApplyToTheNextOne) {
    Open();
    kvtest::ScriptedPeer peer(env_.tftpPort());
    const std::string first = env_.dir() + "/first.bin";
    Start(kIdDownload, kIdBinary, first, "f.bin", false);
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    // While the worker waits, the user edits everything it reads.
    ASSERT_TRUE(ui_.Type(kIdLocalPath, env_.dir() + "/second.bin"));
    ASSERT_TRUE(ui_.Click(kIdText));
    ASSERT_TRUE(ui_.Click(kIdLogEnabled));
    ASSERT_TRUE(peer.Send(kvtest::DataPacket(1, "payload")));
    ASSERT_TRUE(WaitComplete());
    EXPECT_EQ(kvtest::ReadFile(first), "payload");
    EXPECT_FALSE(fs::exists(env_.dir() + "/second.bin"));
    EXPECT_FALSE(fs::exists(LogPath()));
    // Close stops a running worker before the dialog ends.
    ASSERT_TRUE(ui_.Click(kIdGo));
    ASSERT_TRUE(peer.WaitRequest(&request));
    EXPECT_EQ(request, kvtest::RequestPacket(1, "f.bin", "netascii"));
    EXPECT_EQ(Close(), 1);
    EXPECT_EQ(Descriptors().Holds(env_.dir() + "/second.bin"), false);
}

}  // namespace
