// Datagram I/O, waits and name look-ups of the socket layer, on 127.0.0.1 only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kv/errors.h"
#include "kv/net.h"
#include "kv/process.h"
#include "test_support.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

class NetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uint16_t granted = 0;
        ASSERT_EQ(kvp::NetStartup(&granted), 0);
        EXPECT_EQ(granted, 0x0101);
    }
    void TearDown() override { kvp::NetCleanup(); }

    // A socket bound to 127.0.0.1 on a port chosen by the system.
    static kvp::Socket BoundSocket(kvp::SockAddr4* where) {
        kvp::Socket s(kvp::UdpSocket());
        EXPECT_TRUE(s.valid());
        kvp::SockAddr4 a;
        a.addr = kvp::HostToNet32(kLoopback);
        EXPECT_EQ(kvp::Bind(s.get(), a), 0);
        EXPECT_EQ(kvp::GetSockName(s.get(), where), 0);
        return s;
    }

    kvtest::TestEnv env_;
};

TEST_F(NetTest, OversizedDatagramFailsAndIsConsumed) {
    kvp::SockAddr4 raddr, saddr;
    kvp::Socket rx = BoundSocket(&raddr);
    kvp::Socket tx = BoundSocket(&saddr);
    EXPECT_EQ(raddr.family, kvp::kAfInet);
    EXPECT_EQ(kvp::NetToHost32(raddr.addr), kLoopback);
    EXPECT_NE(raddr.port, 0);

    const std::string big = kvtest::PatternData(600, 3);
    const std::string small = kvtest::PatternData(100, 4);
    for (int round = 0; round < 2; ++round) {
        const bool use_from = round == 1;
        ASSERT_EQ(kvp::SendTo(tx.get(), big.data(), 600, raddr), 600);
        ASSERT_EQ(kvp::SendTo(tx.get(), small.data(), 100, raddr), 100);
        char buf[516];
        kvp::SockAddr4 from;
        ASSERT_EQ(kvp::WaitReadable(rx.get(), 5, 0), 1);
        kvp::SetLastSocketError(0);
        int n = use_from ? kvp::RecvFrom(rx.get(), buf, sizeof buf, &from)
                         : kvp::Recv(rx.get(), buf, sizeof buf);
        EXPECT_EQ(n, -1);
        EXPECT_EQ(kvp::LastSocketError(), kvp::kErrMsgSize);
        // The oversized datagram is gone; the next one arrives whole.
        ASSERT_EQ(kvp::WaitReadable(rx.get(), 5, 0), 1);
        n = use_from ? kvp::RecvFrom(rx.get(), buf, sizeof buf, &from)
                     : kvp::Recv(rx.get(), buf, sizeof buf);
        ASSERT_EQ(n, 100);
        EXPECT_EQ(std::string(buf, 100), small);
        if (use_from) {
            EXPECT_EQ(from.port, saddr.port);
            EXPECT_EQ(from.addr, saddr.addr);
        }
    }
}

TEST_F(NetTest, ExactFitAndEmptyDatagrams) {
    kvp::SockAddr4 raddr, saddr;
    kvp::Socket rx = BoundSocket(&raddr);
    kvp::Socket tx = BoundSocket(&saddr);
    ASSERT_EQ(kvp::Connect(tx.get(), raddr), 0);
    const std::string full = kvtest::PatternData(516, 9);
    ASSERT_EQ(kvp::Send(tx.get(), full.data(), 516), 516);
    ASSERT_EQ(kvp::Send(tx.get(), "", 0), 0);
    char buf[516];
    ASSERT_EQ(kvp::WaitReadable(rx.get(), 5, 0), 1);
    ASSERT_EQ(kvp::Recv(rx.get(), buf, sizeof buf), 516);
    EXPECT_EQ(std::string(buf, 516), full);
    ASSERT_EQ(kvp::WaitReadable(rx.get(), 5, 0), 1);
    EXPECT_EQ(kvp::Recv(rx.get(), buf, sizeof buf), 0);
}

