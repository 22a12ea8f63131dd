// A conversation over 127.0.0.1: the server-form conversation socket connected to a
// scripted peer, timed packet I/O, oversized, empty and stray datagrams.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kv/net.h"
#include "test_support.h"
#include "tftp_core.h"

namespace {

using namespace std::string_literals;

std::vector<std::string> g_socketErrors;
std::vector<std::string> g_systemErrors;
std::vector<std::string> g_largePackets;

const CoreReporter kReporter = {
    [](const CoreReporter&, const char* m) { g_socketErrors.emplace_back(m); },
    [](const CoreReporter&, const char* m) { g_systemErrors.emplace_back(m); },
    [](const CoreReporter&, const char* m) { g_largePackets.emplace_back(m); },
};

kvp::SockAddr4 Loopback(uint16_t port_net) {
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = port_net;
    return a;
}

// A socket bound to 127.0.0.1 on a free port.
kvp::Socket BoundSocket(kvp::SockAddr4* where) {
    kvp::Socket s(kvp::UdpSocket());
    EXPECT_TRUE(s.valid());
    EXPECT_EQ(kvp::Bind(s.get(), Loopback(0)), 0);
    EXPECT_EQ(kvp::GetSockName(s.get(), where), 0);
    return s;
}

class CoreConversation : public ::testing::Test {
  protected:
    void SetUp() override {
        g_socketErrors.clear();
        g_systemErrors.clear();
        g_largePackets.clear();
        uint16_t granted = 0;
        ASSERT_EQ(kvp::NetStartup(&granted), 0);
        peer = BoundSocket(&peerAddr);
        conv.reset(CreateConversationSocket(peerAddr, &kReporter));
        ASSERT_TRUE(conv.valid());
        kvp::SockAddr4 local;
        ASSERT_EQ(kvp::GetSockName(conv.get(), &local), 0);
        ASSERT_NE(local.port, peerAddr.port);
        convAddr = Loopback(local.port);
        InitTransferContext(&ctx, 5000);
        ctx.socket = conv.get();
        ctx.reporter = &kReporter;
    }

    void TearDown() override {
        conv.reset();
        peer.reset();
        kvp::NetCleanup();
        EXPECT_TRUE(g_systemErrors.empty());
    }

    void PeerSends(const std::string& bytes) {
        ASSERT_EQ(kvp::SendTo(peer.get(), bytes.data(), static_cast<int>(bytes.size()), convAddr),
                  static_cast<int>(bytes.size()));
    }

    // The next datagram that reaches the peer, which must come from the conversation.
    std::string PeerReceives() {
        if (kvp::WaitReadable(peer.get(), 10, 0) != 1) {
            ADD_FAILURE() << "nothing reached the peer";
            return "";
        }
        char buf[1024];
        kvp::SockAddr4 from;
        const int n = kvp::RecvFrom(peer.get(), buf, sizeof buf, &from);
        EXPECT_GE(n, 0);
        EXPECT_EQ(from.port, convAddr.port);
        return n < 0 ? "" : std::string(buf, n);
    }

    bool Receive() {
        ctx.recvLen = ctx.maxPacket;
        return RecvPacketFromPeer(&ctx);
    }

    std::string Received() const {
        return std::string(reinterpret_cast<const char*>(ctx.recvBuf), ctx.recvLen);
    }

