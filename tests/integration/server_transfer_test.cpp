// Whole downloads and uploads through the engine, compared byte for byte.
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kv/paths.h"
#include "server_harness.h"

namespace srvtest {
namespace {

class ServerTransferTest : public ServerTest {
  protected:
    std::set<std::string> RootNames() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(root_)) {
            names.insert(e.path().filename().string());
        }
        return names;
    }
    // Sends the WRQ and the given full blocks, each acknowledged.
    void BeginUpload(Peer& peer, const std::string& name, int blocks, char fill) {
        ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(2, name, "octet")));
        std::string p;
        ASSERT_TRUE(peer.Receive(&p));
        ASSERT_EQ(p, AckPacket(0));
        for (int b = 1; b <= blocks; ++b) {
            ASSERT_TRUE(peer.Reply(DataPacket(static_cast<uint16_t>(b), std::string(512, fill))));
            do {
                ASSERT_TRUE(peer.Receive(&p));
            } while (p != AckPacket(static_cast<uint16_t>(b)));
        }
    }
};

const size_t kSizes[] = {0, 1, 511, 512, 513, 1 << 20, 33553919};

TEST_F(ServerTransferTest, DownloadsOfEverySizeArriveWhole) {
    StartServer();
    for (size_t size : kSizes) {
        SCOPED_TRACE(size);
        const std::string name = "down" + std::to_string(size) + ".bin";
        const std::string data = kvtest::PatternData(size, static_cast<uint32_t>(size));
        kvtest::WriteFile(RootPath(name), data);
        const size_t mark = EventLines().size();
        Peer peer;
        const TransferResult r = Download(peer, env_.tftpPort(), name);
        ASSERT_TRUE(r.ok);
        EXPECT_TRUE(r.data == data);
        // Every file ends with a short block, so a multiple of 512 ends with an empty one.
        EXPECT_EQ(r.dataPackets, static_cast<int>(size / 512 + 1));
        EXPECT_NE(r.conversationPort, env_.tftpPort());
        const std::string path = RootPath(name);
        EXPECT_TRUE(WaitForLine(
            "RRQ from 127.0.0.1:" + std::to_string(peer.port()) + " for octet:" + path + ".",
            mark));
        EXPECT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 downloaded " + path + ".", mark));
    }
}

TEST_F(ServerTransferTest, UploadsOfEverySizeAreStoredWhole) {
    SetFlagValue("AllowOverwrite", 0);
    StartServer();
    for (size_t size : kSizes) {
        SCOPED_TRACE(size);
        const std::string name = "up" + std::to_string(size) + ".bin";
        const std::string data = kvtest::PatternData(size, static_cast<uint32_t>(size) + 7);
        const size_t mark = EventLines().size();
        Peer peer;
        const TransferResult r = Upload(peer, env_.tftpPort(), name, data);
        ASSERT_TRUE(r.ok) << r.errorText;
        EXPECT_NE(r.conversationPort, env_.tftpPort());
        const std::string path = RootPath(name);
        // The file is complete and closed before the outcome is logged.
        ASSERT_TRUE(WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + path + ".", mark));
        EXPECT_TRUE(kvtest::ReadFile(path) == data);
        EXPECT_TRUE(WaitForLine(
            "WRQ from 127.0.0.1:" + std::to_string(peer.port()) + " for octet:" + path + ".",
            mark));
    }
}

