// Transfers through a poor link: a relay on 127.0.0.1 drops, duplicates, delays and
// reorders datagrams in both directions at 5% and at 20%. tftp-hpa's client (re-sending
// every second, and at its default of five seconds), atftp's client and our client
// library, each up and down against our server (atftp's uploads also in windows of 16
// from a server that answers options), and our library against tftpd-hpa:
// every file must arrive byte for byte.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "interop_support.h"
#include "kv/time.h"
#include "lossy_relay.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace kvinterop;

namespace {

// Files small enough that a case takes seconds at the higher rate: a client that waits
// five seconds before it re-sends gets the smaller one.
size_t FileSize(double rate, bool slowClient) {
    if (slowClient) return rate > 0.1 ? 1500 : 3000;
    return rate > 0.1 ? 6000 : 12000;
}

// Runs one transfer: up (local to remote) or down (remote to local).
using TransferFn =
    std::function<void(bool up, const std::string& local, const std::string& remote)>;

class LossyLinkTest : public ::testing::TestWithParam<double> {
  protected:
    void SetUp() override {
        if (!PeersConfigured()) GTEST_SKIP() << "KV_PEERS_DIR is not set";
        root_ = env_.dir() + "/root";
        work_ = env_.dir() + "/client";
        fs::create_directories(root_);
        fs::create_directories(work_);
        serverPort_ = kvtest::FreeUdpPort();
    }

    void TearDown() override {
        if (relay_) {
            // What the link did, for the record.
            const kvtest::LossyRelay::Counts c = relay_->counts();
            RecordProperty("datagrams", static_cast<int>(c.datagrams));
            RecordProperty("dropped", static_cast<int>(c.dropped));
            RecordProperty("duplicated", static_cast<int>(c.duplicated));
            RecordProperty("delayed", static_cast<int>(c.delayed));
        }
        relay_.reset();
        server_.reset();
    }

    // The server listens on its own port; the relay on the test's TFTP port, where the
    // clients (our library through the services file) send their requests.
    // negotiate: -o, options answered.
    void StartOurServer(bool negotiate = false) {
        std::vector<std::string> argv{kvtest::BinDir() + "/kvtftpsvc", "-f", "-q", "-p",
                                      std::to_string(serverPort_),     root_};
        if (negotiate) argv.insert(argv.begin() + 2, "-o");
        server_ = std::make_unique<Daemon>(argv, env_.dir() + "/server.log");
        StartRelay();
    }
    void StartTftpdHpa() {
        const std::string program = PeerProgram("in.tftpd");
        ASSERT_FALSE(program.empty());
        server_ = std::make_unique<Daemon>(TftpdHpaCommand(program, serverPort_, root_),
                                           env_.dir() + "/server.log");
        StartRelay();
    }
    void StartRelay() {
        ASSERT_TRUE(server_->started());
        ASSERT_TRUE(WaitForOwnTftpServer(*server_, serverPort_)) << server_->log();
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        relay_ = std::make_unique<kvtest::LossyRelay>(
            env_.tftpPort(), serverPort_, GetParam(),
            static_cast<uint32_t>(std::hash<std::string>()(name)));
        ASSERT_TRUE(relay_->ok());
    }

    // One file up and another down, each compared byte for byte.
    void BothWays(const std::string& tag, size_t size, const TransferFn& run) {
        const std::string up = tag + "-up.bin";
        const std::string upData = kvtest::PatternData(size, 3);
        kvtest::WriteFile(work_ + "/" + up, upData);
        run(true, work_ + "/" + up, up);
        EXPECT_TRUE(Stored(root_ + "/" + up, upData))
            << "stored " << kvtest::ReadFile(root_ + "/" + up).size() << " of " << size
            << " bytes; " << Trace();

        const std::string down = tag + "-down.bin";
        const std::string downData = kvtest::PatternData(size, 4);
        kvtest::WriteFile(root_ + "/" + down, downData);
        run(false, work_ + "/" + down, down);
        EXPECT_TRUE(kvtest::ReadFile(work_ + "/" + down) == downData)
            << "received " << kvtest::ReadFile(work_ + "/" + down).size() << " of " << size
            << " bytes; " << Trace();
    }

    // A server may close an uploaded file only after its last ACK: a moment to catch up.
    static bool Stored(const std::string& path, const std::string& data) {
        for (int waited = 0; waited < 15000; waited += 10) {
            if (kvtest::ReadFile(path) == data) return true;
            kvp::Sleep(10);
        }
        return false;
    }

    std::string Trace() {
        return "client: " + lastOutput_ + "\nserver log:\n" + (server_ ? server_->log() : "");
    }

