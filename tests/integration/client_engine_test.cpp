// The client engine's request, upload and download routines run directly (with short
// time-outs) against scripted peers on 127.0.0.1: time-outs, re-sends, odd replies.
#include "client_engine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "client_peer.h"
#include "kv/paths.h"
#include "test_support.h"

namespace {

using namespace kvtest;

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    size_t n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
}

// One transfer set up as the worker would, with a short initial time-out.
class ClientEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        uint16_t granted = 0;
        ASSERT_EQ(kvp::NetStartup(&granted), 0);
        ResetClientSettings();
        g_clientSettings.InitialTimeoutMs = 40;
        g_clientSettings.RetryLimit = 6;
        g_clientSettings.LogEnable = 1;
        logPath_ = env_.dir() + "/client.log";
        log_ = std::fopen(logPath_.c_str(), "a");
        ASSERT_NE(log_, nullptr);
        server_.addressText = "127.0.0.1";
        server_.addr.addr = kvp::HostToNet32(0x7F000001);
        ctx_.socket = CreateClientConversationSocket(&server_.addr);
        ASSERT_NE(ctx_.socket, kvp::kInvalidSocket);
        EXPECT_EQ(kvp::NetToHost16(server_.addr.port), env_.tftpPort());
        ctx_.reporter = &g_clientReporter;
        ctx_.mode = "octet";
    }
    void TearDown() override {
        if (ctx_.file != nullptr) std::fclose(ctx_.file);
        if (ctx_.socket != kvp::kInvalidSocket) kvp::CloseSocket(ctx_.socket);
        if (log_ != nullptr) std::fclose(log_);
        kvp::NetCleanup();
    }
    std::vector<std::string> LogLines() {
        std::fflush(log_);
        return Lines(ReadFile(logPath_));
    }

    TestEnv env_;
    std::string logPath_;
    std::FILE* log_ = nullptr;
    ServerInfo server_;
    TransferContext ctx_;
};

TEST_F(ClientEngine, SilentServerGetsTheRequestAtEachOfSevenWaits) {
    ScriptedPeer peer(env_.tftpPort());
    ctx_.fileName = "quiet.txt";
    InitTransferContext(&ctx_, g_clientSettings.InitialTimeoutMs);
    EXPECT_EQ(MakeSendRWReq(&server_, &ctx_, kOpRrq, log_), 0);
    // A lost request costs one wait: it goes out again after each but the last.
    int requests = 0;
    std::string request;
    while (peer.RequestPending() && peer.WaitRequest(&request, 0)) {
        EXPECT_EQ(request, RequestPacket(1, "quiet.txt", "octet"));
        ++requests;
    }
    EXPECT_EQ(requests, 7);

    std::vector<std::string> expected;
    for (int i = 0; i < 7; ++i) {
        expected.push_back("Sending request");
        expected.push_back("Waiting for first response");
    }
    expected.push_back("MakeSendRWReq: Timeout exceeded for response of quiet.txt.");
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(ClientEngine, RequestTooLongForOnePacketIsNotSent) {
    ScriptedPeer peer(env_.tftpPort());
    ctx_.fileName = std::string(600, 'n');
    InitTransferContext(&ctx_, g_clientSettings.InitialTimeoutMs);
    EXPECT_EQ(MakeSendRWReq(&server_, &ctx_, kOpWrq, log_), 0);
    EXPECT_FALSE(peer.RequestPending());
    // The longest name that fits is sent whole: 2 + 507 + 1 + 5 + 1 = 516 bytes.
    ctx_.fileName = std::string(507, 'n');
    std::thread answer([&] {
        std::string request;
        ASSERT_TRUE(peer.WaitRequest(&request));
        EXPECT_EQ(request.size(), 516u);
        EXPECT_TRUE(peer.Send(AckPacket(0)));
    });
    EXPECT_EQ(MakeSendRWReq(&server_, &ctx_, kOpWrq, log_), 1);
    answer.join();
}

TEST_F(ClientEngine, AdoptsTheRespondersPortAndIgnoresOtherPorts) {
    ScriptedPeer peer(env_.tftpPort());
    ctx_.fileName = "f.bin";
    ctx_.file = std::fopen((env_.dir() + "/f.bin").c_str(), "wb");
    // After an ACK the client waits only as long as it took to handle the block (often
    // 1 ms); many waits give this peer thread time to answer on a loaded machine.
    g_clientSettings.RetryLimit = 2000;
    const std::string b1 = PatternData(512), b2 = "tail";
    std::thread serve([&] {
        std::string request, ack;
        ASSERT_TRUE(peer.WaitRequest(&request));
        ASSERT_TRUE(peer.Send(DataPacket(1, b1)));
        ASSERT_TRUE(peer.Recv(&ack));
        // A stranger's block 2 from the TFTP port: the connected socket drops it.
        ASSERT_TRUE(peer.SendFromListen(DataPacket(2, "stranger")));
        ASSERT_TRUE(peer.Send(DataPacket(2, b2)));
        ASSERT_TRUE(peer.Recv(&ack));
        EXPECT_EQ(ack, AckPacket(2));
    });
    EXPECT_EQ(CliWriteTransfer(&server_, &ctx_, log_), 1);
    serve.join();
    EXPECT_EQ(ReadFile(env_.dir() + "/f.bin"), b1 + b2);
    EXPECT_EQ(kvp::NetToHost16(server_.addr.port), peer.transferPort());
    EXPECT_EQ(ctx_.file, nullptr);
    EXPECT_EQ(ctx_.socket, kvp::kInvalidSocket);
}

TEST_F(ClientEngine, DownloadGivesUpAfterEightSilentWaits) {
    ScriptedPeer peer(env_.tftpPort());
    ctx_.fileName = "stops.bin";
    ctx_.file = std::fopen((env_.dir() + "/stops.bin").c_str(), "wb");
    std::thread serve([&] {
        std::string request, ack;
        ASSERT_TRUE(peer.WaitRequest(&request));
        ASSERT_TRUE(peer.Send(DataPacket(1, PatternData(512))));
        ASSERT_TRUE(peer.Recv(&ack));
    });
    EXPECT_EQ(CliWriteTransfer(&server_, &ctx_, log_), 0);
    serve.join();
    // The client re-sends its last ACK at each time-out but the last (it may have been
    // lost).
    int acks = 0;
    std::string ack;
    while (peer.Pending() && peer.Recv(&ack, 0)) {
        EXPECT_EQ(ack, AckPacket(1));
        ++acks;
    }
    EXPECT_EQ(acks, 7);
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(Count(lines, "Waiting for packet"), 8u);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "CliWriteTransfer: Timeout exceeded during transfer of stops.bin.");
    EXPECT_EQ(lines.back(), "CliWriteTransfer: Failed to receive stops.bin from 127.0.0.1.");
}

