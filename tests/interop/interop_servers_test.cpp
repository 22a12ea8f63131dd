// Our client library and probe against TFTP servers of other projects (tftpd-hpa,
// atftpd, dnsmasq), each run in the foreground on 127.0.0.1.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "interop_support.h"
#include "kv/time.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace kvinterop;

namespace {

const size_t kSizes[] = {0, 511, 512, 513, 1 << 20};

struct ForeignServer {
    const char* name;
    const char* program;
    std::vector<std::string> (*argv)(const std::string& prog, uint16_t port,
                                     const std::string& root);
    // The text the server sends with its "file not found" ERROR packet.
    const char* not_found_text;
};

void PrintTo(const ForeignServer& s, std::ostream* os) {
    *os << s.name;
}

const ForeignServer kTftpdHpa = {"tftpd_hpa", "in.tftpd", TftpdHpaCommand, "File not found"};

const ForeignServer kAtftpd = {"atftpd", "atftpd",
                               [](const std::string& prog, uint16_t port, const std::string& root) {
                                   return std::vector<std::string>{prog,
                                                                   "--daemon",
                                                                   "--no-fork",
                                                                   "--port",
                                                                   std::to_string(port),
                                                                   "--bind-address",
                                                                   "127.0.0.1",
                                                                   "--user",
                                                                   "root",
                                                                   "--group",
                                                                   "root",
                                                                   "--logfile",
                                                                   "-",
                                                                   root};
                               },
                               "File not found"};

// Both server and transfer files under one test directory; our client's services file
// maps tftp to the port the server listens on.
class ForeignServerBase {
  protected:
    bool Prepare() {
        root_ = env_.dir() + "/root";
        work_ = env_.dir() + "/client";
        log_ = env_.dir() + "/client-transfer.log";
        fs::create_directories(root_);
        fs::create_directories(work_);
        return ClientLibrary::Get().loaded();
    }

    // Runs one transfer through our library; on failure says what the library reported.
    ::testing::AssertionResult Transfer(int action, int mode, const std::string& local,
                                        const std::string& remote, bool* saw_running = nullptr) {
        if (ClientLibrary::Get().Transfer("127.0.0.1", action, mode, local, remote, log_, 120,
                                          saw_running))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the transfer did not end; " << Reports();
    }

    // Whether the server has stored the data. atftpd closes an uploaded file only after
    // it sent the last ACK, so a quick client ends before the file is complete: the file
    // gets a moment to catch up.
    static bool Stored(const std::string& path, const std::string& data) {
        for (int waited = 0; waited < 15000; waited += 10) {
            if (kvtest::ReadFile(path) == data) return true;
            kvp::Sleep(10);
        }
        return false;
    }

    std::string Reports() {
        return "transfer log:\n" + kvtest::ReadFile(log_) + "\nmessages:\n" + env_.msgboxLog();
    }

    CommandResult Probe(const std::string& dir, const std::string& mode,
                        const std::string& remote) {
        return RunCommand({kvtest::BinDir() + "/kvprobe", dir, mode, "127.0.0.1", remote},
                          env_.dir() + "/probe.out", 30);
    }

    // Octet transfers of every size, both ways unless the server is read-only.
    void CheckOctet(bool uploads) {
        for (size_t size : kSizes) {
            SCOPED_TRACE("octet, size " + std::to_string(size));
            std::string name = "down" + std::to_string(size) + ".bin";
            std::string data = kvtest::PatternData(size, static_cast<uint32_t>(size) + 7);
            kvtest::WriteFile(root_ + "/" + name, data);
            bool running = false;
            ASSERT_TRUE(Transfer(kDownload, kOctet, work_ + "/" + name, name, &running));
            EXPECT_TRUE(kvtest::ReadFile(work_ + "/" + name) == data)
                << fs::file_size(work_ + "/" + name) << " bytes received; " << Reports();
            // The status follows the worker: running during a long transfer, then ended.
            if (size == kSizes[std::size(kSizes) - 1]) {
                EXPECT_TRUE(running);
            }
            if (!uploads) continue;

            std::string up = "up" + std::to_string(size) + ".bin";
            std::string updata = kvtest::PatternData(size, static_cast<uint32_t>(size) + 9);
            kvtest::WriteFile(work_ + "/" + up, updata);
            ASSERT_TRUE(Transfer(kUpload, kOctet, work_ + "/" + up, up));
            EXPECT_TRUE(Stored(root_ + "/" + up, updata))
                << fs::file_size(root_ + "/" + up) << " bytes stored; " << Reports();
        }
    }

