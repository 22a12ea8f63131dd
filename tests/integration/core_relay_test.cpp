// The lossy relay the loss tests run through: it follows a server that answers from a
// new port, and it drops, duplicates and delays at about the rate it is given.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "kv/net.h"
#include "lossy_relay.h"
#include "test_support.h"

namespace {

kvp::Socket Bound(uint16_t* portHost) {
    kvp::Socket s(kvp::UdpSocket());
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    EXPECT_EQ(kvp::Bind(s.get(), a), 0);
    EXPECT_EQ(kvp::GetSockName(s.get(), &a), 0);
    *portHost = kvp::NetToHost16(a.port);
    return s;
}

kvp::SockAddr4 To(uint16_t portHost) {
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = kvp::HostToNet16(portHost);
    return a;
}

std::string Take(kvp::socket_t s, kvp::SockAddr4* from, long us = 5000000) {
    char buf[600];
    const int n = kvp::RecvFromWithin(s, buf, sizeof buf, from, 0, us);
    return n >= 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("<none>");
}

// Sockets need the network started (Winsock on Windows).
class LossyRelayTest : public testing::Test {
    kvtest::NetSession net_;
};

TEST_F(LossyRelayTest, FollowsTheServersNewPort) {
    uint16_t listenPort = 0, transferPort = 0, clientPort = 0;
    kvp::Socket listen = Bound(&listenPort);
    kvp::Socket transfer = Bound(&transferPort);
    kvp::Socket client = Bound(&clientPort);
    kvtest::LossyRelay relay(0, listenPort, 0.0, 1);
    ASSERT_TRUE(relay.ok());
    kvp::SockAddr4 from, relayTransfer;
    // The request reaches the server's port from a relay port of its own.
    ASSERT_EQ(kvp::SendTo(client.get(), "rrq", 3, To(relay.port())), 3);
    ASSERT_EQ(Take(listen.get(), &from), "rrq");
    const kvp::SockAddr4 relayUp = from;
    // The answer from the server's new port reaches the client from another relay port,
    // and what the client sends there reaches that new port.
    ASSERT_EQ(kvp::SendTo(transfer.get(), "data1", 5, relayUp), 5);
    ASSERT_EQ(Take(client.get(), &relayTransfer), "data1");
    EXPECT_NE(kvp::NetToHost16(relayTransfer.port), relay.port());
    ASSERT_EQ(kvp::SendTo(client.get(), "ack1", 4, relayTransfer), 4);
    EXPECT_EQ(Take(transfer.get(), &from), "ack1");
    EXPECT_EQ(from.port, relayUp.port);
    EXPECT_EQ(Take(listen.get(), &from, 50000), "<none>");
    // A stranger at the client's transfer port of the relay is not relayed.
    uint16_t strangerPort = 0;
    kvp::Socket stranger = Bound(&strangerPort);
    ASSERT_EQ(kvp::SendTo(stranger.get(), "x", 1, relayTransfer), 1);
    EXPECT_EQ(Take(transfer.get(), &from, 100000), "<none>");
}

TEST_F(LossyRelayTest, DropsDuplicatesAndDelaysAtTheRate) {
    uint16_t serverPort = 0, clientPort = 0;
    kvp::Socket server = Bound(&serverPort);
    kvp::Socket client = Bound(&clientPort);
    kvtest::LossyRelay relay(0, serverPort, 0.2, 7, 5);
    ASSERT_TRUE(relay.ok());
    constexpr int kSent = 1000;
    std::multiset<int> got;
    bool reordered = false;
    int last = -1;
    kvp::SockAddr4 from;
    // Taken as they come, so that no socket's queue overflows.
    const auto takeAll = [&](long us) {
        for (std::string d; (d = Take(server.get(), &from, us)) != "<none>";) {
            const int n = std::stoi(d);
            reordered = reordered || n < last;
            last = std::max(last, n);
            got.insert(n);
        }
    };
    for (int i = 0; i < kSent; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_EQ(kvp::SendTo(client.get(), n.data(), static_cast<int>(n.size()), To(relay.port())),
                  static_cast<int>(n.size()));
        takeAll(i % 20 == 19 ? 2000 : 0);
    }
    // Until all that the relay let through has come: a loaded machine delays its thread.
    for (int i = 0; i < 100; ++i) {
        const kvtest::LossyRelay::Counts now = relay.counts();
        if (now.datagrams == kSent && got.size() >= kSent - now.dropped + now.duplicated) break;
        takeAll(100000);
    }
    takeAll(50000);
    const kvtest::LossyRelay::Counts c = relay.counts();
    EXPECT_EQ(c.datagrams, static_cast<uint64_t>(kSent));
    // 20% dropped, 20% of the rest duplicated, 20% of the others delayed, give or take.
    EXPECT_NEAR(static_cast<double>(c.dropped), 200, 60);
    EXPECT_NEAR(static_cast<double>(c.duplicated), 160, 55);
    EXPECT_NEAR(static_cast<double>(c.delayed), 128, 50);
    EXPECT_EQ(got.size(), kSent - c.dropped + c.duplicated);
    std::set<int> distinct(got.begin(), got.end());
    EXPECT_EQ(distinct.size(), kSent - c.dropped);
    EXPECT_TRUE(reordered);
}

}  // namespace