    kvtest::TestEnv env;
    kvp::Socket peer;
    kvp::Socket conv;
    kvp::SockAddr4 peerAddr;
    kvp::SockAddr4 convAddr;
    TransferContext ctx;
};

TEST_F(CoreConversation, DataAckAndErrorRoundTrip) {
    ctx.block = 1;
    std::memcpy(ctx.sendBuf + 4, "hello", 5);
    ctx.sendLen = 9;
    ASSERT_TRUE(SendDataToPeer(&ctx));
    EXPECT_EQ(ctx.sendLen, 9);
    EXPECT_EQ(PeerReceives(), "\0\3\0\1hello"s);

    PeerSends("\0\4\0\1"s);
    ASSERT_TRUE(Receive());
    ASSERT_EQ(ctx.recvLen, 4);
    EXPECT_EQ(GetPacketOpcode(ctx.recvBuf, ctx.recvLen), kOpAck);
    uint16_t acked = 0;
    ASSERT_TRUE(ExtractAckBlock(&ctx, &acked));
    EXPECT_EQ(acked, 1);

    ctx.block = 0;
    ASSERT_TRUE(SendAckToPeer(&ctx));
    EXPECT_EQ(PeerReceives(), "\0\4\0\0"s) << "the ACK that answers a WRQ";

    const std::string full = "\0\3\0\2"s + kvtest::PatternData(512, 3);
    PeerSends(full);
    ASSERT_TRUE(Receive());
    EXPECT_EQ(Received(), full);

    ASSERT_TRUE(SendErrorToPeer(&ctx, 3, ""));
    const std::string error = PeerReceives();
    EXPECT_EQ(error.size(), 76u);
    EXPECT_EQ(error.substr(0, 4), "\0\5\0\3"s);
    EXPECT_TRUE(g_socketErrors.empty());
}

TEST_F(CoreConversation, SendingBlockNumberWrapsAfter65535) {
    ctx.block = 65535;
    ctx.sendLen = kMaxPacket;
    std::memset(ctx.sendBuf + 4, 'p', kBlockSize);
    ASSERT_TRUE(SendDataToPeer(&ctx));
    EXPECT_EQ(PeerReceives().substr(0, 4), "\0\3\xFF\xFF"s);
    ++ctx.block;
    ctx.sendLen = kMaxPacket;
    ASSERT_TRUE(SendDataToPeer(&ctx));
    EXPECT_EQ(PeerReceives().substr(0, 4), "\0\3\0\0"s) << "the block after 65535 is 0";
}

TEST_F(CoreConversation, OversizedDatagramFailsTheReceive) {
    PeerSends(std::string(600, 'O'));
    EXPECT_FALSE(Receive());
    EXPECT_EQ(ctx.recvLen, 0);
    EXPECT_EQ(g_socketErrors, std::vector{"RecvPacketFromPeer: recv() error"s});

    // The oversized datagram was consumed: the next one arrives whole.
    PeerSends("\0\4\0\7"s);
    ASSERT_TRUE(Receive());
    EXPECT_EQ(Received(), "\0\4\0\7"s);

    // The room offered is honoured, even when it is smaller than a packet.
    PeerSends(std::string(20, 'r'));
    ctx.recvLen = 10;
    EXPECT_FALSE(RecvPacketFromPeer(&ctx));
    EXPECT_EQ(g_socketErrors.size(), 2u);

    // A caller offering more room than the buffer still gets at most a packet.
    PeerSends(std::string(kMaxPacket, 'm'));
    ctx.recvLen = 100000;
    ASSERT_TRUE(RecvPacketFromPeer(&ctx));
    EXPECT_EQ(ctx.recvLen, kMaxPacket);
    PeerSends(std::string(kMaxPacket + 1, 'm'));
    ctx.recvLen = 100000;
    EXPECT_FALSE(RecvPacketFromPeer(&ctx));
}

TEST_F(CoreConversation, PacketAboveTheMaximumIsAborted) {
    ctx.maxPacket = 100;
    PeerSends(std::string(200, 'L'));
    ctx.recvLen = kMaxPacket;
    EXPECT_FALSE(RecvPacketFromPeer(&ctx));
    EXPECT_EQ(ctx.recvLen, 0);
    EXPECT_EQ(g_largePackets,
              std::vector{"RecvPacketFromPeer: Unexpectedly large packet received. Aborting."s});
    EXPECT_TRUE(g_socketErrors.empty());
}

TEST_F(CoreConversation, EmptyDatagramAndSilenceReadAsTimeOut) {
    PeerSends("");
    ctx.recvLen = kMaxPacket;
    EXPECT_TRUE(RecvPacketFromPeer(&ctx));
    EXPECT_EQ(ctx.recvLen, 0);

    ctx.timeout = 50;
    UpdateSelectTimeout(&ctx);
    ctx.recvLen = kMaxPacket;
    EXPECT_TRUE(RecvPacketFromPeer(&ctx));
    EXPECT_EQ(ctx.recvLen, 0);
    EXPECT_TRUE(g_socketErrors.empty());
    EXPECT_TRUE(g_largePackets.empty());
}

TEST_F(CoreConversation, StrangersNeverReachTheTransfer) {
    kvp::SockAddr4 strangerAddr;
    kvp::Socket stranger = BoundSocket(&strangerAddr);
    const std::string junk = "\0\4\0\x63"s;
    ASSERT_EQ(kvp::SendTo(stranger.get(), junk.data(), 4, convAddr), 4);
    PeerSends("\0\4\0\1"s);
    ASSERT_TRUE(Receive());
    EXPECT_EQ(Received(), "\0\4\0\1"s);

    ctx.timeout = 50;
    UpdateSelectTimeout(&ctx);
    ASSERT_TRUE(Receive());
    EXPECT_EQ(ctx.recvLen, 0) << "the stranger's datagram was not queued either";
}

TEST_F(CoreConversation, ReportsNeedNoReporter) {
    ctx.reporter = nullptr;
    PeerSends(std::string(600, 'O'));
    EXPECT_FALSE(Receive());
    const CoreReporter partial = {nullptr, nullptr, nullptr};
    ctx.reporter = &partial;
    PeerSends(std::string(600, 'O'));
    EXPECT_FALSE(Receive());
    EXPECT_TRUE(g_socketErrors.empty());

    ctx.sendLen = kMaxPacket + 1;
    EXPECT_FALSE(SendPacketToPeer(&ctx)) << "a length beyond the buffer is never sent";
    ctx.sendLen = -1;
    EXPECT_FALSE(SendPacketToPeer(&ctx));
}

// The receiver's step, as the server's upload and the client's download take it.
TEST_F(CoreConversation, AcceptingDataBlocks) {
    const std::string path = env.dir() + "/received";
    ctx.file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(ctx.file, nullptr);
    UseLargeFileBuffer(&ctx);
    char text[128];
    auto judge = [&](const std::string& packet) {
        std::memcpy(ctx.recvBuf, packet.data(), packet.size());
        ctx.recvLen = static_cast<int32_t>(packet.size());
        return AcceptDataBlock(&ctx, text, sizeof text);
    };
    const std::string full = kvtest::PatternData(512, 8);
    EXPECT_EQ(judge("\0\3\0\0"s + full), DataVerdict::kOld) << "block 0 is never accepted";
    EXPECT_EQ(judge("\0\3\0\1"s + full), DataVerdict::kStored);
    EXPECT_EQ(ctx.block, 1);
    ASSERT_TRUE(AcknowledgeDataBlock(&ctx, 0, 5000));
    EXPECT_EQ(PeerReceives(), "\0\4\0\1"s);
    EXPECT_EQ(judge("\0\3\0\1"s + full), DataVerdict::kRepeat) << "written once only";
    EXPECT_EQ(judge("\0\3\0\2"s + full), DataVerdict::kStored);
    EXPECT_EQ(judge("\0\3\0\1"s + full), DataVerdict::kOld);
    // The last block is on disk when it is reported, though the stream is buffered.
    EXPECT_EQ(judge("\0\3\0\3tail"s), DataVerdict::kLast);
    EXPECT_EQ(kvtest::ReadFile(path), full + full + "tail");

    EXPECT_EQ(judge("\0\3\0\5x"s), DataVerdict::kFailed);
    EXPECT_STREQ(text, "DATA receive error. Expected block 4, got block 5. Aborting.");
    EXPECT_EQ(PeerReceives(), "\0\5\0\4"s + text + '\0');
    std::fclose(ctx.file);

    // A file that cannot be written: ERROR 3, with the system's error number.
    ctx.file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(ctx.file, nullptr);
    ctx.block = 0;
    EXPECT_EQ(judge("\0\3\0\1x"s), DataVerdict::kFailed);
    EXPECT_EQ(std::string(text).rfind("File write error ", 0), 0u) << text;
    EXPECT_EQ(PeerReceives().substr(0, 4), "\0\5\0\3"s);
    std::fclose(ctx.file);
    ctx.file = nullptr;
}

// The sender's step, as the server's download and the client's upload take it.
TEST_F(CoreConversation, AdvancingOnAcks) {
    const std::string path = env.dir() + "/sent";
    const std::string data = kvtest::PatternData(700, 4);
    kvtest::WriteFile(path, data);
    ctx.file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(ctx.file, nullptr);
    auto ack = [&](uint16_t block) {
        const std::string packet = "\0\4"s + char(block >> 8) + char(block & 0xFF);
        std::memcpy(ctx.recvBuf, packet.data(), packet.size());
        ctx.recvLen = 4;
        return AdvanceOnAck(&ctx, ReaderForMode("octet"));
    };
    // The acknowledgement of a request counts as that of a full block 0.
    ctx.sendLen = kMaxPacket;
    EXPECT_EQ(ack(0), AckVerdict::kNextBlock);
    EXPECT_EQ(ctx.block, 1);
    EXPECT_EQ(ctx.sendLen, kMaxPacket);
    EXPECT_EQ(ack(0), AckVerdict::kIgnore) << "a duplicate";
    ctx.recvLen = 3;
    EXPECT_EQ(AdvanceOnAck(&ctx, ReadOctetBlock), AckVerdict::kIgnore) << "too short";
    EXPECT_EQ(ack(1), AckVerdict::kNextBlock);
    EXPECT_EQ(ctx.sendLen, 4 + 700 - 512);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ctx.sendBuf + 4), ctx.sendLen - 4),
              data.substr(512));
    EXPECT_EQ(ack(2), AckVerdict::kComplete);
    std::fclose(ctx.file);

    // The block after 65535 is 0; a file that cannot be read fails the step.
    ctx.file = std::fopen(env.dir().c_str(), "rb");
    if (ctx.file != nullptr) {
        ctx.block = 65535;
        ctx.sendLen = kMaxPacket;
        EXPECT_EQ(ack(65535), AckVerdict::kReadFailed);
        EXPECT_EQ(ctx.block, 0);
        std::fclose(ctx.file);
    }
    ctx.file = nullptr;

    EXPECT_TRUE(IsNetasciiMode("NetAscii"));
    EXPECT_FALSE(IsNetasciiMode("netascii "));
    EXPECT_EQ(ReaderForMode("NETASCII"), ReadNetasciiBlock);
    EXPECT_EQ(ReaderForMode("binary"), ReadOctetBlock);
    EXPECT_EQ(ReaderForMode(""), ReadOctetBlock);
}

TEST(CoreRequests, RequestPacketsAndTheirLimit) {
    uint8_t buf[kMaxPacket];
    EXPECT_EQ(BuildRequestPacket(buf, kOpRrq, "a.txt", "octet"), 14);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 14), "\0\1a.txt\0octet\0"s);
    const std::string longest(kMaxPacket - 4 - 8, 'n');
    EXPECT_EQ(BuildRequestPacket(buf, kOpWrq, longest, "netascii"), kMaxPacket);
    EXPECT_EQ(buf[1], kOpWrq);
    EXPECT_EQ(BuildRequestPacket(buf, kOpWrq, longest + "n", "netascii"), 0);
}

}  // namespace
