// Read requests that are never answered, from many sockets on many loopback addresses
// (as forged ones would come), while a real client downloads: the client must still be
// served, and the server must come back to rest once the flood ends.
//
// The flood lasts a few seconds; KVTFTP_FLOOD_SECONDS makes it longer (by hand), and
// then the server runs with the default-like initial time-out of a second.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server_harness.h"

namespace srvtest {
namespace {

using Clock = std::chrono::steady_clock;

using kvtest::ProcessThreads;

int FloodSeconds() {
    const char* v = std::getenv("KVTFTP_FLOOD_SECONDS");
    const int n = v != nullptr ? std::atoi(v) : 0;
    return n > 0 ? n : 3;
}

// Sockets bound to 127.0.0.first .. 127.0.0.(first + addresses - 1), each sending one
// read request in turn at `perSecond` until stopped; nothing is ever read or answered.
class Flood {
  public:
    Flood(int firstAddress, int addresses, int socketsPerAddress, int perSecond, uint16_t port,
          const std::string& name)
        : port_(port), request_(RequestPacket(1, name, "octet")), perSecond_(perSecond) {
        for (int a = 0; a < addresses; ++a) {
            for (int k = 0; k < socketsPerAddress; ++k) {
                kvp::Socket s(kvp::UdpSocket());
                kvp::SockAddr4 local;
                local.addr =
                    kvp::HostToNet32(0x7F000000u + static_cast<uint32_t>(firstAddress + a));
                // Ports the system hands out: the tests' servers take theirs from below
                // that range, so hundreds of sockets here take none of them, and runs side
                // by side share no port.
                local.port = 0;
                if (!s.valid() || kvp::Bind(s.get(), local) != 0) continue;
                sockets_.push_back(std::move(s));
            }
        }
    }
    size_t sockets() const { return sockets_.size(); }
    // Sends until `end` (or Stop): a download that outlasts the flood's time, as on a
    // loaded machine, does not lengthen it.
    void Start(Clock::time_point end) {
        thread_ = std::thread([this, end] {
            const auto start = Clock::now();
            for (size_t i = 0; !stop_.load() && Clock::now() < end; ++i) {
                kvp::SendTo(sockets_[i % sockets_.size()].get(), request_.data(),
                            static_cast<int>(request_.size()), Loopback(port_));
                sent_.fetch_add(1);
                std::this_thread::sleep_until(
                    start + std::chrono::microseconds((i + 1) * 1000000 / perSecond_));
            }
        });
    }
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    int sent() const { return sent_.load(); }
    ~Flood() { Stop(); }