TEST_F(NetTest, WaitsTimeOutAndReportBadSockets) {
    kvp::SockAddr4 raddr;
    kvp::Socket rx = BoundSocket(&raddr);
    EXPECT_EQ(kvp::WaitReadable(rx.get(), 0, 0), 0);
    EXPECT_EQ(kvp::WaitReadable(rx.get(), 0, 20000), 0);
    EXPECT_EQ(kvp::WaitWritable(rx.get(), 0, 20000), 1);

    kvp::SetLastSocketError(0);
    EXPECT_EQ(kvp::WaitReadable(kvp::kInvalidSocket, 0, 1000), -1);
    EXPECT_NE(kvp::LastSocketError(), 0);
    kvp::SetLastSocketError(0);
    char c;
    EXPECT_EQ(kvp::Recv(kvp::kInvalidSocket, &c, 1), -1);
    EXPECT_NE(kvp::LastSocketError(), 0);
}

// The timed receive on an unconnected socket names the sender, also of a datagram
// refused as too large, and with no time at all never waits for one to come.
TEST_F(NetTest, TimedReceiveFromNamesTheSender) {
    kvp::SockAddr4 raddr, saddr, from;
    kvp::Socket rx = BoundSocket(&raddr);
    kvp::Socket tx = BoundSocket(&saddr);
    char buf[516];
    EXPECT_EQ(kvp::RecvFromWithin(rx.get(), buf, sizeof buf, &from, 0, 0), kvp::kTimedOut);
    ASSERT_EQ(kvp::SendTo(tx.get(), "abc", 3, raddr), 3);
    ASSERT_EQ(kvp::SendTo(tx.get(), buf, 516, raddr), 516);
    EXPECT_EQ(kvp::RecvFromWithin(rx.get(), buf, sizeof buf, &from, 5, 0), 3);
    EXPECT_EQ(from.port, saddr.port);
    EXPECT_EQ(std::string(buf, 3), "abc");
    from = kvp::SockAddr4();
    kvp::SetLastSocketError(0);
    EXPECT_EQ(kvp::RecvFromWithin(rx.get(), buf, 100, &from, 5, 0), -1);
    EXPECT_EQ(kvp::LastSocketError(), kvp::kErrMsgSize);
    EXPECT_EQ(from.port, saddr.port);
    EXPECT_EQ(kvp::RecvFromWithin(rx.get(), buf, sizeof buf, &from, 0, 0), kvp::kTimedOut);
}

TEST_F(NetTest, TimedSendAndReceive) {
    kvp::SockAddr4 raddr, saddr;
    kvp::Socket rx = BoundSocket(&raddr);
    kvp::Socket tx = BoundSocket(&saddr);
    ASSERT_EQ(kvp::Connect(tx.get(), raddr), 0);
    ASSERT_EQ(kvp::Connect(rx.get(), saddr), 0);
    char buf[516];
    // Nothing there: with and without waiting.
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, sizeof buf, 0, 0), kvp::kTimedOut);
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, sizeof buf, 0, 30000), kvp::kTimedOut);

    const std::string full = kvtest::PatternData(516, 5);
    ASSERT_EQ(kvp::SendWithin(tx.get(), full.data(), 516, 1, 0), 516);
    ASSERT_EQ(kvp::SendWithin(tx.get(), "", 0, 1, 0), 0);
    ASSERT_EQ(kvp::SendWithin(tx.get(), full.data(), 516, 0, 0), 516) << "no wait needed";
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, sizeof buf, 5, 0), 516);
    EXPECT_EQ(std::string(buf, 516), full);
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, sizeof buf, 5, 0), 0) << "an empty datagram";
    // Room for less than the datagram: consumed and refused, never cut.
    kvp::SetLastSocketError(0);
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, 100, 5, 0), -1);
    EXPECT_EQ(kvp::LastSocketError(), kvp::kErrMsgSize);
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, sizeof buf, 0, 0), kvp::kTimedOut);

    // A plain receive after a timed one waits as long as it takes: the timed one's
    // time-out is not left behind on the socket.
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, sizeof buf, 0, 60000), kvp::kTimedOut);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kvp::Send(tx.get(), "late", 4);
    });
    EXPECT_EQ(kvp::Recv(rx.get(), buf, sizeof buf), 4);
    late.join();
    // A longer time-out after a shorter one is the one that holds.
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, sizeof buf, 0, 60000), kvp::kTimedOut);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kvp::Send(tx.get(), "later", 5);
    });
    EXPECT_EQ(kvp::RecvWithin(rx.get(), buf, sizeof buf, 10, 0), 5);
    later.join();

    kvp::SetLastSocketError(0);
    EXPECT_EQ(kvp::RecvWithin(kvp::kInvalidSocket, buf, 1, 0, 1000), -1);
    EXPECT_NE(kvp::LastSocketError(), 0);
    EXPECT_EQ(kvp::SendWithin(kvp::kInvalidSocket, buf, 1, 0, 1000), -1);
}