    // tftp-hpa's client driven by commands on its input: rexmt sets its re-send time.
    void TftpHpa(int rexmtSeconds, bool up, const std::string& local, const std::string& remote) {
        const std::string program = PeerProgram("tftp");
        ASSERT_FALSE(program.empty());
        std::string commands = "binary\n";
        if (rexmtSeconds > 0) commands += "rexmt " + std::to_string(rexmtSeconds) + "\n";
        commands += up ? "put " + local + " " + remote : "get " + remote + " " + local;
        commands += "\n";
        const std::string script = "printf %s " + ShellQuote(commands) + " | exec " +
                                   ShellQuote(program) + " 127.0.0.1 " +
                                   std::to_string(env_.tftpPort());
        lastOutput_ = RunCommand({"/bin/sh", "-c", script}, env_.dir() + "/cmd.out").output;
    }

    kvtest::TestEnv env_;
    std::string root_;
    std::string work_;
    uint16_t serverPort_ = 0;
    std::unique_ptr<Daemon> server_;
    std::unique_ptr<kvtest::LossyRelay> relay_;
    std::string lastOutput_;
};

TEST_P(LossyLinkTest, TftpHpaRetransmittingEverySecond) {
    StartOurServer();
    BothWays("hpa1", FileSize(GetParam(), false),
             [&](bool up, const std::string& l, const std::string& r) { TftpHpa(1, up, l, r); });
}

TEST_P(LossyLinkTest, TftpHpaAtItsDefaultTimeout) {
    StartOurServer();
    BothWays("hpa5", FileSize(GetParam(), true),
             [&](bool up, const std::string& l, const std::string& r) { TftpHpa(0, up, l, r); });
}

TEST_P(LossyLinkTest, AtftpClient) {
    StartOurServer();
    const std::string program = PeerProgram("atftp");
    ASSERT_FALSE(program.empty());
    BothWays("atftp", FileSize(GetParam(), true),
             [&](bool up, const std::string& l, const std::string& r) {
                 lastOutput_ = RunCommand({program, up ? "-p" : "-g", "-l", l, "-r", r, "127.0.0.1",
                                           std::to_string(env_.tftpPort())},
                                          env_.dir() + "/cmd.out")
                                   .output;
             });
}

// Windows of 16 blocks both ways through the same link, the options answered; the client
// re-sends after a second. Downloads spare the negotiation: atftp's client aborts on an
// OACK that comes again after its ACK 0, which a lost or duplicated ACK 0 brings about
// (the server's side of that is the scripted-client tests').
TEST_P(LossyLinkTest, AtftpClientWithWindows) {
    StartOurServer(true);
    const std::string program = PeerProgram("atftp");
    ASSERT_FALSE(program.empty());
    BothWays("atftpw", FileSize(GetParam(), false),
             [&](bool up, const std::string& l, const std::string& r) {
                 if (!up) relay_->SpareNegotiation();
                 lastOutput_ =
                     RunCommand({program, "--tftp-timeout", "1", "--option", "blksize 128",
                                 "--option", "windowsize 16", up ? "-p" : "-g", "-l", l, "-r", r,
                                 "127.0.0.1", std::to_string(env_.tftpPort())},
                                env_.dir() + "/cmd.out")
                         .output;
             });
}

class OurClientThroughLoss : public LossyLinkTest {
  protected:
    void RunOurs(bool up, const std::string& local, const std::string& remote) {
        const std::string log = env_.dir() + "/client-transfer.log";
        ASSERT_TRUE(ClientLibrary::Get().Transfer("127.0.0.1", up ? kUpload : kDownload, kOctet,
                                                  local, remote, log));
        lastOutput_ = kvtest::ReadFile(log) + "\nmessages:\n" + env_.msgboxLog();
    }
};

TEST_P(OurClientThroughLoss, WithOurServer) {
    ASSERT_TRUE(ClientLibrary::Get().loaded());
    StartOurServer();
    BothWays("ours", FileSize(GetParam(), true),
             [&](bool up, const std::string& l, const std::string& r) { RunOurs(up, l, r); });
}

TEST_P(OurClientThroughLoss, WithTftpdHpa) {
    ASSERT_TRUE(ClientLibrary::Get().loaded());
    StartTftpdHpa();
    BothWays("hpad", FileSize(GetParam(), true),
             [&](bool up, const std::string& l, const std::string& r) { RunOurs(up, l, r); });
}

std::string RateName(const ::testing::TestParamInfo<double>& info) {
    return "Loss" + std::to_string(static_cast<int>(info.param * 100 + 0.5)) + "Percent";
}

INSTANTIATE_TEST_SUITE_P(Rates, LossyLinkTest, ::testing::Values(0.05, 0.20), RateName);
INSTANTIATE_TEST_SUITE_P(Rates, OurClientThroughLoss, ::testing::Values(0.05, 0.20), RateName);

}  // namespace
