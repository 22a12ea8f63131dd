// TFTP clients of other projects (tftp-hpa, atftp, busybox, curl) against our server
// engine, hosted by kvtftpsvc -f: files must cross in both directions byte for byte.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "interop_support.h"
#include "kv/net.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace kvinterop;

namespace {

const size_t kSizes[] = {0, 1, 511, 512, 513, 1 << 20};
// The largest file that fits into 65535 blocks without a block number wrap.
constexpr size_t kLargest = 65535u * 512u - 1u;

struct ForeignClient {
    const char* name;
    std::vector<std::string> (*get)(const std::string& prog, uint16_t port,
                                    const std::string& remote, const std::string& local);
    std::vector<std::string> (*put)(const std::string& prog, uint16_t port,
                                    const std::string& local, const std::string& remote);
    const char* program;
};

const ForeignClient kClients[] = {
    {"tftp_hpa",
     [](const std::string& p, uint16_t port, const std::string& remote, const std::string& local) {
         return std::vector<std::string>{
             p, "127.0.0.1", std::to_string(port), "-m", "binary", "-c", "get", remote, local};
     },
     [](const std::string& p, uint16_t port, const std::string& local, const std::string& remote) {
         return std::vector<std::string>{
             p, "127.0.0.1", std::to_string(port), "-m", "binary", "-c", "put", local, remote};
     },
     "tftp"},
    {"atftp",
     [](const std::string& p, uint16_t port, const std::string& remote, const std::string& local) {
         return std::vector<std::string>{p,    "-g",  "-r",        remote,
                                         "-l", local, "127.0.0.1", std::to_string(port)};
     },
     [](const std::string& p, uint16_t port, const std::string& local, const std::string& remote) {
         return std::vector<std::string>{p,    "-p",   "-l",        local,
                                         "-r", remote, "127.0.0.1", std::to_string(port)};
     },
     "atftp"},
    {"busybox",
     [](const std::string& p, uint16_t port, const std::string& remote, const std::string& local) {
         return std::vector<std::string>{
             p, "tftp", "-g", "-r", remote, "-l", local, "127.0.0.1", std::to_string(port)};
     },
     [](const std::string& p, uint16_t port, const std::string& local, const std::string& remote) {
         return std::vector<std::string>{
             p, "tftp", "-p", "-l", local, "-r", remote, "127.0.0.1", std::to_string(port)};
     },
     "busybox"},
    // curl asks for the blksize and tsize options; the server must ignore them.
    {"curl",
     [](const std::string& p, uint16_t port, const std::string& remote, const std::string& local) {
         return std::vector<std::string>{p, "-sS", "-o", local,
                                         "tftp://127.0.0.1:" + std::to_string(port) + "/" + remote};
     },
     [](const std::string& p, uint16_t port, const std::string& local, const std::string& remote) {
         return std::vector<std::string>{p, "-sS", "-T", local,
                                         "tftp://127.0.0.1:" + std::to_string(port) + "/" + remote};
     },
     "curl"},
};

void PrintTo(const ForeignClient& c, std::ostream* os) {
    *os << c.name;
}

// Our engine serving root/ through kvtftpsvc -f on the test's own tftp port.
class OurServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!PeersConfigured()) GTEST_SKIP() << "KV_PEERS_DIR is not set";
        root_ = env_.dir() + "/root";
        work_ = env_.dir() + "/client";
        fs::create_directories(root_);
        fs::create_directories(work_);
        root_canonical_ = fs::canonical(root_).string();
        std::vector<std::string> argv{kvtest::BinDir() + "/kvtftpsvc", "-f", "-q", "-p",
                                      std::to_string(env_.tftpPort()), root_};
        if (negotiate_) argv.insert(argv.begin() + 2, "-o");
        server_ = std::make_unique<Daemon>(argv, env_.dir() + "/kvtftpsvc.log");
        ASSERT_TRUE(server_->started());
        ASSERT_TRUE(WaitForOwnTftpServer(*server_, env_.tftpPort()))
            << "kvtftpsvc: " << server_->log();
    }

    void TearDown() override {
        if (!server_) return;
        server_.reset();
        // A clean run bothers the operator with nothing.
        EXPECT_EQ(env_.msgboxLog(), "");
    }

    CommandResult Run(const std::vector<std::string>& argv) {
        return RunCommand(argv, env_.dir() + "/cmd.out");
    }

    uint16_t port() const { return env_.tftpPort(); }

    kvtest::TestEnv env_;
    bool negotiate_ = false;  // kvtftpsvc -o: options answered
    std::string root_;
    std::string root_canonical_;  // as the server names its files
    std::string work_;
    std::unique_ptr<Daemon> server_;
};

