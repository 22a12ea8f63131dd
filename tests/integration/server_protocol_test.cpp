// The transfer loops and the listener against a client that misbehaves on purpose:
// duplicates, silence, blocks out of order, errors, short, unknown and oversized packets.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server_harness.h"

namespace srvtest {
namespace {

class ServerProtocolTest : public ServerTest {
  protected:
    // Sends the request and takes the first packet of the answer.
    std::string Begin(Peer& peer, uint16_t op, const std::string& name) {
        EXPECT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(op, name, "octet")));
        std::string p;
        EXPECT_TRUE(peer.Receive(&p));
        return p;
    }
};

// ---- downloads ----

TEST_F(ServerProtocolTest, SilentClientGetsTheFirstBlockSixTimesAtMost) {
    SetDwordValue("Rexttimeout", 100);
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(2000));
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(1, "f.bin", "octet")));
    const std::string path = RootPath("f.bin");
    ASSERT_TRUE(
        WaitForLine("ServeReadRequest: Timeout exceeded during transfer of " + path + ".", mark));
    int copies = 0;
    std::string p;
    while (peer.Receive(&p, 300)) {
        EXPECT_EQ(Opcode(p), 3);
        EXPECT_EQ(Block(p), 1);
        ++copies;
    }
    // Before any answer: one send and five retransmissions, though the default
    // "Retransmits" of 6 would allow seven for a client that has answered.
    EXPECT_EQ(copies, 6);
    const std::string failed = "ServeReadRequest: 127.0.0.1 failed to download " + path + ".";
    EXPECT_TRUE(WaitForLine(failed, mark));
    // The failure line is also copied to the debugger output.
    EXPECT_NE(env_.debugLog().find(failed), std::string::npos);
}

TEST_F(ServerProtocolTest, RetransmitsFollowTheRetryLimit) {
    SetDwordValue("Rexttimeout", 100);
    SetDwordValue("Retransmits", 0);
    kvtest::WriteFile(RootPath("f.bin"), "short");
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(1, "f.bin", "octet")));
    ASSERT_TRUE(WaitForLineStarting("ServeReadRequest: Timeout exceeded", mark) != "");
    int copies = 0;
    std::string p;
    while (peer.Receive(&p, 300)) ++copies;
    // A limit of 0 still allows one retransmission.
    EXPECT_EQ(copies, 2);
}

TEST_F(ServerProtocolTest, DuplicateAckIsIgnoredAndAckAfterRetransmissionMovesOn) {
    const std::string data = kvtest::PatternData(1500);
    kvtest::WriteFile(RootPath("f.bin"), data);
    StartServer();
    Peer peer;
    std::string p = Begin(peer, 1, "f.bin");
    ASSERT_EQ(Block(p), 1);
    // No answer: block 1 comes again after the time-out.
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(Block(p), 1);
    // Its ACK, though late, moves the transfer on.
    ASSERT_TRUE(peer.Reply(AckPacket(1)));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(Block(p), 2);
    // A duplicate ACK of block 1 causes no new send of block 2 (the server just waits on;
    // a retransmission could only come after a time-out of at least 200 ms).
    ASSERT_TRUE(peer.Reply(AckPacket(1)));
    EXPECT_TRUE(peer.Silent(100));
    ASSERT_TRUE(peer.Reply(AckPacket(2)));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(Block(p), 3);
    EXPECT_EQ(p.substr(4), data.substr(1024));
    ASSERT_TRUE(peer.Reply(AckPacket(3)));
    EXPECT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 downloaded " + RootPath("f.bin") + "."));
}

TEST_F(ServerProtocolTest, ErrorFromClientEndsDownloadWithItsDetails) {
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(1500));
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    Begin(peer, 1, "f.bin");
    ASSERT_TRUE(peer.Reply(ErrorPacket(1, "disk gone")));
    const std::string path = RootPath("f.bin");
    EXPECT_TRUE(WaitForLine("ServeReadRequest: Error received during transfer of " + path +
                                ". Error code 01 (The file was not found.). Details: disk gone",
                            mark));
    EXPECT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 failed to download " + path + ".", mark));
    // Nothing is sent back.
    EXPECT_TRUE(peer.Silent(300));
}