    // Netascii: the server sends LF as CR LF and our client stores what it receives; our
    // client sends LF as CR LF and a Unix server stores LF again.
    void CheckNetascii(bool uploads) {
        for (size_t size : kSizes) {
            SCOPED_TRACE("netascii, size " + std::to_string(size));
            std::string name = "text" + std::to_string(size) + ".txt";
            std::string text = TextData(size, static_cast<uint32_t>(size) + 2);
            kvtest::WriteFile(root_ + "/" + name, text);
            ASSERT_TRUE(Transfer(kDownload, kNetascii, work_ + "/" + name, name));
            EXPECT_TRUE(kvtest::ReadFile(work_ + "/" + name) == ToNetascii(text))
                << fs::file_size(work_ + "/" + name) << " bytes received; " << Reports();
            if (!uploads) continue;

            std::string up = "up-" + name;
            kvtest::WriteFile(work_ + "/" + up, text);
            ASSERT_TRUE(Transfer(kUpload, kNetascii, work_ + "/" + up, up));
            EXPECT_TRUE(Stored(root_ + "/" + up, text))
                << fs::file_size(root_ + "/" + up) << " bytes stored; " << Reports();
        }
    }

    // A read of an existing file opens a transfer; a read of a missing one is refused
    // with the server's own text.
    void CheckProbeReads(const std::string& not_found_text) {
        kvtest::WriteFile(root_ + "/probe.bin", kvtest::PatternData(2000));
        CommandResult r = Probe("r", "o", "probe.bin");
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("DATA packet received. Block is 01.\n"
                                "Connected to the remote server port successfully.\n"
                                "Disconnecting.\n"
                                "TFTP test complete.\n"),
                  std::string::npos)
            << r.output;

        r = Probe("r", "n", "no-such-file.txt");
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("ERROR packet received. Code is 01.\n"
                                "Server error is '" +
                                not_found_text + "'.\n"),
                  std::string::npos)
            << r.output;
    }

    kvtest::TestEnv env_;
    std::string root_;
    std::string work_;
    std::string log_;
};

class ForeignServerTest : public ForeignServerBase, public ::testing::TestWithParam<ForeignServer> {
  protected:
    void SetUp() override {
        if (!PeersConfigured()) GTEST_SKIP() << "KV_PEERS_DIR is not set";
        ASSERT_TRUE(Prepare()) << "cannot load kvtftpclidll.so";
        std::string prog = PeerProgram(GetParam().program);
        ASSERT_FALSE(prog.empty());
        server_ = std::make_unique<Daemon>(GetParam().argv(prog, env_.tftpPort(), root_),
                                           env_.dir() + "/server.log");
        ASSERT_TRUE(server_->started());
        ASSERT_TRUE(WaitForOwnTftpServer(*server_, env_.tftpPort())) << server_->log();
    }

    std::unique_ptr<Daemon> server_;
};

TEST_P(ForeignServerTest, ClientLibraryOctetBothWays) {
    CheckOctet(true);
}

TEST_P(ForeignServerTest, ClientLibraryNetasciiBothWays) {
    CheckNetascii(true);
}

TEST_P(ForeignServerTest, ProbeSeesTransfersAndRefusals) {
    CheckProbeReads(GetParam().not_found_text);

    CommandResult r = Probe("w", "o", "probe-upload.bin");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("ACK packet received. Block is 0.\n"
                            "Connected to the remote server port.\n"),
              std::string::npos)
        << r.output;
}

INSTANTIATE_TEST_SUITE_P(Servers, ForeignServerTest, ::testing::Values(kTftpdHpa, kAtftpd),
                         [](const ::testing::TestParamInfo<ForeignServer>& info) {
                             return std::string(info.param.name);
                         });

// dnsmasq's TFTP server is read-only and always listens on port 69, so all of its cases
// share one test: no two of them may hold the port at once.
class DnsmasqServer : public ForeignServerBase, public ::testing::Test {};

TEST_F(DnsmasqServer, ClientLibraryDownloadsAndProbe) {
    if (!PeersConfigured()) GTEST_SKIP() << "KV_PEERS_DIR is not set";
    ASSERT_TRUE(Prepare()) << "cannot load kvtftpclidll.so";
    std::string prog = PeerProgram("dnsmasq");
    ASSERT_FALSE(prog.empty());
    // -k: foreground; -p 0: no DNS; no configuration file, no pid file, log to stderr.
    Daemon server({prog, "-k", "-C", "/dev/null", "-p", "0", "--pid-file=", "--log-facility=-",
                   "-u", "root", "--listen-address=127.0.0.1", "--bind-interfaces", "--enable-tftp",
                   "--tftp-root=" + root_},
                  env_.dir() + "/server.log");
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(WaitForOwnTftpServer(server, 69)) << server.log();
    WriteServices(env_.dir() + "/services", 69);

    CheckOctet(false);
    CheckNetascii(false);
    CheckProbeReads("file " + root_ + "/no-such-file.txt not found for 127.0.0.1");

    // Read-only: a write request is refused.
    CommandResult r = Probe("w", "o", "probe-upload.bin");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("ERROR packet received. Code is 04.\n"
                            "Server error is 'unsupported request from 127.0.0.1'.\n"),
              std::string::npos)
        << r.output;
}

}  // namespace