class ForeignClientTest : public OurServer, public ::testing::WithParamInterface<ForeignClient> {
  protected:
    std::string program() { return PeerProgram(GetParam().program); }
};

TEST_P(ForeignClientTest, DownloadsAreByteIdentical) {
    std::string prog = program();
    ASSERT_FALSE(prog.empty());
    for (size_t size : kSizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string name = "down" + std::to_string(size) + ".bin";
        std::string data = kvtest::PatternData(size, static_cast<uint32_t>(size) + 3);
        kvtest::WriteFile(root_ + "/" + name, data);
        std::string local = work_ + "/" + name;
        CommandResult r = Run(GetParam().get(prog, port(), name, local));
        EXPECT_EQ(r.status, 0) << r.output;
        ASSERT_TRUE(fs::exists(local)) << r.output;
        EXPECT_TRUE(kvtest::ReadFile(local) == data)
            << "received " << fs::file_size(local) << " bytes; " << r.output;
    }
}

TEST_P(ForeignClientTest, UploadsAreByteIdentical) {
    std::string prog = program();
    ASSERT_FALSE(prog.empty());
    for (size_t size : kSizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string name = "up" + std::to_string(size) + ".bin";
        std::string data = kvtest::PatternData(size, static_cast<uint32_t>(size) + 5);
        std::string local = work_ + "/" + name;
        kvtest::WriteFile(local, data);
        CommandResult r = Run(GetParam().put(prog, port(), local, name));
        EXPECT_EQ(r.status, 0) << r.output;
        std::string stored = root_ + "/" + name;
        ASSERT_TRUE(fs::exists(stored)) << r.output;
        EXPECT_TRUE(kvtest::ReadFile(stored) == data)
            << "stored " << fs::file_size(stored) << " bytes; " << r.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Clients, ForeignClientTest, ::testing::ValuesIn(kClients),
                         [](const ::testing::TestParamInfo<ForeignClient>& info) {
                             return std::string(info.param.name);
                         });

using TftpHpaClient = OurServer;

TEST_F(TftpHpaClient, LargestFileCrossesBothWays) {
    std::string tftp = PeerProgram("tftp");
    ASSERT_FALSE(tftp.empty());
    std::string data = kvtest::PatternData(kLargest, 11);
    kvtest::WriteFile(root_ + "/large.bin", data);
    CommandResult r = Run(kClients[0].get(tftp, port(), "large.bin", work_ + "/large.bin"));
    EXPECT_TRUE(kvtest::ReadFile(work_ + "/large.bin") == data) << r.output;

    kvtest::WriteFile(work_ + "/large-up.bin", data);
    r = Run(kClients[0].put(tftp, port(), work_ + "/large-up.bin", "large-up.bin"));
    EXPECT_TRUE(kvtest::ReadFile(root_ + "/large-up.bin") == data) << r.output;
}

// tftp-hpa decodes netascii on receipt and encodes it when sending; our server encodes
// when sending and stores what it receives.
TEST_F(TftpHpaClient, NetasciiTextCrossesBothWays) {
    std::string tftp = PeerProgram("tftp");
    ASSERT_FALSE(tftp.empty());
    for (size_t size : {size_t{0}, size_t{511}, size_t{512}, size_t{513}, size_t{1} << 20}) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string text = TextData(size, static_cast<uint32_t>(size) + 1);
        std::string name = "text" + std::to_string(size) + ".txt";
        kvtest::WriteFile(root_ + "/" + name, text);
        CommandResult r = Run({tftp, "127.0.0.1", std::to_string(port()), "-m", "netascii", "-c",
                               "get", name, work_ + "/" + name});
        EXPECT_TRUE(kvtest::ReadFile(work_ + "/" + name) == text) << r.output;

        std::string up = "up-" + name;
        kvtest::WriteFile(work_ + "/" + up, text);
        r = Run({tftp, "127.0.0.1", std::to_string(port()), "-m", "netascii", "-c", "put",
                 work_ + "/" + up, up});
        EXPECT_TRUE(kvtest::ReadFile(root_ + "/" + up) == ToNetascii(text)) << r.output;
    }
}