TEST_F(ServerTransferTest, NetasciiDownloadsConvertBareLineFeeds) {
    // A bare LF becomes CR LF, a CR LF pair and a lone CR stay; the pair made for the
    // LF at offset 511 is split across the block boundary without a second CR.
    const std::string head = "a\nb\r\nc\rd\n";
    const std::string filler(511 - head.size(), 'x');
    const std::string text = head + filler + "\n" + "tail\n";
    kvtest::WriteFile(RootPath("text.txt"), text);
    std::string converted;
    for (char c : text) {
        if (c == '\n' && (converted.empty() || converted.back() != '\r')) converted += '\r';
        converted += c;
    }
    // The source's own CR before the LF of "b\r\n" must not gain a second one.
    StartServer();
    for (const char* mode : {"netascii", "NetAscii", "NETASCII"}) {
        SCOPED_TRACE(mode);
        Peer peer;
        const TransferResult r = Download(peer, env_.tftpPort(), "text.txt", mode);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.data, converted);
    }
    for (const char* mode : {"octet", "binary", "mail", ""}) {
        SCOPED_TRACE(mode);
        Peer peer;
        const TransferResult r = Download(peer, env_.tftpPort(), "text.txt", mode);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.data, text);
    }
}

TEST_F(ServerTransferTest, NetasciiBlockBoundaryFallsAfter512ConvertedBytes) {
    // 511 letters and an LF: block 1 ends with the CR, block 2 carries the LF alone.
    kvtest::WriteFile(RootPath("edge.txt"), std::string(511, 'q') + "\nz");
    StartServer();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(1, "edge.txt", "netascii")));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(Block(p), 1);
    ASSERT_EQ(p.size(), 516u);
    EXPECT_EQ(p.back(), '\r');
    ASSERT_TRUE(peer.Reply(AckPacket(1)));
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(Block(p), 2);
    EXPECT_EQ(p.substr(4), "\nz");
    peer.Reply(AckPacket(2));
}

TEST_F(ServerTransferTest, NetasciiUploadIsStoredAsReceived) {
    StartServer();
    const std::string data = "line one\r\nline two\r\n\r\nbare\nend";
    Peer peer;
    const size_t mark = EventLines().size();
    const TransferResult r = Upload(peer, env_.tftpPort(), "ascii.txt", data, "netascii");
    ASSERT_TRUE(r.ok);
    const std::string path = RootPath("ascii.txt");
    ASSERT_TRUE(WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + path + ".", mark));
    EXPECT_EQ(kvtest::ReadFile(path), data);
}

TEST_F(ServerTransferTest, DownloadBlockNumbersWrapToZeroAfter65535) {
    const size_t size = 65536u * 512u + 100u;
    const std::string data = kvtest::PatternData(size, 99);
    kvtest::WriteFile(RootPath("huge.bin"), data);
    StartServer();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(1, "huge.bin", "octet")));
    std::string received;
    received.reserve(size);
    uint32_t count = 0;
    std::string p;
    for (;;) {
        ASSERT_TRUE(peer.Receive(&p));
        ASSERT_EQ(Opcode(p), 3);
        // A block sent again after a stall of this busy machine: acknowledged again.
        if (count > 0 && Block(p) == static_cast<uint16_t>(count)) {
            ASSERT_TRUE(peer.Reply(AckPacket(Block(p))));
            continue;
        }
        // The 16-bit counter runs 1 .. 65535, 0, 1, ...
        ASSERT_EQ(Block(p), static_cast<uint16_t>(count + 1));
        ++count;
        received.append(p, 4, std::string::npos);
        // The ACK of block 0 acknowledges the block after 65535.
        ASSERT_TRUE(peer.Reply(AckPacket(Block(p))));
        if (p.size() < 516) break;
    }
    EXPECT_EQ(count, 65537u);
    EXPECT_TRUE(received == data);
}