  private:
    std::vector<kvp::Socket> sockets_;
    uint16_t port_;
    std::string request_;
    int perSecond_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

class ServerFloodTest : public ServerTest {};

TEST_F(ServerFloodTest, RealClientIsServedThroughAFloodOfUnansweredRequests) {
    const int seconds = FloodSeconds();
    const bool byHand = std::getenv("KVTFTP_FLOOD_SECONDS") != nullptr;
    // The event log would take most of the time under a flood; the outcome is seen here.
    SetFlagValue("LogEventLogs", 0);
    SetDwordValue("Rexttimeout", byHand ? 1000 : 100);
    const std::string data = kvtest::PatternData(20000);
    kvtest::WriteFile(RootPath("f.bin"), data);
    struct Case {
        const char* what;
        int firstAddress;
        int addresses;
        int socketsPerAddress;
    };
    const Case cases[] = {
        {"150 addresses", 2, 150, 6},
        {"one address", 2, 1, 100},
        {"the client's own address", 1, 1, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartServer();
        const int rest = ProcessThreads();
        Flood flood(c.firstAddress, c.addresses, c.socketsPerAddress, 300, env_.tftpPort(),
                    "f.bin");
        ASSERT_GT(flood.sockets(), 0u);
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        flood.Start(end);
        int downloads = 0;
        int peakThreads = 0;
        long slowestMs = 0;
        while (Clock::now() < end || downloads < 3) {
            const auto begin = Clock::now();
            // As a real client would: it asks again after 4 s without a first block, from
            // a new port, and gives up after its third request.
            TransferResult r;
            for (int attempt = 0; attempt < 3 && !r.ok; ++attempt) {
                Peer peer;
                r = Download(peer, env_.tftpPort(), "f.bin", "octet", 4000);
            }
            const long ms = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin)
                    .count());
            EXPECT_TRUE(r.ok) << "download " << downloads << " after " << ms << " ms";
            EXPECT_TRUE(r.data == data);
            slowestMs = std::max(slowestMs, ms);
            peakThreads = std::max(peakThreads, ProcessThreads());
            ++downloads;
            // Several downloads over the flood, not a flood of downloads.
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        flood.Stop();
        std::printf(
            "[ flood    ] %s: %d requests from %zu sockets in %d s; %d downloads, "
            "slowest %ld ms; threads at rest %d, at most %d\n",
            c.what, flood.sent(), flood.sockets(), seconds, downloads, slowestMs, rest,
            peakThreads);
        if (rest > 0) {
            // The unanswered transfers are bounded, well below the bound on request
            // threads (384) that a flood reached before.
            EXPECT_LT(peakThreads, rest + 200);
            // Every flooded transfer ends by itself once the flood stops.
            const int bound = rest + 2;
            const auto until = Clock::now() + std::chrono::seconds(60);
            const auto stopped = Clock::now();
            while (ProcessThreads() > bound && Clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            EXPECT_LE(ProcessThreads(), bound);
            std::printf(
                "[ flood    ] %s: at rest %lld ms after the flood\n", c.what,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped)
                        .count()));
        }
        StopServer();
    }
}

TEST_F(ServerFloodTest, NewRequestDisplacesTheOldestOverdueTransferFromItsAddress) {
    // Waits long enough that no transfer here ends by time-out; the first wait is a second.
    SetDwordValue("Rexttimeout", 5000);
    kvtest::WriteFile(RootPath("f.bin"), "data");
    StartServer();
    const size_t mark = EventLines().size();
    const std::string displaced = "ServeReadRequest: 127.0.0.1 did not answer for " +
                                  RootPath("f.bin") + "; a newer request took its place.";
    std::vector<std::unique_ptr<Peer>> peers;
    std::string p;
    const auto request = [&] {
        peers.push_back(std::make_unique<Peer>());
        ASSERT_TRUE(peers.back()->SendTo(env_.tftpPort(), RequestPacket(1, "f.bin", "octet")));
        ASSERT_TRUE(peers.back()->Receive(&p));
        EXPECT_EQ(Block(p), 1);
    };
    // Clients that ask together, more of them than one address may keep waiting past
    // their first wait, are all served while none has let that wait pass.
    for (int i = 0; i < 12; ++i) request();
    // Each sends its block again after its first wait: none was ended meanwhile.
    for (auto& peer : peers) {
        ASSERT_TRUE(peer->Receive(&p, 3000));
        EXPECT_EQ(Block(p), 1);
    }
    EXPECT_EQ(CountLines(displaced, mark), 0u);
    // Past their first wait, eight are allowed: the next request ends the oldest five.
    request();
    EXPECT_TRUE(WaitForLine(displaced, mark));
    // The others run on: each ends by its client's ERROR.
    for (auto& peer : peers) ASSERT_TRUE(peer->Reply(ErrorPacket(0, "done")));
    const std::string received = "ServeReadRequest: Error received during transfer of " +
                                 RootPath("f.bin") +
                                 ". Error code 00 (An unspecified error occurred.). "
                                 "Details: done";
    const auto begin = Clock::now();
    while (CountLines(received, mark) < 8 && Clock::now() - begin < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(CountLines(received, mark), 8u);
    EXPECT_EQ(CountLines(displaced, mark), 5u);
}

// Where the system tells a transfer that its client's port is closed (Linux; Wine does
// not), each such transfer ends at once with a line in the log and no box.
TEST_F(ServerFloodTest, VanishedClientsAreLoggedWithoutABox) {
    kvtest::WriteFile(RootPath("f.bin"), kvtest::PatternData(2000));
    StartServer();
    const size_t mark = EventLines().size();
    constexpr int kClients = 20;
    const std::string failed =
        "ServeReadRequest: 127.0.0.1 failed to download " + RootPath("f.bin") + ".";
    for (int i = 0; i < kClients; ++i) {
        {
            // Gone before the first block comes: the system answers it as a closed port.
            Peer peer;
            ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(1, "f.bin", "octet")));
        }
        // One after the other, each ending by its own error (not displaced by the next).
        const auto begin = std::chrono::steady_clock::now();
        while (CountLines(failed, mark) < static_cast<size_t>(i + 1) &&
               std::chrono::steady_clock::now() - begin < std::chrono::milliseconds(kPromptMs)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(CountLines(failed, mark), static_cast<size_t>(kClients));
    // Each one's socket error ("Connection refused", or the platform's words for it).
    const std::string refused = "RecvPacketFromPeer: recv() error: ";
    const std::vector<std::string> lines = EventLines();
    const size_t errors =
        std::count_if(lines.begin() + static_cast<long>(mark), lines.end(),
                      [&](const std::string& l) { return l.rfind(refused, 0) == 0; });
    EXPECT_EQ(errors, static_cast<size_t>(kClients));
    EXPECT_NE(env_.debugLog().find(refused), std::string::npos);
    EXPECT_EQ(env_.msgboxLog(), "");
}

}  // namespace
}  // namespace srvtest