TEST_F(ServerProtocolTest, ErrorWithoutTextAndShortErrorAreHandled) {
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(1500));
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    Begin(peer, 1, "f.bin");
    // Two bytes: not an error packet at all; the server waits on.
    ASSERT_TRUE(peer.Reply(std::string("\0\5", 2)));
    ASSERT_TRUE(peer.Reply(ErrorPacket(9, "")));
    const std::string path = RootPath("f.bin");
    EXPECT_TRUE(WaitForLine("ServeReadRequest: Error received during transfer of " + path +
                                ". Error code 09 (Unknown RFC-compliant TFTP error.).",
                            mark));
}

TEST_F(ServerProtocolTest, ShortAndUnexpectedPacketsDuringDownloadResendTheBlock) {
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(1500));
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    std::string p = Begin(peer, 1, "f.bin");
    const std::string first = p;
    const std::string path = RootPath("f.bin");
    ASSERT_TRUE(peer.Reply(std::string(1, '\x04')));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(p, first);
    EXPECT_TRUE(WaitForLine(
        "ServeReadRequest: Unknown short packet received during transfer of " + path + ".", mark));
    ASSERT_TRUE(peer.Reply(DataPacket(1, "x")));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(p, first);
    EXPECT_TRUE(WaitForLine(
        "ServeReadRequest: Unexpected packet opcode 03 received during transfer of " + path + ".",
        mark));
    // A three-byte ACK carries no block: the server waits on without sending.
    ASSERT_TRUE(peer.Reply(std::string("\0\4\0", 3)));
    EXPECT_TRUE(peer.Silent(100));
    ASSERT_TRUE(peer.Reply(AckPacket(1)));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(Block(p), 2);
    peer.Reply(ErrorPacket(0, "stop"));
}

TEST_F(ServerProtocolTest, OversizedDatagramDuringDownloadEndsIt) {
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(1500));
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    Begin(peer, 1, "f.bin");
    ASSERT_TRUE(peer.Reply(std::string(600, 'z')));
    const std::string path = RootPath("f.bin");
    EXPECT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 failed to download " + path + ".", mark));
    // A failure of one client's conversation is logged, not put before the operator.
    EXPECT_NE(WaitForLineStarting("RecvPacketFromPeer: recv() error: ", mark), "");
    EXPECT_NE(env_.debugLog().find("RecvPacketFromPeer: recv() error: "), std::string::npos);
    EXPECT_EQ(env_.msgboxLog(), "");
    EXPECT_TRUE(peer.Silent(300));
}

TEST_F(ServerProtocolTest, MalformedRequestsAreLoggedAndNotAnswered) {
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    // A name without its 0 byte, and a name with nothing after it.
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), std::string("\0\1name", 6)));
    EXPECT_TRUE(WaitForLine(
        "ServeReadRequest: Unable to extract the filename and mode from client request.", mark));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), std::string("\0\2name\0", 7)));
    EXPECT_TRUE(WaitForLine(
        "ServeWriteRequest: Unable to extract the filename and mode from client request.", mark));
    EXPECT_TRUE(peer.Silent(300));
}

// ---- uploads ----

TEST_F(ServerProtocolTest, RepeatedDataBlockIsAcknowledgedAgainButNotWritten) {
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    std::string p = Begin(peer, 2, "up.bin");
    ASSERT_EQ(Opcode(p), 4);
    const std::string b1 = kvtest::PatternData(512, 1);
    ASSERT_TRUE(peer.Reply(DataPacket(1, b1)));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(p, AckPacket(1));
    // As if ACK 1 had been lost: the client sends block 1 again (here with other bytes,
    // to see that nothing is written twice) and gets ACK 1 again.
    ASSERT_TRUE(peer.Reply(DataPacket(1, std::string(512, 'Z'))));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(p, AckPacket(1));
    ASSERT_TRUE(peer.Reply(DataPacket(2, "end")));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(p, AckPacket(2));
    const std::string path = RootPath("up.bin");
    ASSERT_TRUE(WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + path + ".", mark));
    EXPECT_EQ(kvtest::ReadFile(path), b1 + "end");
    // The last ACK lost too: the repeated last block is answered while the server dallies.
    ASSERT_TRUE(peer.Reply(DataPacket(2, "end")));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(p, AckPacket(2));
}