TEST_F(ClientEngine, UploadResendsABlockSevenTimes) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/up.bin";
    const std::string data = PatternData(512 * 5 + 10);
    WriteFile(local, data);
    ctx_.fileName = "up.bin";
    ctx_.file = std::fopen(local.c_str(), "rb");
    std::thread serve([&] {
        std::string request, packet;
        ASSERT_TRUE(peer.WaitRequest(&request));
        // Queued at once, so that no wait runs out before block 4 is in flight.
        for (uint16_t block = 0; block <= 3; ++block) ASSERT_TRUE(peer.Send(AckPacket(block)));
        for (uint16_t block = 1; block <= 3; ++block) {
            ASSERT_TRUE(peer.Recv(&packet));
            EXPECT_EQ(packet, DataPacket(block, data.substr((block - 1) * 512u, 512)));
        }
    });
    EXPECT_EQ(CliReadTransfer(&server_, &ctx_, log_), 0);
    serve.join();
    // Block 4 went out once and was re-sent seven times; nothing else followed.
    std::string packet;
    int copies = 0;
    while (peer.Pending() && peer.Recv(&packet, 0)) {
        EXPECT_EQ(packet, DataPacket(4, data.substr(3 * 512, 512)));
        ++copies;
    }
    EXPECT_EQ(copies, 8);
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "CliReadTransfer: Timeout exceeded during transfer of up.bin.");
    EXPECT_EQ(lines.back(), "CliReadTransfer: 127.0.0.1 failed to upload up.bin.");
    EXPECT_NE(env_.debugLog().find("CliReadTransfer: 127.0.0.1 failed to upload up.bin."),
              std::string::npos);
}

TEST_F(ClientEngine, UploadIgnoresDuplicateAcks) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/up.bin";
    WriteFile(local, PatternData(1024));
    ctx_.fileName = "up.bin";
    ctx_.file = std::fopen(local.c_str(), "rb");
    std::thread serve([&] {
        std::string request, packet;
        ASSERT_TRUE(peer.WaitRequest(&request));
        // Queued at once, so that no wait runs out and every DATA packet the client sends
        // answers an ACK: 0, a duplicate 0 (not answered), 1, 2 and 3.
        for (uint16_t block : {0, 0, 1, 2, 3}) ASSERT_TRUE(peer.Send(AckPacket(block)));
        for (uint16_t block = 1; block <= 2; ++block) {
            ASSERT_TRUE(peer.Recv(&packet));
            EXPECT_EQ(Field16(packet, 2), block);
            EXPECT_EQ(packet.size(), 516u);
        }
        ASSERT_TRUE(peer.Recv(&packet));
        EXPECT_EQ(packet, DataPacket(3, ""));  // a multiple of 512 ends with an empty block
    });
    EXPECT_EQ(CliReadTransfer(&server_, &ctx_, log_), 1);
    serve.join();
    EXPECT_FALSE(peer.Pending());
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(Count(lines, "Received ACK"), 5u);
    EXPECT_EQ(Count(lines, "Sending DATA"), 3u);
    EXPECT_EQ(lines.back(), "CliReadTransfer: 127.0.0.1 uploaded up.bin.");
}