// A run of datagrams laid out back to back arrives as the same datagrams in order,
// whether the system cuts it up or it goes one by one, in one call or several.
TEST_F(NetTest, RunsOfDatagramsArriveWholeAndInOrder) {
    kvp::SockAddr4 raddr, saddr;
    kvp::Socket rx = BoundSocket(&raddr);
    kvp::Socket tx = BoundSocket(&saddr);
    ASSERT_EQ(kvp::Connect(tx.get(), raddr), 0);
    ASSERT_GT(kvp::SetSocketBufferSizes(rx.get(), 1 << 20), 0);
    struct Case {
        int stride, count, lastLen;
    };
    const Case cases[] = {
        {1432, 16, 1432},  // a full window
        {1432, 16, 10},    // ending with the file's short block
        {516, 100, 4},     // more than one call takes, ending empty
        {30000, 3, 7},     // too large to go together
        {1432, 1, 1432},
    };
    std::vector<char> got(65536);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stride << " x " << c.count << ", last " << c.lastLen);
        const std::string run = kvtest::PatternData(static_cast<size_t>(c.stride) * c.count, 3);
        ASSERT_EQ(kvp::SendRunWithin(tx.get(), run.data(), c.stride, c.count, c.lastLen, 1, 0),
                  c.count);
        for (int i = 0; i < c.count; ++i) {
            const int want = i + 1 == c.count ? c.lastLen : c.stride;
            ASSERT_EQ(kvp::RecvWithin(rx.get(), got.data(), static_cast<int>(got.size()), 5, 0),
                      want)
                << "datagram " << i;
            ASSERT_EQ(std::string(got.data(), static_cast<size_t>(want)),
                      run.substr(static_cast<size_t>(i) * c.stride, static_cast<size_t>(want)));
        }
        EXPECT_EQ(kvp::RecvWithin(rx.get(), got.data(), 1, 0, 0), kvp::kTimedOut);
    }
    // Nothing goes out for a run that does not describe its datagrams.
    const char some[8] = {};
    EXPECT_EQ(kvp::SendRunWithin(tx.get(), some, 8, 0, 8, 0, 0), -1);
    EXPECT_EQ(kvp::SendRunWithin(tx.get(), some, 4, 2, 5, 0, 0), -1);
    EXPECT_EQ(kvp::SendRunWithin(kvp::kInvalidSocket, some, 4, 2, 4, 0, 0), -1);
    EXPECT_EQ(kvp::RecvWithin(rx.get(), got.data(), 1, 0, 0), kvp::kTimedOut);
}

TEST_F(NetTest, ServicesFileIsHonoured) {
    uint16_t port = 0;
    ASSERT_TRUE(kvp::GetServicePort("tftp", "udp", &port));
    EXPECT_EQ(kvp::NetToHost16(port), env_.tftpPort());
    ASSERT_TRUE(kvp::GetServicePort("syslog", "udp", &port));
    EXPECT_EQ(kvp::NetToHost16(port), env_.syslogPort());

    const std::string path = env_.dir() + "/services2";
    kvtest::WriteFile(path,
                      "# comment line tftp 1/udp\n"
                      "\n"
                      "   \t\n"
                      "tftp 7069/tcp\n"
                      "tftp\t\t7070/udp  trivial tftp-alt   # comment mentions other 9/udp\n"
                      "broken nonsense\n"
                      "badport 99999/udp\n"
                      "noproto 5000\n"
                      "#hidden 4000/udp\n"
                      "last 4001/udp");
    kvp::SetEnv("KVTFTP_SERVICES", path.c_str());
    ASSERT_TRUE(kvp::GetServicePort("tftp", "udp", &port));
    EXPECT_EQ(kvp::NetToHost16(port), 7070);
    ASSERT_TRUE(kvp::GetServicePort("tftp", "tcp", &port));
    EXPECT_EQ(kvp::NetToHost16(port), 7069);
    ASSERT_TRUE(kvp::GetServicePort("tftp-alt", "udp", &port));
    EXPECT_EQ(kvp::NetToHost16(port), 7070);
    ASSERT_TRUE(kvp::GetServicePort("trivial", "udp", &port));
    EXPECT_EQ(kvp::NetToHost16(port), 7070);
    ASSERT_TRUE(kvp::GetServicePort("last", "udp", &port));
    EXPECT_EQ(kvp::NetToHost16(port), 4001);

    for (const char* missing : {"syslog", "comment", "mentions", "other", "hidden", "badport",
                                "noproto", "broken", "nonsense"}) {
        kvp::SetLastSocketError(0);
        port = 12345;
        EXPECT_FALSE(kvp::GetServicePort(missing, "udp", &port)) << missing;
        EXPECT_EQ(port, 12345) << missing;
        EXPECT_NE(kvp::LastSocketError(), 0) << missing;
    }
    EXPECT_FALSE(kvp::GetServicePort("last", "tcp", &port));

    kvp::SetEnv("KVTFTP_SERVICES", (env_.dir() + "/no-such-file").c_str());
    EXPECT_FALSE(kvp::GetServicePort("tftp", "udp", &port));
}

