// kvprobe against our own server engine on 127.0.0.1: a read of an existing file, an
// accepted write, a refused write and a read of a missing file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client_own_server.h"
#include "kv/process.h"
#include "test_support.h"

namespace {

using namespace kvtest;

class ProbeAgainstServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (ServerEngineExports().lib == nullptr) GTEST_SKIP() << "kvtftptsv.so is not built";
        ASSERT_NE(ServerEngineExports().stop, nullptr);
        root_ = env_.dir() + "/root";
        std::filesystem::create_directories(root_);
        ASSERT_TRUE(SetServerText("TFTPHome", root_));
        // The probe leaves each transfer it opened to the server's time-outs: short ones
        // end them before the case does.
        ASSERT_TRUE(SetServerNumber("Rexttimeout", 50));
        ASSERT_TRUE(SetServerNumber("Retransmits", 1));
        ASSERT_TRUE(StartOwnServer(env_.tftpPort()));
        started_ = true;
    }
    void TearDown() override {
        if (started_) {
            ServerEngineExports().stop();
            // Room for the transfers the probe opened to time out (a few 50 ms waits), so
            // that no request thread is still at work when the process ends.
            kvp::Sleep(1000);
        }
    }

    // Runs the probe to its end; its exit status and output.
    int Run(const std::vector<std::string>& args, std::string* out) {
        const std::string path = env_.dir() + "/probe.out";
        std::vector<std::string> argv = {BinDir() + "/" + KV_PROBE_FILE};
        argv.insert(argv.end(), args.begin(), args.end());
        const kvp::pid_type pid = kvp::SpawnProcess(argv, path);
        EXPECT_GT(pid, 0);
        const int status = kvp::WaitProcess(pid);
        *out = ReadFile(path);
        return status;
    }

    // The output from the response line on: the ports before it are the system's choice.
    static std::string FromResponse(const std::string& out) {
        const size_t at = out.find("Response from 127.0.0.1:");
        return at == std::string::npos ? out : out.substr(at);
    }

    TestEnv env_;
    std::string root_;
    bool started_ = false;
};

TEST_F(ProbeAgainstServer, ReadOfAnExistingFileOpensATransfer) {
    WriteFile(root_ + "/hello.txt", "hello\n");
    std::string out;
    EXPECT_EQ(Run({"r", "n", "127.0.0.1", "hello.txt"}, &out), 1);
    const std::string tail = FromResponse(out);
    // The block comes from the transfer's own port, not the TFTP port.
    EXPECT_EQ(tail.find("Response from 127.0.0.1:" + std::to_string(env_.tftpPort()) + ","),
              std::string::npos);
    const std::string expected =
        ", 11 bytes, opcode 03.\nDATA packet received. Block is 01.\n"
        "Connected to the remote server port successfully.\nDisconnecting.\nTFTP test "
        "complete.\n";
    ASSERT_GE(tail.size(), expected.size()) << out;
    EXPECT_EQ(tail.substr(tail.size() - expected.size()), expected) << out;
}

TEST_F(ProbeAgainstServer, AcceptedWriteIsAcknowledged) {
    std::string out;
    EXPECT_EQ(Run({"w", "o", "127.0.0.1", "new.bin"}, &out), 1);
    const std::string expected =
        ", 4 bytes, opcode 04.\nACK packet received. Block is 0.\n"
        "Connected to the remote server port.\nDisconnecting.\nTFTP test complete.\n";
    const std::string tail = FromResponse(out);
    ASSERT_GE(tail.size(), expected.size()) << out;
    EXPECT_EQ(tail.substr(tail.size() - expected.size()), expected) << out;
}

TEST_F(ProbeAgainstServer, RefusedRequestsShowCodeAndServerText) {
    WriteFile(root_ + "/exists.bin", "x");
    const struct {
        std::vector<std::string> args;
        std::string lines;
    } cases[] = {
        {{"w", "o", "127.0.0.1", "exists.bin"},
         "ERROR packet received. Code is 02.\nServer error is 'The file already exists. "
         "Overwrites have not been permitted.'.\n"},
        {{"r", "o", "127.0.0.1", "missing.bin"},
         "ERROR packet received. Code is 01.\nServer error is 'CheckFilenameToRead: Unable to "
         "open " +
             root_ + "/missing.bin for reading.'.\n"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(Run(c.args, &out), 1);
        const std::string expected = c.lines + "Disconnecting.\nTFTP test complete.\n";
        ASSERT_GE(out.size(), expected.size()) << out;
        EXPECT_EQ(out.substr(out.size() - expected.size()), expected) << out;
    }
}

}  // namespace