TEST_F(ServerProtocolTest, OlderDataBlockIsIgnored) {
    StartServer();
    Peer peer;
    std::string p = Begin(peer, 2, "up.bin");
    ASSERT_TRUE(peer.Reply(DataPacket(1, std::string(512, 'a'))));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_TRUE(peer.Reply(DataPacket(2, std::string(512, 'b'))));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(p, AckPacket(2));
    ASSERT_TRUE(peer.Reply(DataPacket(1, std::string(512, 'c'))));
    // Nothing answers the old block: what comes is at most the server's own re-send of
    // its last ACK after a time-out.
    std::string again;
    while (peer.Receive(&again, 300)) EXPECT_EQ(again, AckPacket(2));
    ASSERT_TRUE(peer.Reply(DataPacket(3, "")));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(p, AckPacket(3));
    ASSERT_TRUE(WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + RootPath("up.bin") + "."));
    EXPECT_EQ(kvtest::ReadFile(RootPath("up.bin")), std::string(512, 'a') + std::string(512, 'b'));
}

TEST_F(ServerProtocolTest, DataBlockAheadAbortsWithError4) {
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    std::string p = Begin(peer, 2, "up.bin");
    ASSERT_TRUE(peer.Reply(DataPacket(1, std::string(512, 'a'))));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_TRUE(peer.Reply(DataPacket(3, std::string(512, 'c'))));
    ASSERT_TRUE(peer.Receive(&p));
    const std::string text = "DATA receive error. Expected block 2, got block 3. Aborting.";
    EXPECT_EQ(Opcode(p), 5);
    EXPECT_EQ(Block(p), 4);
    EXPECT_EQ(ErrorText(p), text);
    const std::string path = RootPath("up.bin");
    EXPECT_TRUE(WaitForLine(text, mark));
    EXPECT_TRUE(
        WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
    // A failed upload leaves no file.
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ServerProtocolTest, DataPacketWithoutBlockReadsAsBlockAhead) {
    StartServer();
    Peer peer;
    std::string p = Begin(peer, 2, "up.bin");
    ASSERT_TRUE(peer.Reply(std::string("\0\3\0", 3)));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(Block(p), 4);
    EXPECT_EQ(ErrorText(p), "DATA receive error. Expected block 1, got block 65535. Aborting.");
}

TEST_F(ServerProtocolTest, ErrorFromClientEndsUploadAndLeavesNoFile) {
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    std::string p = Begin(peer, 2, "up.bin");
    ASSERT_TRUE(peer.Reply(DataPacket(1, std::string(512, 'a'))));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_TRUE(peer.Reply(ErrorPacket(3, "")));
    const std::string path = RootPath("up.bin");
    // The code is padded with a blank here, not a zero.
    EXPECT_TRUE(WaitForLine("ServeWriteRequest: Error received during transfer of " + path +
                                ". Error code  3 (No space is left on the device, or the storage "
                                "quota has been exceeded.).",
                            mark));
    EXPECT_TRUE(
        WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ServerProtocolTest, ShortAndUnexpectedPacketsDuringUploadAreLoggedOnly) {
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    std::string p = Begin(peer, 2, "up.bin");
    const std::string path = RootPath("up.bin");
    ASSERT_TRUE(peer.Reply(std::string(1, '\x03')));
    EXPECT_TRUE(WaitForLine(
        "ServeWriteRequest: Unknown short packet received during transfer of " + path + ".", mark));
    ASSERT_TRUE(peer.Reply(AckPacket(7)));
    EXPECT_TRUE(WaitForLine(
        "ServeWriteRequest: Unexpected packet opcode 04 received during transfer of " + path + ".",
        mark));
    EXPECT_TRUE(peer.Silent(100));
    ASSERT_TRUE(peer.Reply(DataPacket(1, "fine")));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(p, AckPacket(1));
    EXPECT_TRUE(WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + path + ".", mark));
}

TEST_F(ServerProtocolTest, SilentUploaderGetsTheAckSixTimesAndIsGivenUp) {
    SetDwordValue("Rexttimeout", 100);
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    std::string p = Begin(peer, 2, "up.bin");
    EXPECT_EQ(p, AckPacket(0));
    const std::string path = RootPath("up.bin");
    EXPECT_TRUE(
        WaitForLine("ServeWriteRequest: Timeout exceeded during transfer of " + path + ".", mark));
    EXPECT_TRUE(
        WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
    // The receiver re-sends its last ACK at every time-out (it may have been lost); before
    // any answer, once and five times again.
    int copies = 1;
    while (peer.Receive(&p, 300)) {
        EXPECT_EQ(p, AckPacket(0));
        ++copies;
    }
    EXPECT_EQ(copies, 6);
    EXPECT_NE(env_.debugLog().find("ServeWriteRequest: Failed to receive " + path),
              std::string::npos);
}

// ---- local file errors ----
// The process's own memory file fails every read and write at offset 0 with an I/O
// error, as a failing disk would.

TEST_F(ServerProtocolTest, FileReadErrorAbortsTheDownloadWithAnError) {
    SetStringValue("TFTPHome", "/proc/self");
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    const TransferResult r = Download(peer, env_.tftpPort(), "mem");
    EXPECT_FALSE(r.ok);
    ASSERT_TRUE(r.gotError);
    EXPECT_EQ(r.errorCode, 0);
    EXPECT_EQ(r.errorText, "File read error 5 occurred. Aborting.");
    EXPECT_TRUE(WaitForLine("File read error 5 occurred. Aborting.", mark));
    EXPECT_TRUE(
        WaitForLine("ServeReadRequest: 127.0.0.1 failed to download /proc/self/mem.", mark));
}

// A file size limit on this process makes writes past it fail (EFBIG), as a failing disk
// would; the old file stays whole and nothing else is left.
TEST_F(ServerProtocolTest, FileWriteErrorAbortsTheUploadWithCode3) {
    constexpr rlim_t kLimit = 1 << 20;
    const std::string old = kvtest::PatternData(3000, 4);
    kvtest::WriteFile(RootPath("big.bin"), old);
    SetFlagValue("AllowOverwrite", 1);
    StartServer();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = kLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string path = RootPath("big.bin");
    // Seen when the last block is flushed, and when a full buffer is written midway.
    for (size_t size : {size_t{kLimit + 100}, size_t{kLimit + 20000}}) {
        SCOPED_TRACE(size);
        const size_t mark = EventLines().size();
        Peer peer;
        const TransferResult r = Upload(peer, env_.tftpPort(), "big.bin", std::string(size, 'w'));
        EXPECT_FALSE(r.ok);
        ASSERT_TRUE(r.gotError);
        EXPECT_EQ(r.errorCode, 3);
        EXPECT_EQ(r.errorText, "File write error 27 occurred. Aborting.");
        EXPECT_TRUE(WaitForLine("File write error 27 occurred. Aborting.", mark));
        EXPECT_TRUE(
            WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
        EXPECT_EQ(CountLines("ServeWriteRequest: 127.0.0.1 uploaded " + path + ".", mark), 0u);
        EXPECT_TRUE(kvtest::ReadFile(path) == old);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_),
                                std::filesystem::directory_iterator()),
                  1);
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);

    // Where no file can be made beside the target, the request is refused at once.
    SetStringValue("TFTPHome", "/proc/self");
    StopServer();
    StartServer();
    Peer peer;
    const TransferResult r = Upload(peer, env_.tftpPort(), "mem", "x");
    ASSERT_TRUE(r.gotError);
    EXPECT_EQ(r.errorCode, 1);
    EXPECT_EQ(r.errorText, "CheckFilenameToWrite: Unable to open /proc/self/mem for writing.");
}

