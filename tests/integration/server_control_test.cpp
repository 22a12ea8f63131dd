// Start, pause, resume and stop through the engine's exports.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "server_harness.h"

namespace srvtest {
namespace {

class ServerControlTest : public ServerTest {};

TEST_F(ServerControlTest, StopBeforeStartAndTwiceReturnsOne) {
    EXPECT_EQ(engine_.Stop(), 1u);
    StartServer();
    StopServer();
    EXPECT_EQ(engine_.Stop(), 1u);
}

TEST_F(ServerControlTest, PauseAndResumeWithoutListenerFail) {
    // Nothing to suspend: an error number, not success.
    EXPECT_NE(engine_.Pause(), 1u);
    EXPECT_NE(engine_.Resume(), 1u);
}

TEST_F(ServerControlTest, StartAgainAfterStopReloadsTheSettings) {
    kvtest::WriteFile(RootPath("f.txt"), "content");
    StartServer();
    // A second start while the listener runs changes nothing.
    EXPECT_EQ(engine_.Start(), 1u);
    {
        Peer peer;
        EXPECT_TRUE(Download(peer, env_.tftpPort(), "f.txt").ok);
    }
    StopServer();
    SetFlagValue("AllowDownloads", 0);
    StartServer();
    Peer peer;
    const TransferResult r = Download(peer, env_.tftpPort(), "f.txt");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.errorText, "All TFTP downloads have been disabled on this server.");
}

TEST_F(ServerControlTest, PausesAreCountedAndRequestsWaitForTheResume) {
    kvtest::WriteFile(RootPath("f.txt"), "served after the resume");
    StartServer();
    ASSERT_EQ(engine_.Pause(), 1u);
    ASSERT_EQ(engine_.Pause(), 1u);
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(1, "f.txt", "octet")));
    EXPECT_TRUE(peer.Silent(700));
    // One resume leaves the listener paused: two pauses need two resumes.
    ASSERT_EQ(engine_.Resume(), 1u);
    EXPECT_TRUE(peer.Silent(700));
    ASSERT_EQ(engine_.Resume(), 1u);
    // The request that waited in the socket's queue is served now.
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(Opcode(p), 3);
    EXPECT_EQ(p.substr(4), "served after the resume");
    peer.Reply(AckPacket(1));
}

TEST_F(ServerControlTest, RunningTransferCompletesWhilePausedAndAfterStop) {
    const std::string data = kvtest::PatternData(5000);
    kvtest::WriteFile(RootPath("f.bin"), data);
    StartServer();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(1, "f.bin", "octet")));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    std::string received = p.substr(4);
    ASSERT_EQ(engine_.Pause(), 1u);
    ASSERT_TRUE(peer.Reply(AckPacket(1)));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(Block(p), 2);
    received += p.substr(4);
    ASSERT_EQ(engine_.Resume(), 1u);
    StopServer();
    // The transfer goes on after the stop until it ends by itself.
    // (The stop takes a moment, so block 2 may come again meanwhile.)
    for (uint16_t block = 2;; ++block) {
        ASSERT_TRUE(peer.Reply(AckPacket(block)));
        if (p.size() < 516) break;
        do {
            ASSERT_TRUE(peer.Receive(&p));
        } while (Block(p) <= block);
        ASSERT_EQ(Block(p), block + 1);
        received += p.substr(4);
    }
    EXPECT_TRUE(received == data);
    EXPECT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 downloaded " + RootPath("f.bin") + "."));
}

// A restart with new settings (the host's answer to a parameter change) while a download
// runs: the new listener binds and serves at once, and the old transfer finishes on the
// settings it began with.
TEST_F(ServerControlTest, RestartDuringADownloadServesAtOnceAndKeepsTheOldSettings) {
    const std::string data = kvtest::PatternData(3000);
    kvtest::WriteFile(RootPath("old.bin"), data);
    const std::string newRoot = env_.dir() + "/newroot";
    std::filesystem::create_directories(newRoot);
    kvtest::WriteFile(newRoot + "/new.txt", "from the new root");
    SetDwordValue("Rexttimeout", 5000);
    StartServer();
    Peer old;
    ASSERT_TRUE(old.SendTo(env_.tftpPort(), RequestPacket(1, "old.bin", "octet")));
    std::string p;
    ASSERT_TRUE(old.Receive(&p));
    ASSERT_EQ(Block(p), 1);
    std::string received = p.substr(4);

    StopServer();
    SetStringValue("TFTPHome", newRoot);
    SetFlagValue("LogEventLogs", 0);
    StartServer();
    {
        Peer peer;
        const TransferResult r = Download(peer, env_.tftpPort(), "new.txt");
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.data, "from the new root");
    }
    for (uint16_t block = 1; p.size() == 516; ++block) {
        ASSERT_TRUE(old.Reply(AckPacket(block)));
        do {
            ASSERT_TRUE(old.Receive(&p));
        } while (Block(p) <= block);
        received += p.substr(4);
    }
    ASSERT_TRUE(old.Reply(AckPacket(Block(p))));
    EXPECT_TRUE(received == data);
    // Logged although the new settings switched the event log off: the old transfer
    // still runs on its own copy of the settings.
    EXPECT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 downloaded " + RootPath("old.bin") + "."));
    EXPECT_EQ(CountLines("ServeReadRequest: 127.0.0.1 downloaded " + newRoot + "/new.txt."), 0u);
}

TEST_F(ServerControlTest, StopOfAPausedServerTerminatesTheListener) {
    kvtest::WriteFile(RootPath("f.txt"), "after the restart");
    StartServer();
    ASSERT_EQ(engine_.Pause(), 1u);
    const auto begin = std::chrono::steady_clock::now();
    // The paused listener cannot see the shutdown event; it is ended after 10 seconds.
    EXPECT_EQ(engine_.Stop(), 1u);
    started_ = false;
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(9500));
    // Its socket was closed with it: a new start binds the port again.
    StartServer();
    Peer peer;
    const TransferResult r = Download(peer, env_.tftpPort(), "f.txt");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, "after the restart");
}

TEST_F(ServerControlTest, PortTakenIsReportedAndStartStillReturnsOne) {
    kvp::Socket holder(kvp::UdpSocket());
    ASSERT_EQ(kvp::Bind(holder.get(), Loopback(env_.tftpPort())), 0);
    ASSERT_EQ(engine_.Start(), 1u);
    started_ = true;
    // The listener reports and ends; the control functions go on working.
    const auto begin = std::chrono::steady_clock::now();
    while (env_.msgboxLog().find("StartTFTPServerThread: Failed to bind the socket: ") ==
               std::string::npos &&
           std::chrono::steady_clock::now() - begin < std::chrono::milliseconds(kPromptMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(env_.msgboxLog().find("StartTFTPServerThread: Failed to bind the socket: "),
              std::string::npos);
    EXPECT_NE(env_.msgboxLog().find("TFTP server error"), std::string::npos);
    EXPECT_NE(env_.debugLog().find("StartTFTPServerThread: Failed to bind the socket: "),
              std::string::npos);
    EXPECT_EQ(engine_.Stop(), 1u);
    started_ = false;
    holder.reset();
    StartServer();
}

}  // namespace
}  // namespace srvtest
