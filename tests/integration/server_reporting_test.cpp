// Where the engine's log lines go: the event log store and the syslog host.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kv/eventlog.h"
#include "server_harness.h"

namespace srvtest {
namespace {

class ServerReportingTest : public ServerTest {
  protected:
    // Binds the test's syslog port on 127.0.0.1.
    void OpenSyslogPort() {
        syslog_.reset(kvp::UdpSocket());
        ASSERT_EQ(kvp::Bind(syslog_.get(), Loopback(env_.syslogPort())), 0);
    }
    // Every datagram that arrives until none has come for ms; the first may take up to
    // firstMs (a slow machine, Wine). With `last`, until one that holds it, each waited
    // for as long as a prompt answer may take.
    std::vector<std::string> SyslogDatagrams(int ms = 500, int firstMs = 0,
                                             const char* last = nullptr) {
        std::vector<std::string> out;
        char buf[4096];
        for (;;) {
            const int wait = last ? kPromptMs : out.empty() && firstMs > ms ? firstMs : ms;
            if (kvp::WaitReadable(syslog_.get(), wait / 1000, (wait % 1000) * 1000L) != 1) break;
            const int n = kvp::Recv(syslog_.get(), buf, sizeof buf);
            if (n < 0) break;
            out.emplace_back(buf, static_cast<size_t>(n));
            if (last && out.back().find(last) != std::string::npos) break;
        }
        return out;
    }
    // Downloads a small file; its log lines follow.
    void OneDownload() {
        kvtest::WriteFile(RootPath("f.txt"), "x");
        Peer peer;
        ASSERT_TRUE(Download(peer, env_.tftpPort(), "f.txt").ok);
        port_ = peer.port();
    }

    kvp::Socket syslog_;
    uint16_t port_ = 0;
};

TEST_F(ServerReportingTest, EventLogRecordsCarryTheLineAsTheirOneString) {
    StartServer();
    OneDownload();
    const std::string path = RootPath("f.txt");
    const std::string done = "ServeReadRequest: 127.0.0.1 downloaded " + path + ".";
    ASSERT_TRUE(WaitForLine(done));
    std::vector<kvp::EventRecord> records;
    ASSERT_TRUE(kvp::ReadEventLog(&records));
    bool seenRequest = false;
    bool seenDone = false;
    for (const kvp::EventRecord& r : records) {
        EXPECT_EQ(r.source, "KVTFTP");
        EXPECT_EQ(r.event_id, 0x40000001u);
        EXPECT_EQ(r.type, kvp::kEventlogInformationType);
        EXPECT_EQ(r.category, 0);
        ASSERT_EQ(r.strings.size(), 1u);
        seenRequest |= r.strings[0] ==
                       "RRQ from 127.0.0.1:" + std::to_string(port_) + " for octet:" + path + ".";
        seenDone |= r.strings[0] == done;
    }
    EXPECT_TRUE(seenRequest);
    EXPECT_TRUE(seenDone);
}

TEST_F(ServerReportingTest, NoLineLeavesTheServerWithBothSwitchesOff) {
    // The event log is on only for the byte 1.
    SetFlagValue("LogEventLogs", 2);
    SetFlagValue("LogSyslogs", 0);
    OpenSyslogPort();
    StartServer();
    OneDownload();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), std::string(1, '\x01')));
    EXPECT_TRUE(SyslogDatagrams(500).empty());
    EXPECT_TRUE(EventLines().empty());
}

TEST_F(ServerReportingTest, SyslogDatagramsCarryPriorityTagAndLine) {
    SetFlagValue("LogEventLogs", 0);
    SetFlagValue("LogSyslogs", 1);
    // The default host "localhost" and facility "Daemon": priority 3 * 8 + 6.
    OpenSyslogPort();
    StartServer();
    OneDownload();
    std::vector<std::string> got;
    for (const std::string& d : SyslogDatagrams(500, kPromptMs, " downloaded ")) {
        // The start-up probe's empty datagram leaves a line of its own.
        if (d.find("Short TFTP packet") == std::string::npos) got.push_back(d);
    }
    const std::string path = RootPath("f.txt");
    const std::vector<std::string> expected = {
        "<30> [KVTFTP]: RRQ from 127.0.0.1:" + std::to_string(port_) + " for octet:" + path + ".",
        "<30> [KVTFTP]: ServeReadRequest: 127.0.0.1 downloaded " + path + ".",
    };
    EXPECT_EQ(got, expected);
    // Nothing went to the event log.
    EXPECT_TRUE(EventLines().empty());
}

TEST_F(ServerReportingTest, FacilityNamesInAnyCaseAndUnknownOnesAsDaemon) {
    SetFlagValue("LogSyslogs", 1);
    SetStringValue("SyslogHost", "127.0.0.1");
    OpenSyslogPort();
    struct Case {
        const char* facility;
        const char* prefix;
    };
    const Case cases[] = {
        {"daemon", "<30> [KVTFTP]: "}, {"LEVEL7", "<190> [KVTFTP]: "}, {"Kernel", "<6> [KVTFTP]: "},
        {"local0", "<30> [KVTFTP]: "}, {"", "<30> [KVTFTP]: "},        {"ftp", "<94> [KVTFTP]: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.facility);
        SetStringValue("FacilityName", c.facility);
        StartServer();
        Peer peer;
        ASSERT_TRUE(peer.SendTo(env_.tftpPort(), std::string(1, '\x01')));
        // This short packet's line, and the start-up probe's, which reads the same.
        const std::vector<std::string> got = SyslogDatagrams(500, kPromptMs);
        ASSERT_GE(got.size(), 1u);
        for (const std::string& d : got) {
            EXPECT_EQ(d, std::string(c.prefix) + "Short TFTP packet received. Ignoring it.");
        }
        StopServer();
    }
}

TEST_F(ServerReportingTest, UnresolvableSyslogHostCostsTheLineButNotTheTransfer) {
    SetFlagValue("LogSyslogs", 1);
    SetStringValue("SyslogHost", "no-such-host.invalid");
    OpenSyslogPort();
    StartServer();
    OneDownload();
    ASSERT_TRUE(WaitForLine("ServeReadRequest: 127.0.0.1 downloaded " + RootPath("f.txt") + "."));
    EXPECT_TRUE(SyslogDatagrams(200).empty());
    EXPECT_NE(env_.debugLog().find("SendSyslogMsg: Invalid syslog hostname."), std::string::npos);
}

}  // namespace
}  // namespace srvtest