// ---- the listening port ----

TEST_F(ServerProtocolTest, StrayPacketsAtTheTftpPortAreLoggedAndNotAnswered) {
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), std::string(1, '\x01')));
    EXPECT_TRUE(WaitForLine("Short TFTP packet received. Ignoring it.", mark));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), Packet16(0, 0)));
    EXPECT_TRUE(WaitForLine("Unknown packet received from client, opcode is 00.", mark));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), Packet16(6, 0)));
    EXPECT_TRUE(WaitForLine("Unknown packet received from client, opcode is 06.", mark));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), Packet16(0x1234, 0)));
    EXPECT_TRUE(WaitForLine("Unknown packet received from client, opcode is 4660.", mark));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), DataPacket(1, "x")));
    EXPECT_TRUE(WaitForLine("Unexpected DATA packet received from client.", mark));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), AckPacket(1)));
    EXPECT_TRUE(WaitForLine("Unexpected ACK packet received from client.", mark));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), ErrorPacket(1, "x")));
    EXPECT_TRUE(WaitForLine("Unexpected ERROR packet received from client.", mark));
    EXPECT_TRUE(peer.Silent(200));
}

TEST_F(ServerProtocolTest, OversizedDatagramAtTheTftpPortIsReportedAndServingGoesOn) {
    kvtest::WriteFile(RootPath("f.bin"), "after the bad datagram");
    StartServer();
    Peer bad;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(bad.SendTo(env_.tftpPort(), std::string(600, 'x')));
    Peer good;
    const TransferResult r = Download(good, env_.tftpPort(), "f.bin");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.data, "after the bad datagram");
    // Each one is reported: to the debugger output, and in a box for the operator unless
    // one is already open (a box that waits must not hold a thread per bad datagram).
    const std::string line = "GetInitialRequest: Recvfrom error occurred: ";
    auto count = [&](const std::string& log) {
        // Lines that begin with the report (the box's own copy begins with its caption).
        size_t n = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
            n += (at == 0 || log[at - 1] == '\n') ? 1 : 0;
        }
        return n;
    };
    const auto begin = std::chrono::steady_clock::now();
    while (count(env_.debugLog()) < 3 &&
           std::chrono::steady_clock::now() - begin < std::chrono::milliseconds(kPromptMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(count(env_.debugLog()), 3u);
    EXPECT_NE(env_.msgboxLog().find("TFTP server error\t" + line), std::string::npos);
    EXPECT_TRUE(bad.Silent(100));
}

TEST_F(ServerProtocolTest, FloodOfDatagramsLeavesTheServerServing) {
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(3000));
    SetFlagValue("LogEventLogs", 0);
    StartServer();
    {
        // Thousands of stray datagrams and requests for missing files from many ports.
        std::vector<std::unique_ptr<Peer>> senders;
        for (int i = 0; i < 20; ++i) senders.push_back(std::make_unique<Peer>());
        for (int round = 0; round < 200; ++round) {
            for (auto& s : senders) {
                s->SendTo(env_.tftpPort(),
                          round % 2 ? Packet16(9, 9) : RequestPacket(1, "missing", "octet"));
            }
        }
    }
    // The flood may still fill the socket's queue, where a request can be dropped: a real
    // client asks again, from a new port.
    TransferResult r;
    for (int attempt = 0; attempt < 10 && !r.ok; ++attempt) {
        Peer good;
        r = Download(good, env_.tftpPort(), "f.bin", "octet", 2000);
    }
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.data == kvtest::PatternData(3000));
}

