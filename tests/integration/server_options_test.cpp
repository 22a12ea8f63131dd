// Option negotiation against scripted clients: what each request's options are answered
// with, flag off and on, and windowed transfers through lost and repeated packets.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server_harness.h"

namespace srvtest {
namespace {

using namespace std::string_literals;
using Options = std::vector<std::pair<std::string, std::string>>;

// A request with the given options after its mode; `tail` is appended raw.
std::string OptionRequest(uint16_t op, const std::string& name, const std::string& mode,
                          const Options& options, const std::string& tail = "") {
    std::string p = RequestPacket(op, name, mode);
    for (const auto& [k, v] : options) p += k + '\0' + v + '\0';
    return p + tail;
}

std::string Oack(const Options& options) {
    std::string p = "\0\6"s;
    for (const auto& [k, v] : options) p += k + '\0' + v + '\0';
    return p;
}

class ServerOptionsTest : public ServerTest {
  protected:
    void StartWith(bool on) {
        SetDwordValue("Rexttimeout", 300);
        if (on) SetFlagValue("NegotiateOptions", 1);
        StartServer();
    }
};

// The flag written as 0 is off, as an absent one is (ServerTransferTest covers that).
TEST_F(ServerOptionsTest, FlagOffServesRequestsWithOptionsAsPlainOnes) {
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(3000));
    SetFlagValue("NegotiateOptions", 0);
    StartWith(false);
    Peer peer;
    ASSERT_TRUE(
        peer.SendTo(env_.tftpPort(),
                    OptionRequest(1, "f.bin", "octet",
                                  {{"blksize", "1428"}, {"tsize", "0"}, {"windowsize", "8"}})));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(Opcode(p), 3);
    EXPECT_EQ(Block(p), 1);
    EXPECT_EQ(p.size(), 516u);
    peer.Reply(ErrorPacket(0, "done"));
}

// The first answer to each request: an OACK with exactly the options granted, DATA 1 of
// 512 bytes for a request served as without options, or an ERROR.
TEST_F(ServerOptionsTest, EachRequestGetsItsAnswer) {
    const std::string data = kvtest::PatternData(3000);
    kvtest::WriteFile(RootPath("f.bin"), data);
    kvtest::WriteFile(RootPath("t.txt"), std::string(600, '\n'));
    kvtest::WriteFile(RootPath("empty.bin"), "");
    StartWith(true);
    const std::string plain = "plain";
    struct Case {
        const char* what;
        std::string request;
        std::string answer;  // plain: DATA 1 of a plain transfer
        uint16_t error = 0;
    };
    const auto rrq = [](const Options& o, const std::string& tail = "") {
        return OptionRequest(1, "f.bin", "octet", o, tail);
    };
    const Case cases[] = {
        {"blksize", rrq({{"blksize", "1428"}}), Oack({{"blksize", "1428"}})},
        {"blksize above the maximum", rrq({{"blksize", "70000"}}), Oack({{"blksize", "65464"}})},
        {"one above the maximum", rrq({{"blksize", "65465"}}), Oack({{"blksize", "65464"}})},
        {"name case kept", rrq({{"BlkSize", "100"}}), Oack({{"BlkSize", "100"}})},
        {"tsize", rrq({{"tsize", "0"}}), Oack({{"tsize", "3000"}})},
        {"timeout", rrq({{"timeout", "3"}}), Oack({{"timeout", "3"}})},
        {"windowsize", rrq({{"windowsize", "8"}}), Oack({{"windowsize", "8"}})},
        {"windowsize above 64", rrq({{"windowsize", "1000"}}), Oack({{"windowsize", "64"}})},
        {"unknown option skipped", rrq({{"foo", "bar"}, {"blksize", "600"}}),
         Oack({{"blksize", "600"}})},
        {"all four",
         rrq({{"blksize", "1024"}, {"tsize", "0"}, {"timeout", "2"}, {"windowsize", "4"}}),
         Oack({{"blksize", "1024"}, {"tsize", "3000"}, {"timeout", "2"}, {"windowsize", "4"}})},
        {"padding after the options", rrq({{"tsize", "0"}}, "\0\0\0"s), Oack({{"tsize", "3000"}})},
        {"only unknown options", rrq({{"foo", "1"}}), plain},
        {"an empty file's tsize left out",
         OptionRequest(1, "empty.bin", "octet", {{"tsize", "0"}, {"blksize", "1024"}}),
         Oack({{"blksize", "1024"}})},
        {"netascii tsize left out", OptionRequest(1, "t.txt", "netascii", {{"tsize", "0"}}), plain},
        {"letters", rrq({{"blksize", "12ab"}}), plain},
        {"empty value", rrq({{"blksize", ""}}), plain},
        {"repeated name", rrq({{"blksize", "1024"}, {"BLKSIZE", "1024"}}), plain},
        {"value without terminator", rrq({}, "blksize\0001428"s), plain},
        {"name without value", rrq({{"tsize", "0"}}, "blksize\0"s), plain},
        {"blksize 7", rrq({{"blksize", "7"}}), "", 8},
        {"blksize 0", rrq({{"blksize", "0"}}), "", 8},
        {"windowsize 0", rrq({{"windowsize", "0"}}), "", 8},
        {"windowsize 65536", rrq({{"windowsize", "65536"}}), "", 8},
        {"timeout 0", rrq({{"timeout", "0"}}), "", 8},
        {"timeout 256", rrq({{"timeout", "256"}}), "", 8},
        {"upload too large for the disk",
         OptionRequest(2, "up.bin", "octet", {{"tsize", "1099511627776"}}), "", 3},
        {"upload blksize", OptionRequest(2, "up2.bin", "octet", {{"blksize", "1024"}}),
         Oack({{"blksize", "1024"}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Peer peer;
        ASSERT_TRUE(peer.SendTo(env_.tftpPort(), c.request));
        std::string p;
        ASSERT_TRUE(peer.Receive(&p));
        if (c.error != 0) {
            EXPECT_EQ(Opcode(p), 5);
            EXPECT_EQ(Block(p), c.error);
            continue;
        }
        if (c.answer == plain) {
            EXPECT_EQ(Opcode(p), 3);
            EXPECT_EQ(Block(p), 1);
            EXPECT_EQ(p.size(), 516u);
        } else {
            EXPECT_EQ(p, c.answer);
        }
        // Any ERROR from the client ends the transfer, which the server logs.
        const size_t mark = EventLines().size();
        peer.Reply(ErrorPacket(8, "declined"));
        EXPECT_NE(WaitForLineStarting("Serve", mark).find("Error received during transfer"),
                  std::string::npos);
    }
}

// A receiver of a window: acknowledges the window's last block and the file's, on a gap
// the last block in order (once per gap), and on silence that block again. Blocks whose
// number is in `drop` are ignored the first time they come; with `extraAcks` every ACK
// goes twice and is followed by a stale one.
struct WindowClient {
    uint32_t blksize;
    uint32_t window;
    std::set<uint32_t> drop;  // counted from 1 across rollover
    bool dropOack = false;
    bool extraAcks = false;
};

std::string RunWindowedDownload(Peer& peer, uint16_t port, const std::string& name,
                                const WindowClient& c, bool* ok) {
    *ok = false;
    peer.SendTo(port, OptionRequest(1, name, "octet",
                                    {{"blksize", std::to_string(c.blksize)},
                                     {"windowsize", std::to_string(c.window)}}));
    std::string p;
    if (!peer.Receive(&p) || Opcode(p) != 6) return "";
    if (c.dropOack && !peer.Receive(&p)) return "";  // the OACK again, after a time-out
    if (Opcode(p) != 6) return "";
    std::set<uint32_t> dropped;
    std::string data;
    uint32_t got = 0;  // blocks taken in order
    uint32_t inWindow = 0;
    bool gapAnswered = false;
    const auto ack = [&](uint32_t n) {
        peer.Reply(AckPacket(static_cast<uint16_t>(n)));
        if (c.extraAcks) {
            peer.Reply(AckPacket(static_cast<uint16_t>(n)));
            if (n > 0) peer.Reply(AckPacket(static_cast<uint16_t>(n - 1)));
        }
    };
    ack(0);
    while (peer.Receive(&p, 3000)) {
        if (Opcode(p) != 3) return data;
        const uint16_t ahead = static_cast<uint16_t>(Block(p) - static_cast<uint16_t>(got));
        if (ahead == 0 || ahead >= 0x8000) continue;  // a block taken already
        const uint32_t n = got + ahead;
        if (c.drop.count(n) != 0 && dropped.insert(n).second) continue;
        if (n != got + 1) {
            if (!gapAnswered) {
                ack(got);
                gapAnswered = true;
                inWindow = 0;
            }
            continue;
        }
        ++got;
        gapAnswered = false;
        data.append(p, 4, std::string::npos);
        const bool last = p.size() < c.blksize + 4;
        if (last || ++inWindow == c.window) {
            ack(got);
            inWindow = 0;
        }
        if (last) {
            *ok = true;
            return data;
        }
    }
    return data;
}

TEST_F(ServerOptionsTest, WindowedDownloadsSurviveLossAndRepeats) {
    const std::string data = kvtest::PatternData(30000);
    kvtest::WriteFile(RootPath("f.bin"), data);
    // 2^16 blocks and a few of 8 bytes: the block number rolls over.
    const std::string rolled = kvtest::PatternData(65540 * 8 + 3, 7);
    kvtest::WriteFile(RootPath("r.bin"), rolled);
    StartWith(true);
    struct Case {
        const char* what;
        const char* file;
        WindowClient client;
    };
    const Case cases[] = {
        {"lock-step, large blocks", "f.bin", {1428, 1, {}}},
        {"a window", "f.bin", {1000, 8, {}}},
        {"the OACK or ACK 0 lost: the OACK again", "f.bin", {1000, 4, {}, true}},
        {"a block lost mid-window", "f.bin", {512, 8, {5}}},
        {"a window's first block lost", "f.bin", {512, 8, {9}}},
        {"the last block lost", "f.bin", {512, 8, {59}}},
        {"duplicate and stale ACKs", "f.bin", {512, 8, {}, false, true}},
        {"rollover", "r.bin", {8, 16, {65536}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t mark = EventLines().size();
        Peer peer;
        bool ok = false;
        const std::string got = RunWindowedDownload(peer, env_.tftpPort(), c.file, c.client, &ok);
        EXPECT_TRUE(ok);
        EXPECT_TRUE(got == (c.file == "f.bin"s ? data : rolled));
        EXPECT_TRUE(
            WaitForLine("ServeReadRequest: 127.0.0.1 downloaded " + RootPath(c.file) + ".", mark));
    }
    EXPECT_TRUE(WaitForLine("ServeReadRequest: Options granted for " + RootPath("r.bin") +
                            ": blksize 8, windowsize 16."));
}

// Uploads acknowledge each window and the last block; after a gap, the last block in
// order; with the block number past 65535.
TEST_F(ServerOptionsTest, WindowedUploadsAcknowledgeWindowsAndGaps) {
    StartWith(true);
    {
        const std::string data = kvtest::PatternData(512 * 9 + 100);
        Peer peer;
        ASSERT_TRUE(peer.SendTo(
            env_.tftpPort(),
            OptionRequest(2, "w.bin", "octet",
                          {{"windowsize", "4"}, {"tsize", std::to_string(data.size())}})));
        std::string p;
        ASSERT_TRUE(peer.Receive(&p));
        ASSERT_EQ(p, Oack({{"tsize", std::to_string(data.size())}, {"windowsize", "4"}}));
        const auto send = [&](uint16_t n) {
            peer.Reply(DataPacket(n, data.substr((n - 1) * 512u, 512)));
        };
        // Blocks 1, 2 and 4: the gap at 3 is answered with ACK 2, once.
        send(1);
        send(2);
        send(4);
        send(5);
        ASSERT_TRUE(peer.Receive(&p));
        EXPECT_EQ(p, AckPacket(2));
        for (uint16_t n = 3; n <= 6; ++n) send(n);
        ASSERT_TRUE(peer.Receive(&p));
        EXPECT_EQ(p, AckPacket(6));
        for (uint16_t n = 7; n <= 10; ++n) send(n);  // 10 is the short last block
        ASSERT_TRUE(peer.Receive(&p));
        EXPECT_EQ(p, AckPacket(10));
        EXPECT_TRUE(
            WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + RootPath("w.bin") + "."));
        EXPECT_EQ(kvtest::ReadFile(RootPath("w.bin")), data);
    }
    {
        // 65537 blocks of 8 bytes and a short one.
        const std::string data = kvtest::PatternData(65537 * 8 + 5, 3);
        Peer peer;
        ASSERT_TRUE(peer.SendTo(
            env_.tftpPort(),
            OptionRequest(2, "r.bin", "octet", {{"blksize", "8"}, {"windowsize", "16"}})));
        std::string p;
        ASSERT_TRUE(peer.Receive(&p));
        ASSERT_EQ(Opcode(p), 6);
        const uint32_t blocks = 65538;
        for (uint32_t first = 1; first <= blocks; first += 16) {
            const uint32_t last = std::min(blocks, first + 15);
            for (uint32_t n = first; n <= last; ++n)
                peer.Reply(DataPacket(static_cast<uint16_t>(n), data.substr((n - 1) * 8u, 8)));
            ASSERT_TRUE(peer.Receive(&p));
            ASSERT_EQ(p, AckPacket(static_cast<uint16_t>(last))) << first;
        }
        EXPECT_TRUE(
            WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + RootPath("r.bin") + "."));
        EXPECT_TRUE(kvtest::ReadFile(RootPath("r.bin")) == data);
    }
}

}  // namespace
}  // namespace srvtest