TEST_F(ServerTransferTest, UploadBeyond65535BlocksStallsAndEndsByTimeout) {
    StartServer();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(2, "toolong.bin", "octet")));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(Opcode(p), 4);
    ASSERT_EQ(Block(p), 0);
    const std::string payload(512, 'u');
    for (uint32_t b = 1; b <= 65535; ++b) {
        ASSERT_TRUE(peer.Reply(DataPacket(static_cast<uint16_t>(b), payload)));
        // A loaded machine can delay a block past the server's time-out, which then
        // sends the previous ACK again.
        do {
            ASSERT_TRUE(peer.Receive(&p));
        } while (Block(p) == static_cast<uint16_t>(b - 1));
        ASSERT_EQ(Block(p), static_cast<uint16_t>(b));
    }
    const size_t mark = EventLines().size();
    // Block 65536 would be numbered 0: it is never accepted nor acknowledged.
    ASSERT_TRUE(peer.Reply(DataPacket(0, "x")));
    const std::string path = RootPath("toolong.bin");
    // The horizon: seven waits of the 1000 ms "Rexttimeout", reached in about 8 s of
    // backed-off waits.
    EXPECT_TRUE(WaitForLine("ServeWriteRequest: Timeout exceeded during transfer of " + path + ".",
                            mark, 30000));
    EXPECT_TRUE(
        WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
    // What came meanwhile are re-sends of the last ACK at the time-outs, never an ACK 0.
    while (peer.Receive(&p, 100)) EXPECT_EQ(p, AckPacket(65535));
    // The failed upload leaves nothing.
    EXPECT_TRUE(std::filesystem::is_empty(root_));
}

TEST_F(ServerTransferTest, OptionsInARequestAreIgnored) {
    kvtest::WriteFile(RootPath("opt.bin"), kvtest::PatternData(1500));
    StartServer();
    Peer peer;
    std::string rrq = RequestPacket(1, "opt.bin", "octet");
    rrq += std::string("blksize") + '\0' + "1428" + '\0' + "tsize" + '\0' + "0" + '\0';
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), rrq));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    // No option acknowledgement (opcode 6): plain DATA of 512 bytes.
    EXPECT_EQ(Opcode(p), 3);
    EXPECT_EQ(Block(p), 1);
    EXPECT_EQ(p.size(), 516u);
    peer.Reply(ErrorPacket(0, "done"));
}

TEST_F(ServerTransferTest, TwoRequestsAreServedAtTheSameTime) {
    kvtest::WriteFile(RootPath("a.bin"), kvtest::PatternData(2000, 1));
    kvtest::WriteFile(RootPath("b.bin"), kvtest::PatternData(2000, 2));
    StartServer();
    Peer first;
    Peer second;
    ASSERT_TRUE(first.SendTo(env_.tftpPort(), RequestPacket(1, "a.bin", "octet")));
    ASSERT_TRUE(second.SendTo(env_.tftpPort(), RequestPacket(1, "b.bin", "octet")));
    // Both first blocks arrive before either is acknowledged.
    std::string p1;
    std::string p2;
    ASSERT_TRUE(first.Receive(&p1));
    ASSERT_TRUE(second.Receive(&p2));
    EXPECT_EQ(p1.substr(4), kvtest::PatternData(2000, 1).substr(0, 512));
    EXPECT_EQ(p2.substr(4), kvtest::PatternData(2000, 2).substr(0, 512));
    EXPECT_NE(first.lastFromPort(), second.lastFromPort());
    first.Reply(ErrorPacket(0, "enough"));
    second.Reply(ErrorPacket(0, "enough"));
}

// A transfer costs its conversation socket and its file, nothing per thread, so that the
// most transfers the listener runs at once (384) stay well within an open-file limit of
// 1024. (Here each transfer also has its client's socket in this same process.)
TEST_F(ServerTransferTest, SimultaneousTransfersHoldOnlyTheirSocketsAndFiles) {
    const int before = kvtest::OpenDescriptors();
    if (before < 0) GTEST_SKIP() << "the system does not list open descriptors";
    constexpr int kTransfers = 200;
    kvtest::WriteFile(RootPath("many.bin"), kvtest::PatternData(4000, 5));
    StartServer();
    const int idle = kvtest::OpenDescriptors();
    std::vector<std::unique_ptr<Peer>> peers;
    // Each client answers its first block (unanswered transfers from one address are few
    // at a time): every transfer has sent its second block and waits for its ACK.
    for (int i = 0; i < kTransfers; ++i) {
        peers.push_back(std::make_unique<Peer>());
        Peer& peer = *peers.back();
        ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(1, "many.bin", "octet")));
        std::string p;
        ASSERT_TRUE(peer.Receive(&p));
        ASSERT_EQ(Block(p), 1);
        ASSERT_TRUE(peer.Reply(AckPacket(1)));
        ASSERT_TRUE(peer.Receive(&p));
        ASSERT_EQ(Block(p), 2);
    }
    const int busy = kvtest::OpenDescriptors();
    EXPECT_LE(busy - idle, 3 * kTransfers + 4) << "client, conversation socket and file each";
    for (auto& peer : peers) peer->Reply(ErrorPacket(0, "enough"));
    peers.clear();
    // Everything a transfer held is released when it ends.
    int now = kvtest::OpenDescriptors();
    for (int waited = 0; now > idle + 4 && waited < kPromptMs; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = kvtest::OpenDescriptors();
    }
    EXPECT_LE(now, idle + 4);
}