// The bound on request threads alive at once.
constexpr int kMaxRequestThreadsForTest = 384;

using kvtest::ProcessThreads;

TEST_F(ServerProtocolTest, RequestThreadsAreBoundedUnderAFloodOfRequests) {
    // Requests from a client that never answers: each holds a thread until it times out.
    SetFlagValue("LogEventLogs", 0);
    SetDwordValue("Rexttimeout", 400);
    kvtest::WriteFile(RootPath("f.bin"), "data");
    StartServer();
    const int before = ProcessThreads();
    ASSERT_GT(before, 0);
    int most = before;
    {
        Peer silent;
        const std::string rrq = RequestPacket(1, "f.bin", "octet");
        for (int burst = 0; burst < 30; ++burst) {
            for (int i = 0; i < 40; ++i) silent.SendTo(env_.tftpPort(), rrq);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            most = std::max(most, ProcessThreads());
        }
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            most = std::max(most, ProcessThreads());
        }
    }
    // Never more request threads than the bound (a few more for the listener and the
    // threads of the test itself).
    EXPECT_LE(most, before + 384 + 2);
    // The server keeps serving once places are free again.
    TransferResult r;
    for (int attempt = 0; attempt < 10 && !r.ok; ++attempt) {
        Peer good;
        r = Download(good, env_.tftpPort(), "f.bin", "octet", 2000);
    }
    EXPECT_TRUE(r.ok);
}

