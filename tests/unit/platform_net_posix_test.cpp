// The socket calls as only POSIX systems answer them.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kv/net.h"

namespace {

// A socket bound to 127.0.0.1 on a port chosen by the system.
kvp::Socket BoundSocket(kvp::SockAddr4* where) {
    kvp::Socket s(kvp::UdpSocket());
    EXPECT_TRUE(s.valid());
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    EXPECT_EQ(kvp::Bind(s.get(), a), 0);
    EXPECT_EQ(kvp::GetSockName(s.get(), where), 0);
    return s;
}

// Wine's select does not wake on a shutdown; the server's waits look at their cancel flag
// there as well.
TEST(PosixNet, ShutdownEndsAReceiveWaitingInAnotherThread) {
    uint16_t granted = 0;
    ASSERT_EQ(kvp::NetStartup(&granted), 0);
    kvp::SockAddr4 where, peer;
    kvp::Socket s = BoundSocket(&where);
    kvp::Socket other = BoundSocket(&peer);
    ASSERT_EQ(kvp::Connect(s.get(), peer), 0);
    int got = 0;
    std::thread waiter([&] {
        char buf[16];
        got = kvp::RecvWithin(s.get(), buf, sizeof buf, 30, 0);
    });
    // Whether the waiter is already in its wait or not, it must not wait its time out.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(kvp::ShutdownSocket(s.get()), 0);
    waiter.join();
    EXPECT_NE(got, kvp::kTimedOut);
    kvp::NetCleanup();
}

}  // namespace