TEST_F(TftpHpaClient, ShowsTheServersRefusalTexts) {
    std::string tftp = PeerProgram("tftp");
    ASSERT_FALSE(tftp.empty());
    CommandResult r = Run(kClients[0].get(tftp, port(), "missing.bin", work_ + "/missing.bin"));
    EXPECT_NE(r.output.find("Error code 1: CheckFilenameToRead: Unable to open " + root_canonical_ +
                            "/missing.bin for reading."),
              std::string::npos)
        << r.output;

    kvtest::WriteFile(root_ + "/kept.bin", "original");
    kvtest::WriteFile(work_ + "/kept.bin", "replacement");
    r = Run(kClients[0].put(tftp, port(), work_ + "/kept.bin", "kept.bin"));
    EXPECT_NE(r.output.find("Error code 2: The file already exists. Overwrites have not been "
                            "permitted."),
              std::string::npos)
        << r.output;
    EXPECT_EQ(kvtest::ReadFile(root_ + "/kept.bin"), "original");

    r = Run(kClients[0].get(tftp, port(), "../outside.bin", work_ + "/outside.bin"));
    EXPECT_NE(r.output.find("Error code 1: Cannot use reference to parent directories in "
                            "filename."),
              std::string::npos)
        << r.output;
}

using CurlClient = OurServer;