TEST_F(ClientEngine, DownloadLogsOddPacketsAndWaits) {
    ScriptedPeer peer(env_.tftpPort());
    ctx_.fileName = "odd.bin";
    ctx_.file = std::fopen((env_.dir() + "/odd.bin").c_str(), "wb");
    std::thread serve([&] {
        std::string request, ack;
        ASSERT_TRUE(peer.WaitRequest(&request));
        // A 0-byte first reply is taken by the request step and judged as a short packet.
        ASSERT_TRUE(peer.Send(""));
        ASSERT_TRUE(peer.Send(AckPacket(9)));
        ASSERT_TRUE(peer.Send(std::string("\0\x09\0\1", 4)));
        ASSERT_TRUE(peer.Send(std::string("\0\5", 2)));  // too short for an error report
        ASSERT_TRUE(peer.Send(DataPacket(1, "x")));
        ASSERT_TRUE(peer.Recv(&ack));
        EXPECT_EQ(ack, AckPacket(1));
    });
    EXPECT_EQ(CliWriteTransfer(&server_, &ctx_, log_), 1);
    serve.join();
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(
        Count(lines, "CliWriteTransfer: Unknown short packet received during transfer of odd.bin."),
        1u);
    EXPECT_EQ(
        Count(lines,
              "CliWriteTransfer: Unexpected packet opcode 04 received during transfer of odd.bin."),
        1u);
    EXPECT_EQ(
        Count(lines,
              "CliWriteTransfer: Unexpected packet opcode 09 received during transfer of odd.bin."),
        1u);
    EXPECT_EQ(Count(lines, "Received ERROR"), 1u);
    EXPECT_EQ(lines.back(), "CliWriteTransfer: 127.0.0.1 downloaded odd.bin.");
    EXPECT_EQ(ReadFile(env_.dir() + "/odd.bin"), "x");
}

TEST_F(ClientEngine, OversizedDatagramFailsTheTransfer) {
    ScriptedPeer peer(env_.tftpPort());
    ctx_.fileName = "big.bin";
    ctx_.file = std::fopen((env_.dir() + "/big.bin").c_str(), "wb");
    std::thread serve([&] {
        std::string request, ack;
        ASSERT_TRUE(peer.WaitRequest(&request));
        ASSERT_TRUE(peer.Send(DataPacket(1, PatternData(512))));
        ASSERT_TRUE(peer.Send(DataPacket(2, PatternData(596))));
        ASSERT_TRUE(peer.Recv(&ack));
    });
    EXPECT_EQ(CliWriteTransfer(&server_, &ctx_, log_), 0);
    serve.join();
    EXPECT_EQ(env_.msgboxLog().rfind("TFTP client error\tRecvPacketFromPeer: recv() error: ", 0),
              0u)
        << env_.msgboxLog();
    EXPECT_EQ(LogLines().back(), "CliWriteTransfer: Failed to receive big.bin from 127.0.0.1.");
}

TEST_F(ClientEngine, OversizedFirstReplyFailsTheRequest) {
    ScriptedPeer peer(env_.tftpPort());
    ctx_.fileName = "big.bin";
    InitTransferContext(&ctx_, g_clientSettings.InitialTimeoutMs);
    std::thread serve([&] {
        std::string request;
        ASSERT_TRUE(peer.WaitRequest(&request));
        ASSERT_TRUE(peer.Send(DataPacket(1, PatternData(513))));
    });
    EXPECT_EQ(MakeSendRWReq(&server_, &ctx_, kOpRrq, log_), 0);
    serve.join();
    EXPECT_EQ(env_.msgboxLog().rfind("TFTP client error\tMakeSendRWReq: recvfrom() error: ", 0), 0u)
        << env_.msgboxLog();
}

// A write that fails only when the file's buffer is flushed (a full device) must fail
// the download with ERROR 3, not pass for a completed one.
TEST_F(ClientEngine, WriteErrorIsSentAsError3) {
    ctx_.file = std::fopen("/dev/full", "wb");
    if (ctx_.file == nullptr) GTEST_SKIP() << "no /dev/full";
    ScriptedPeer peer(env_.tftpPort());
    ctx_.fileName = "full.bin";
    std::string reply;
    std::thread serve([&] {
        std::string request;
        ASSERT_TRUE(peer.WaitRequest(&request));
        ASSERT_TRUE(peer.Send(DataPacket(1, PatternData(100))));
        ASSERT_TRUE(peer.Recv(&reply));
    });
    EXPECT_EQ(CliWriteTransfer(&server_, &ctx_, log_), 0);
    serve.join();
    const std::string text = "File write error 28 occurred. Aborting.";  // ENOSPC
    EXPECT_EQ(reply, ErrorPacket(3, text));
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], text);
    EXPECT_EQ(lines.back(), "CliWriteTransfer: Failed to receive full.bin from 127.0.0.1.");
}

}  // namespace