// However an upload over an existing file ends short of its last block, the old file
// stays byte for byte and nothing else is left beside it.
TEST_F(ServerTransferTest, FailedOverwritesLeaveTheOldFileWhole) {
    SetDwordValue("Rexttimeout", 100);
    SetFlagValue("AllowOverwrite", 1);
    const std::string old = kvtest::PatternData(5000, 11);
    kvtest::WriteFile(RootPath("keep.bin"), old);
    const std::string path = RootPath("keep.bin");
    StartServer();
    enum class End { kSilenceAfterRequest, kErrorFromClient, kServerStopped };
    for (End end : {End::kSilenceAfterRequest, End::kErrorFromClient, End::kServerStopped}) {
        SCOPED_TRACE(static_cast<int>(end));
        const size_t mark = EventLines().size();
        Peer peer;
        BeginUpload(peer, "keep.bin", end == End::kSilenceAfterRequest ? 0 : 3, 'n');
        ASSERT_FALSE(HasFatalFailure());
        if (end == End::kErrorFromClient) {
            ASSERT_TRUE(peer.Reply(ErrorPacket(0, "cancelled")));
        }
        // The upload outlives the stop and ends when its client falls silent.
        if (end == End::kServerStopped) StopServer();
        ASSERT_TRUE(
            WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
        EXPECT_TRUE(kvtest::ReadFile(path) == old);
        EXPECT_EQ(RootNames(), std::set<std::string>{"keep.bin"});
        if (end == End::kServerStopped) StartServer();
    }
}

TEST_F(ServerTransferTest, AbandonedUploadOfANewNameLeavesItFree) {
    SetDwordValue("Rexttimeout", 100);
    SetFlagValue("AllowOverwrite", 0);
    StartServer();
    const std::string path = RootPath("fresh.bin");
    const size_t mark = EventLines().size();
    {
        Peer peer;
        BeginUpload(peer, "fresh.bin", 0, 'x');
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(
            WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
    }
    EXPECT_TRUE(std::filesystem::is_empty(root_));
    Peer peer;
    ASSERT_TRUE(Upload(peer, env_.tftpPort(), "fresh.bin", "second try").ok);
    ASSERT_TRUE(WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + path + ".", mark));
    EXPECT_EQ(kvtest::ReadFile(path), "second try");
}

// The new contents are received under a name of their own, which nobody may ask for,
// and take the file's place only when complete.
TEST_F(ServerTransferTest, DownloadDuringAnUploadGetsTheOldFileWhole) {
    SetFlagValue("AllowOverwrite", 1);
    const std::string old = kvtest::PatternData(3000, 21);
    kvtest::WriteFile(RootPath("file.bin"), old);
    StartServer();
    Peer up;
    BeginUpload(up, "file.bin", 2, 'n');
    ASSERT_FALSE(HasFatalFailure());

    std::set<std::string> names = RootNames();
    ASSERT_EQ(names.size(), 2u);
    names.erase("file.bin");
    const std::string staged = *names.begin();
    EXPECT_EQ(staged.rfind(kvp::kStagedNamePrefix, 0), 0u) << staged;
    {
        Peer asker;
        const TransferResult r = Download(asker, env_.tftpPort(), staged);
        ASSERT_TRUE(r.gotError);
        EXPECT_EQ(r.errorCode, 1);
        EXPECT_EQ(r.errorText,
                  "CheckFilenameToRead: Unable to open " + RootPath(staged) + " for reading.");
        const TransferResult w = Upload(asker, env_.tftpPort(), staged, "x");
        ASSERT_TRUE(w.gotError);
        EXPECT_EQ(w.errorCode, 1);
    }
    {
        Peer down;
        const TransferResult r = Download(down, env_.tftpPort(), "file.bin");
        ASSERT_TRUE(r.ok);
        EXPECT_TRUE(r.data == old);
    }

    const size_t mark = EventLines().size();
    std::string p;
    ASSERT_TRUE(up.Reply(DataPacket(3, "end")));
    do {
        ASSERT_TRUE(up.Receive(&p));
    } while (p != AckPacket(3));
    ASSERT_TRUE(
        WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + RootPath("file.bin") + ".", mark));
    Peer down;
    EXPECT_EQ(Download(down, env_.tftpPort(), "file.bin").data, std::string(1024, 'n') + "end");
    EXPECT_EQ(RootNames(), std::set<std::string>{"file.bin"});
}