// A request that comes again while its transfer runs (re-sent, or doubled on the way)
// is the same request: no second transfer, no "file exists" refusal; once the transfer
// has ended, the same request is served anew.
TEST_F(ServerProtocolTest, RepeatedRequestIsNotASecondTransfer) {
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    const std::string wrq = RequestPacket(2, "twice.bin", "octet");
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), wrq));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), wrq));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(p, AckPacket(0));
    const uint16_t conversation = peer.lastFromPort();
    ASSERT_TRUE(peer.Reply(DataPacket(1, std::string(512, 'a'))));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(p, AckPacket(1));
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), wrq));
    ASSERT_TRUE(peer.SendTo(conversation, DataPacket(2, "end")));
    // Only the one conversation answers, and nothing but ACKs.
    while (peer.Receive(&p, 300)) {
        EXPECT_EQ(peer.lastFromPort(), conversation);
        EXPECT_EQ(Opcode(p), 4);
    }
    const std::string path = RootPath("twice.bin");
    EXPECT_TRUE(WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + path + ".", mark));
    EXPECT_EQ(
        CountLines("WRQ from 127.0.0.1:" + std::to_string(peer.port()) + " for octet:" + path + ".",
                   mark),
        1u);
    EXPECT_EQ(kvtest::ReadFile(path), std::string(512, 'a') + "end");

    // A download asked for twice: one conversation; asked again after its end: served.
    kvtest::WriteFile(RootPath("f.bin"), "tiny");
    const std::string rrq = RequestPacket(1, "f.bin", "octet");
    for (int round = 0; round < 2; ++round) {
        const size_t roundMark = EventLines().size();
        ASSERT_TRUE(peer.SendTo(env_.tftpPort(), rrq));
        ASSERT_TRUE(peer.SendTo(env_.tftpPort(), rrq));
        ASSERT_TRUE(peer.Receive(&p));
        ASSERT_EQ(p, DataPacket(1, "tiny"));
        // No second conversation sends block 1 (the first re-sends it only after its
        // time-out of a second).
        EXPECT_TRUE(peer.Silent(300)) << round;
        ASSERT_TRUE(peer.Reply(AckPacket(1)));
        ASSERT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 downloaded " + RootPath("f.bin") + ".",
                                roundMark));
    }
}

// A client that keeps the server busy with packets that move nothing: old ACKs, short
// packets and unknown opcodes, faster than any time-out. The transfer ends once it has
// made no progress for the horizon ("Retransmits" + 1 waits of "Rexttimeout"), each such
// line is logged once, and the request thread ends.
TEST_F(ServerProtocolTest, PacketsThatMoveNothingDoNotHoldATransfer) {
    SetDwordValue("Rexttimeout", 300);
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(3000));
    StartServer();
    const int threadsBefore = ProcessThreads();
    const size_t mark = EventLines().size();
    Peer peer;
    std::string p = Begin(peer, 1, "f.bin");
    ASSERT_EQ(Block(p), 1);
    ASSERT_TRUE(peer.Reply(AckPacket(1)));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(Block(p), 2);
    const std::string path = RootPath("f.bin");
    const std::string timedOut =
        "ServeReadRequest: Timeout exceeded during transfer of " + path + ".";
    const auto start = std::chrono::steady_clock::now();
    // Horizon 7 x 300 ms; the client goes on for much longer unless the server ends.
    bool ended = false;
    for (int i = 0; i < 1000 && !ended; ++i) {
        peer.Reply(i % 10 == 3   ? std::string(1, '\x04')
                   : i % 10 == 7 ? Packet16(9, 2)
                                 : AckPacket(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (i % 10 == 0) ended = CountLines(timedOut, mark) == 1;
    }
    ASSERT_TRUE(WaitForLine(timedOut, mark));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 9.0);
    EXPECT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 failed to download " + path + ".", mark));
    EXPECT_EQ(CountLines("ServeReadRequest: Unknown short packet received during transfer of " +
                             path + ".",
                         mark),
              1u);
    EXPECT_EQ(CountLines("ServeReadRequest: Unexpected packet opcode 09 received during transfer "
                         "of " +
                             path + ".",
                         mark),
              1u);
    // The request thread has ended.
    int threads = ProcessThreads();
    for (int i = 0; i < 200 && threads > threadsBefore; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        threads = ProcessThreads();
    }
    EXPECT_LE(threads, threadsBefore);
}

