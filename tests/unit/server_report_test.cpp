// The server's log paths on their own: syslog datagrams, facilities, the event log
// writer and the operator report.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "kv/errors.h"
#include "kv/eventlog.h"
#include "kv/net.h"
#include "kv/process.h"
#include "report.h"
#include "report_internal.h"
#include "settings.h"
#include "test_support.h"

namespace {

kvp::SockAddr4 Loopback(uint16_t port) {
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = kvp::HostToNet16(port);
    return a;
}

class ServerReportTest : public ::testing::Test {
  protected:
    ListenerConfig config_;
    void SetUp() override {
        uint16_t granted = 0;
        ASSERT_EQ(kvp::NetStartup(&granted), 0);
        SetDefaultServerSettings(&config_.settings);
    }
    void TearDown() override { kvp::NetCleanup(); }

    // Everything that reaches the test's syslog port within ms.
    std::string ReceiveSyslog(kvp::Socket& s, int ms = 10000) {
        if (kvp::WaitReadable(s.get(), ms / 1000, (ms % 1000) * 1000L) != 1) return "<nothing>";
        char buf[4096];
        const int n = kvp::Recv(s.get(), buf, sizeof buf);
        return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
    }

    kvtest::TestEnv env_;
};

TEST_F(ServerReportTest, FacilityNamesMatchInAnyCaseAndOthersGiveDaemon) {
    for (const SyslogFacility& f : g_facilities) {
        std::string lower = f.name;
        std::string upper = f.name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(LookupFacilityNumber(f.name), f.number);
        EXPECT_EQ(LookupFacilityNumber(lower.c_str()), f.number);
        EXPECT_EQ(LookupFacilityNumber(upper.c_str()), f.number);
    }
    EXPECT_EQ(g_facilities[3].number, 3);
    EXPECT_STREQ(g_facilities[23].name, "Level7");
    for (const char* other : {"Local0", "Deamon", "", "Level8", "Kern", "Daemon "}) {
        EXPECT_EQ(LookupFacilityNumber(other), 3) << other;
    }
    EXPECT_EQ(LookupFacilityNumber(nullptr), 3);
}

TEST_F(ServerReportTest, DatagramIsPrefixedAndCutTo1024Characters) {
    char out[kMaxSyslogDatagram + 1];
    int n = ComposeSyslogDatagram(out, sizeof out, 3, "hello");
    EXPECT_EQ(std::string(out, n), "<30> [KVTFTP]: hello");
    n = ComposeSyslogDatagram(out, sizeof out, 23, "x");
    EXPECT_EQ(std::string(out, n), "<190> [KVTFTP]: x");
    n = ComposeSyslogDatagram(out, sizeof out, 0, "");
    EXPECT_EQ(std::string(out, n), "<6> [KVTFTP]: ");

    const std::string longLine(1500, 'L');
    n = ComposeSyslogDatagram(out, sizeof out, 3, longLine.c_str());
    ASSERT_EQ(n, 1024);
    EXPECT_EQ(std::string(out, n), "<30> [KVTFTP]: " + longLine.substr(0, 1024 - 15));
    // A line that just fits is not cut.
    const std::string fits(1024 - 15, 'F');
    n = ComposeSyslogDatagram(out, sizeof out, 3, fits.c_str());
    EXPECT_EQ(n, 1024);
    EXPECT_EQ(std::string(out, n).substr(15), fits);
}

bool ResolveOk(const char*, uint32_t* addr) {
    *addr = kvp::HostToNet32(0x0A000005);
    return true;
}
bool ResolveNotFound(const char*, uint32_t*) {
    kvp::SetLastSocketError(kvp::kErrHostNotFound);
    return false;
}
bool ResolveBroken(const char*, uint32_t*) {
    kvp::SetLastSocketError(EIO);
    return false;
}

TEST_F(ServerReportTest, HostNotFoundFallsBackToADottedAddress) {
    uint32_t addr = 0;
    EXPECT_EQ(ResolveSyslogHost("anything", ResolveOk, &addr), 1);
    EXPECT_EQ(addr, kvp::HostToNet32(0x0A000005));
    EXPECT_EQ(ResolveSyslogHost("192.168.7.9", ResolveNotFound, &addr), 1);
    EXPECT_EQ(addr, kvp::HostToNet32(0xC0A80709));

    EXPECT_EQ(ResolveSyslogHost("loghost", ResolveNotFound, &addr), 0);
    EXPECT_NE(env_.debugLog().find("SendSyslogMsg: Invalid syslog hostname."), std::string::npos);
    // Any other failure is not retried as an address.
    EXPECT_EQ(ResolveSyslogHost("192.168.7.9", ResolveBroken, &addr), 0);
    EXPECT_NE(env_.debugLog().find("SendSyslogMsg: Unable to get hostname. Error code " +
                                   std::to_string(EIO) + ".\n"),
              std::string::npos);
}

TEST_F(ServerReportTest, SyslogDatagramReachesTheSyslogPort) {
    kvp::Socket receiver(kvp::UdpSocket());
    ASSERT_EQ(kvp::Bind(receiver.get(), Loopback(env_.syslogPort())), 0);
    ASSERT_EQ(SendSyslogMsg("127.0.0.1", 23, "one line"), 1);
    EXPECT_EQ(ReceiveSyslog(receiver), "<190> [KVTFTP]: one line");
    const std::string longLine(2000, 'q');
    ASSERT_EQ(SendSyslogMsg("localhost", 3, longLine.c_str()), 1);
    const std::string got = ReceiveSyslog(receiver);
    EXPECT_EQ(got.size(), 1024u);
    EXPECT_EQ(got.substr(0, 15), "<30> [KVTFTP]: ");
    // No terminating 0 byte is sent.
    EXPECT_EQ(got.find('\0'), std::string::npos);
}

TEST_F(ServerReportTest, NoSyslogServiceEntryMeansNoDatagram) {
    kvtest::WriteFile(env_.dir() + "/services-notftp", "tftp 69/udp\n");
    kvp::SetEnv("KVTFTP_SERVICES", (env_.dir() + "/services-notftp").c_str());
    EXPECT_EQ(SendSyslogMsg("127.0.0.1", 3, "lost"), 0);
    EXPECT_NE(env_.debugLog().find("SendSyslogMsg: Unable to get syslog port. Error code "),
              std::string::npos);
}

TEST_F(ServerReportTest, LogServerEventFollowsTheTwoSwitches) {
    kvp::Socket receiver(kvp::UdpSocket());
    ASSERT_EQ(kvp::Bind(receiver.get(), Loopback(env_.syslogPort())), 0);
    std::snprintf(config_.settings.syslogHost, sizeof config_.settings.syslogHost, "%s",
                  "127.0.0.1");
    std::snprintf(config_.settings.facilityName, sizeof config_.settings.facilityName, "%s",
                  "level0");
    config_.settings.logEventLogs = 1;
    config_.settings.logSyslogs = 1;
    LogServerEvent(config_, "both ways");
    LogServerEventF(config_, "formatted %d:%s", 7, "x");
    EXPECT_EQ(ReceiveSyslog(receiver), "<134> [KVTFTP]: both ways");
    EXPECT_EQ(ReceiveSyslog(receiver), "<134> [KVTFTP]: formatted 7:x");
    // Switches are on only for the byte 1.
    config_.settings.logEventLogs = 2;
    config_.settings.logSyslogs = 2;
    LogServerEvent(config_, "nowhere");
    EXPECT_EQ(ReceiveSyslog(receiver, 200), "<nothing>");

    std::vector<kvp::EventRecord> records;
    ASSERT_TRUE(kvp::ReadEventLog(&records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].source, "KVTFTP");
    EXPECT_EQ(records[0].event_id, 0x40000001u);
    EXPECT_EQ(records[0].type, kvp::kEventlogInformationType);
    EXPECT_EQ(records[0].strings, std::vector<std::string>{"both ways"});
    EXPECT_EQ(records[1].strings, std::vector<std::string>{"formatted 7:x"});
}

TEST_F(ServerReportTest, OperatorReportGoesToTheDebuggerAndABoxThatDoesNotWait) {
    ReportServerError("Something: failed", ENOENT);
    const std::string expected = "Something: failed: " + kvp::SystemErrorText(ENOENT);
    EXPECT_NE(env_.debugLog().find(expected), std::string::npos);
    const std::string boxes = env_.msgboxLog();
    EXPECT_NE(boxes.find("TFTP server error"), std::string::npos);
    EXPECT_NE(boxes.find(expected), std::string::npos);
    // 0 takes the system's last error.
    kvp::SetLastSystemError(EACCES);
    ReportServerError("Other", 0);
    EXPECT_NE(env_.msgboxLog().find("Other: " + kvp::SystemErrorText(EACCES)), std::string::npos);
    kvp::SetLastSocketError(ECONNREFUSED);
    ReportServerSocketError("Sock");
    EXPECT_NE(env_.msgboxLog().find("Sock: " + kvp::SystemErrorText(ECONNREFUSED)),
              std::string::npos);
}

}  // namespace