// On a small file system of its own (root only): an upload that fits above the reserve
// is stored, one that would eat into it is refused with code 3 and leaves nothing.
TEST_F(ServerTransferTest, UploadsStopShortOfTheDiskReserve) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a file system needs root";
    }
    if (::mount("tmpfs", root_.c_str(), "tmpfs", 0, "size=8m") != 0) {
        GTEST_SKIP() << "no tmpfs mount here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{root_};
    uint64_t available = 0;
    uint64_t total = 0;
    ASSERT_TRUE(kvp::GetDiskSpace(root_.c_str(), &available, &total));
    const uint64_t reserve = std::min<uint64_t>(64u << 20, total / 100 * 5);
    ASSERT_GT(available, reserve + (1u << 20));
    StartServer();

    const std::string fits = kvtest::PatternData(available - reserve - (256u << 10), 31);
    {
        Peer peer;
        const size_t mark = EventLines().size();
        ASSERT_TRUE(Upload(peer, env_.tftpPort(), "fits.bin", fits).ok);
        ASSERT_TRUE(WaitForLine(
            "ServeWriteRequest: 127.0.0.1 uploaded " + RootPath("fits.bin") + ".", mark));
        EXPECT_TRUE(kvtest::ReadFile(RootPath("fits.bin")) == fits);
    }
    for (size_t size : {size_t{512u << 10}, size_t{4u << 20}}) {
        SCOPED_TRACE(size);
        const std::string path = RootPath("big.bin");
        const size_t mark = EventLines().size();
        Peer peer;
        const TransferResult r = Upload(peer, env_.tftpPort(), "big.bin", std::string(size, 'b'));
        EXPECT_FALSE(r.ok);
        ASSERT_TRUE(r.gotError);
        EXPECT_EQ(r.errorCode, 3);
        EXPECT_EQ(r.errorText,
                  "No space is left on the device, or the storage quota has been exceeded.");
        EXPECT_TRUE(WaitForLine(
            "ServeWriteRequest: Too little free disk space left to receive " + path + ". Aborting.",
            mark));
        ASSERT_TRUE(
            WaitForLine("ServeWriteRequest: Failed to receive " + path + " from 127.0.0.1.", mark));
        EXPECT_EQ(RootNames(), std::set<std::string>{"fits.bin"});
        ASSERT_TRUE(kvp::GetDiskSpace(root_.c_str(), &available, &total));
        EXPECT_GE(available, reserve);
    }
}

}  // namespace
}  // namespace srvtest