// What curl sends: a read request with blksize and tsize options. The answer must be
// DATA block 1 with a full 512-byte payload, never an option acknowledgement.
TEST_F(CurlClient, RequestOptionsAreIgnored) {
    std::string data = kvtest::PatternData(1500, 21);
    kvtest::WriteFile(root_ + "/opts.bin", data);

    uint16_t granted = 0;
    ASSERT_EQ(kvp::NetStartup(&granted), 0);
    {
        kvp::Socket s(kvp::UdpSocket());
        kvp::SockAddr4 local;
        local.addr = kvp::HostToNet32(0x7F000001);
        ASSERT_EQ(kvp::Bind(s.get(), local), 0);
        kvp::SockAddr4 server;
        server.addr = kvp::HostToNet32(0x7F000001);
        server.port = kvp::HostToNet16(port());
        static const char kRrq[] =
            "\0\1opts.bin\0octet\0blksize\0"
            "1024\0tsize\0"
            "0\0timeout\0"
            "6";
        ASSERT_EQ(kvp::SendTo(s.get(), kRrq, sizeof kRrq, server), static_cast<int>(sizeof kRrq));
        ASSERT_EQ(kvp::WaitReadable(s.get(), 10, 0), 1);
        uint8_t buf[600];
        kvp::SockAddr4 from;
        int n = kvp::RecvFrom(s.get(), buf, sizeof buf, &from);
        ASSERT_EQ(n, 516) << "first reply has opcode " << (n >= 2 ? buf[0] * 256 + buf[1] : -1);
        EXPECT_EQ(buf[0] * 256 + buf[1], 3);
        EXPECT_EQ(buf[2] * 256 + buf[3], 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf) + 4, 512), data.substr(0, 512));
        // End the conversation so the server does not keep re-sending.
        static const char kError[] = "\0\5\0\0done";
        kvp::SendTo(s.get(), kError, sizeof kError, from);
    }
    kvp::NetCleanup();

    std::string curl = PeerProgram("curl");
    ASSERT_FALSE(curl.empty());
    CommandResult r = Run({curl, "-sS", "-v", "-o", work_ + "/opts.bin",
                           "tftp://127.0.0.1:" + std::to_string(port()) + "/opts.bin"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(kvtest::ReadFile(work_ + "/opts.bin") == data) << r.output;
}

// With option negotiation on: clients asking for options, files crossing both ways (a
// client without a put form only downloads). Past 65535 blocks too.
class NegotiatingServer : public OurServer {
  protected:
    NegotiatingServer() { negotiate_ = true; }
};

struct OptionClient {
    const char* what;
    const char* program;
    std::vector<std::string> get;  // "{P}" program, "{R}" remote, "{L}" local, "{PORT}"
    std::vector<std::string> put;
    std::vector<size_t> sizes;
};

std::vector<std::string> Expand(const std::vector<std::string>& argv, const std::string& prog,
                                uint16_t port, const std::string& remote,
                                const std::string& local) {
    std::vector<std::string> out;
    for (std::string a : argv) {
        for (const auto& [k, v] : {std::pair<std::string, std::string>{"{P}", prog},
                                   {"{PORT}", std::to_string(port)},
                                   {"{R}", remote},
                                   {"{L}", local}}) {
            const size_t at = a.find(k);
            if (at != std::string::npos) a.replace(at, k.size(), v);
        }
        out.push_back(a);
    }
    return out;
}

TEST_F(NegotiatingServer, ClientsAskingOptionsMoveFilesIntact) {
    const std::vector<size_t> small = {0, 1, 1427, 1428, 1429, 1 << 20};
    constexpr size_t k40MiB = 40u << 20;
    const std::vector<std::string> curlGet = {
        "{P}", "-sS", "--tftp-blksize", "1428", "-o", "{L}", "tftp://127.0.0.1:{PORT}/{R}"};
    const std::vector<std::string> curlPut = {
        "{P}", "-sS", "--tftp-blksize", "1428", "-T", "{L}", "tftp://127.0.0.1:{PORT}/{R}"};
    const OptionClient clients[] = {
        {"atftp blksize tsize windowsize",
         "atftp",
         {"{P}", "--option", "blksize 1428", "--option", "tsize 0", "--option", "windowsize 16",
          "-g", "-r", "{R}", "-l", "{L}", "127.0.0.1", "{PORT}"},
         {"{P}", "--option", "blksize 1428", "--option", "tsize 0", "-p", "-l", "{L}", "-r", "{R}",
          "127.0.0.1", "{PORT}"},
         small},
        {"atftp 40 MiB, window of 16",
         "atftp",
         {"{P}", "--option", "blksize 1428", "--option", "windowsize 16", "-g", "-r", "{R}", "-l",
          "{L}", "127.0.0.1", "{PORT}"},
         {},
         {k40MiB}},
        {"curl --tftp-blksize", "curl", curlGet, curlPut, small},
        // curl asks blksize 512: past block 65535 both ways.
        {"curl 40 MiB of 512-byte blocks",
         "curl",
         {"{P}", "-sS", "-o", "{L}", "tftp://127.0.0.1:{PORT}/{R}"},
         {"{P}", "-sS", "-T", "{L}", "tftp://127.0.0.1:{PORT}/{R}"},
         {k40MiB}},
        {"busybox -b",
         "busybox",
         {"{P}", "tftp", "-b", "1428", "-g", "-r", "{R}", "-l", "{L}", "127.0.0.1", "{PORT}"},
         {"{P}", "tftp", "-b", "1428", "-p", "-l", "{L}", "-r", "{R}", "127.0.0.1", "{PORT}"},
         small},
        {"tftp-hpa, no options",
         "tftp",
         {"{P}", "127.0.0.1", "{PORT}", "-m", "binary", "-c", "get", "{R}", "{L}"},
         {"{P}", "127.0.0.1", "{PORT}", "-m", "binary", "-c", "put", "{L}", "{R}"},
         {0, 512, 1 << 20}},
    };
    int n = 0;
    for (const OptionClient& c : clients) {
        const std::string prog = PeerProgram(c.program);
        ASSERT_FALSE(prog.empty());
        for (size_t size : c.sizes) {
            SCOPED_TRACE(std::string(c.what) + ", size " + std::to_string(size));
            const std::string data = kvtest::PatternData(size, static_cast<uint32_t>(++n));
            const std::string down = "down" + std::to_string(n) + ".bin";
            kvtest::WriteFile(root_ + "/" + down, data);
            CommandResult r = Run(Expand(c.get, prog, port(), down, work_ + "/" + down));
            EXPECT_EQ(r.status, 0) << r.output;
            EXPECT_TRUE(kvtest::ReadFile(work_ + "/" + down) == data) << r.output;
            if (c.put.empty()) continue;
            const std::string up = "up" + std::to_string(n) + ".bin";
            kvtest::WriteFile(work_ + "/" + up, data);
            r = Run(Expand(c.put, prog, port(), up, work_ + "/" + up));
            EXPECT_EQ(r.status, 0) << r.output;
            EXPECT_TRUE(kvtest::ReadFile(root_ + "/" + up) == data) << r.output;
        }
    }
}

}  // namespace
