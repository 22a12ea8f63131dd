// The client library against our own server engine on 127.0.0.1: both loaded by file
// name, the server rooted in a fresh directory through its registry key. Files of the
// sizes around block boundaries go both ways in both modes and are compared byte for
// byte.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "client_library.h"
#include "client_own_server.h"
#include "client_peer.h"
#include "kv/net.h"
#include "kv/paths.h"
#include "kv/time.h"
#include "test_support.h"

namespace {

using namespace kvtest;

// The line-end conversion a netascii sender applies: a LF not after a CR becomes CR LF.
std::string ToNetascii(const std::string& data) {
    std::string out;
    out.reserve(data.size() + data.size() / 64);
    char last = 0;
    for (char c : data) {
        if (c == '\n' && last != '\r') out += '\r';
        out += c;
        last = c;
    }
    return out;
}

constexpr uint32_t kServerTimeoutMs = 200;

class ClientAgainstServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (ServerEngineExports().lib == nullptr) GTEST_SKIP() << "kvtftptsv.so is not built";
        ASSERT_NE(ServerEngineExports().stop, nullptr);
        ASSERT_NE(ClientLibraryExports().transfer, nullptr);
        transfer_ = ClientLibraryExports().transfer;
        query_ = ClientLibraryExports().query;
        uint16_t granted = 0;
        ASSERT_EQ(kvp::NetStartup(&granted), 0);
        netStarted_ = true;

        root_ = env_.dir() + "/root";
        local_ = env_.dir() + "/local";
        MakeDir(root_);
        MakeDir(local_);
        ASSERT_TRUE(SetServerText("TFTPHome", root_));
        // After an upload's last ACK the server lingers for a repeat of the last block, as
        // long as its initial time-out; a short one lets its threads end with the case.
        ASSERT_TRUE(SetServerNumber("Rexttimeout", kServerTimeoutMs));
        threadsBefore_ = ProcessThreads();
        ASSERT_TRUE(StartOwnServer(env_.tftpPort()));
        started_ = true;
    }
    void TearDown() override {
        if (query_ != nullptr) {
            EXPECT_TRUE(WaitClientIdle(query_));
        }
        if (started_) {
            ServerEngineExports().stop();
            // No request thread of the engine may still run when the process ends (the
            // leak checker cannot stop a thread that is ending); a loaded machine may take
            // a while to end them.
            EXPECT_TRUE(WaitForThreadsAtMost(threadsBefore_, 30000, 4 * kServerTimeoutMs));
        }
        if (netStarted_) kvp::NetCleanup();
    }

    static void MakeDir(const std::string& path) {
        std::error_code ec;
        std::filesystem::create_directories(path, ec);
        ASSERT_FALSE(ec) << path;
    }

    // Runs one transfer through the library and waits for it; checks the log for the
    // outcome line.
    bool Run(int action, int mode, const std::string& local, const std::string& remote) {
        const std::string log = env_.dir() + "/client.log";
        WriteFile(log, "");
        if (transfer_("127.0.0.1", action, mode, local.c_str(), remote.c_str(), 1, log.c_str()) !=
            1) {
            return false;
        }
        EXPECT_TRUE(WaitClientIdle(query_));
        EXPECT_EQ(query_(), 0);
        const std::string text = ReadFile(log);
        const std::string done = action == 1
                                     ? "CliWriteTransfer: 127.0.0.1 downloaded " + remote + ".\n"
                                     : "CliReadTransfer: 127.0.0.1 uploaded " + remote + ".\n";
        const bool ok = text.size() >= done.size() &&
                        text.compare(text.size() - done.size(), done.size(), done) == 0;
        EXPECT_TRUE(ok) << text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
        return ok;
    }

    // The server writes the last block before it acknowledges it but may close the file
    // a moment later: wait until the file holds what was sent.
    std::string ServerFile(const std::string& name, size_t expected) {
        const std::string path = root_ + "/" + name;
        std::string content = ReadFile(path);
        const uint32_t since = kvp::GetTickCount();
        while (content.size() != expected && kvp::GetTickCount() - since < 10000) {
            kvp::Sleep(10);
            content = ReadFile(path);
        }
        return content;
    }

    TestEnv env_;
    TFTPTransferProc transfer_ = nullptr;
    TFTPQueryStatusProc query_ = nullptr;
    bool netStarted_ = false;
    bool started_ = false;
    int threadsBefore_ = -1;
    std::string root_;
    std::string local_;
};

const size_t kSizes[] = {0, 511, 512, 513, 1024 * 1024};

TEST_F(ClientAgainstServer, DownloadsEverySizeInBothModes) {
    for (size_t size : kSizes) {
        for (int mode : {1, 0}) {
            const std::string name = "down-" + std::to_string(size) + "-" + std::to_string(mode);
            SCOPED_TRACE(name);
            const std::string data = PatternData(size, static_cast<uint32_t>(size + mode));
            WriteFile(root_ + "/" + name, data);
            const std::string local = local_ + "/" + name;
            ASSERT_TRUE(Run(1, mode, local, name));
            const std::string got = ReadFile(local);
            // Netascii data is stored as it arrives, with the server's CR LF line ends.
            EXPECT_TRUE(got == (mode == 1 ? data : ToNetascii(data)))
                << "sizes " << got.size() << " and " << data.size();
        }
    }
}

TEST_F(ClientAgainstServer, UploadsEverySizeInBothModes) {
    for (size_t size : kSizes) {
        for (int mode : {1, 0}) {
            const std::string name = "up-" + std::to_string(size) + "-" + std::to_string(mode);
            SCOPED_TRACE(name);
            const std::string data = PatternData(size, static_cast<uint32_t>(size * 3 + mode));
            const std::string local = local_ + "/" + name;
            WriteFile(local, data);
            ASSERT_TRUE(Run(0, mode, local, name));
            const std::string expected = mode == 1 ? data : ToNetascii(data);
            const std::string got = ServerFile(name, expected.size());
            EXPECT_TRUE(got == expected) << "sizes " << got.size() << " and " << expected.size();
        }
    }
}

TEST_F(ClientAgainstServer, NetasciiUploadOfLfTextArrivesAsCrLf) {
    const std::string local = local_ + "/text.txt";
    WriteFile(local, "first line\nsecond line\n\nlast\r\n");
    ASSERT_TRUE(Run(0, 0, local, "text.txt"));
    const std::string expected = "first line\r\nsecond line\r\n\r\nlast\r\n";
    EXPECT_EQ(ServerFile("text.txt", expected.size()), expected);
}

TEST_F(ClientAgainstServer, MissingFileIsReportedWithTheServersCode) {
    const std::string local = local_ + "/missing.txt";
    const std::string log = env_.dir() + "/client.log";
    ASSERT_EQ(transfer_("127.0.0.1", 1, 1, local.c_str(), "missing.txt", 1, log.c_str()), 1);
    ASSERT_TRUE(WaitClientIdle(query_));
    const std::string text = ReadFile(log);
    EXPECT_NE(text.find("CliWriteTransfer: Error received during transfer of missing.txt. Error "
                        "code 01 (The file was not found.)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("CliWriteTransfer: Failed to receive missing.txt from 127.0.0.1.\n"),
              std::string::npos);
    EXPECT_TRUE(kvp::PathExists(local.c_str()));
    EXPECT_EQ(ReadFile(local), "");
}

}  // namespace