// The same for an upload: repeats of the last block and unknown opcodes.
TEST_F(ServerProtocolTest, RepeatedBlocksDoNotHoldAnUpload) {
    SetDwordValue("Rexttimeout", 300);
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    std::string p = Begin(peer, 2, "up.bin");
    ASSERT_EQ(p, AckPacket(0));
    ASSERT_TRUE(peer.Reply(DataPacket(1, std::string(512, 'a'))));
    const std::string path = RootPath("up.bin");
    const std::string timedOut =
        "ServeWriteRequest: Timeout exceeded during transfer of " + path + ".";
    for (int i = 0; i < 1000 && CountLines(timedOut, mark) == 0; ++i) {
        peer.Reply(i % 2 ? DataPacket(1, std::string(512, 'a')) : Packet16(7, 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(WaitForLine(timedOut, mark));
    EXPECT_EQ(CountLines("ServeWriteRequest: Unexpected packet opcode 07 received during transfer "
                         "of " +
                             path + ".",
                         mark),
              1u);
    ASSERT_TRUE(
        WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
    EXPECT_FALSE(std::filesystem::exists(path));
}

// The descriptors one process holds for a transfer: its conversation socket and its
// file, nothing per thread. 384 transfers at once (the bound on request threads) stay
// within the usual limit of 1024 open files, and all are given back.
TEST_F(ServerProtocolTest, ManyTransfersAtOnceStayWithinTheOpenFileLimit) {
    SetFlagValue("LogEventLogs", 0);
    SetDwordValue("Rexttimeout", 3000);
    SetDwordValue("Retransmits", 0);
    StartServer();
    Peer peer;
    const int before = kvtest::OpenDescriptors();
    ASSERT_GT(before, 0);
    constexpr int kTransfers = kMaxRequestThreadsForTest;
    // In batches below the bound on unanswered transfers from one address; every
    // transfer answers with ACK 0 once it has its socket and its file, and is answered
    // with a full first block, so that it runs on until its time-out.
    std::set<uint16_t> answered;
    std::string p;
    const std::string block = DataPacket(1, std::string(512, 'b'));
    for (int i = 0; i < kTransfers; ++i) {
        ASSERT_TRUE(
            peer.SendTo(env_.tftpPort(), RequestPacket(2, "up" + std::to_string(i), "octet")));
        if (i % 4 != 3) continue;
        while (static_cast<int>(answered.size()) < i + 1 && peer.Receive(&p, 5000)) {
            if (p == AckPacket(0) && answered.insert(peer.lastFromPort()).second) {
                ASSERT_TRUE(peer.Reply(block));
            }
        }
    }
    const int during = kvtest::OpenDescriptors();
    EXPECT_EQ(static_cast<int>(answered.size()), kTransfers);
    EXPECT_LE(during - before, 2 * kTransfers + 8);
    EXPECT_LT(during, 1024);
    // All end by time-out and give back what they held.
    int after = kvtest::OpenDescriptors();
    for (int i = 0; i < 2000 && after > before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        after = kvtest::OpenDescriptors();
    }
    EXPECT_LE(after, before);
}

}  // namespace
}  // namespace srvtest