TEST(NetAddr, InetAddrAcceptsOnlyDottedQuads) {
    EXPECT_EQ(kvp::InetAddr("127.0.0.1"), kvp::HostToNet32(kLoopback));
    EXPECT_EQ(kvp::InetAddr("0.0.0.0"), 0u);
    EXPECT_EQ(kvp::InetAddr("10.200.3.254"), kvp::HostToNet32(0x0AC803FE));
    EXPECT_EQ(kvp::InetAddr("255.255.255.254"), kvp::HostToNet32(0xFFFFFFFE));
    EXPECT_EQ(kvp::InetAddr("255.255.255.255"), kvp::kInaddrNone);
    for (const char* bad :
         {"",         "1",        "1.2",        "1.2.3",      "1.2.3.4.5", "256.1.1.1", "1.2.3.256",
          "1..2.3",   ".1.2.3",   "1.2.3.",     "a.b.c.d",    "1.2.3.4 ",  " 1.2.3.4",  "1.2.3.4x",
          "-1.2.3.4", "+1.2.3.4", "0x7f.0.0.1", "1000.1.1.1", "01.2.3.4",  "localhost"}) {
        EXPECT_EQ(kvp::InetAddr(bad), kvp::kInaddrNone) << '"' << bad << '"';
    }
    EXPECT_EQ(kvp::InetAddr(nullptr), kvp::kInaddrNone);

    EXPECT_EQ(kvp::InetNtoa(kvp::HostToNet32(kLoopback)), "127.0.0.1");
    EXPECT_EQ(kvp::InetNtoa(kvp::HostToNet32(0xC0A8FF0A)), "192.168.255.10");
    EXPECT_EQ(kvp::InetNtoa(kvp::kInaddrNone), "255.255.255.255");
}

TEST(NetAddr, ResolveAndReverseLookUp) {
    kvtest::TestEnv env;
    kvtest::NetSession net;
    uint32_t addr = 0;
    ASSERT_TRUE(kvp::ResolveHost("127.0.0.1", &addr));
    EXPECT_EQ(addr, kvp::HostToNet32(kLoopback));
    ASSERT_TRUE(kvp::ResolveHost("localhost", &addr));
    EXPECT_EQ(addr, kvp::HostToNet32(kLoopback));

    kvp::SetLastSocketError(0);
    EXPECT_FALSE(kvp::ResolveHost("no-such-host.invalid", &addr));
    EXPECT_EQ(kvp::LastSocketError(), kvp::kErrHostNotFound);
    EXPECT_FALSE(kvp::SystemErrorText(kvp::kErrHostNotFound).empty());
    EXPECT_EQ(kvp::SystemErrorText(kvp::kErrHostNotFound).find("Unknown error"), std::string::npos);

    // Forward: every address of the name, replacing what the vector held.
    std::vector<uint32_t> addrs{1, 2};
    ASSERT_TRUE(kvp::ForwardLookup("localhost", &addrs));
    EXPECT_NE(std::find(addrs.begin(), addrs.end(), kvp::HostToNet32(kLoopback)), addrs.end());
    EXPECT_EQ(std::find(addrs.begin(), addrs.end(), 1u), addrs.end());
    kvp::SetLastSocketError(0);
    EXPECT_FALSE(kvp::ForwardLookup("no-such-host.invalid", &addrs));
    EXPECT_EQ(kvp::LastSocketError(), kvp::kErrHostNotFound);

    std::vector<std::string> names{"stale"};
    ASSERT_TRUE(kvp::ReverseLookup(kvp::HostToNet32(kLoopback), &names));
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "localhost");
}

}  // namespace
