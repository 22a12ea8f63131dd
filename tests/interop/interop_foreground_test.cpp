// kvtftpsvc -f, the service host run in the foreground, as a person at a console, the
// interop tests and the benchmarks run it: it must record the served directory, serve
// it, show what it does, and stop cleanly when told.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "interop_support.h"
#include "kv/registry.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace kvinterop;

namespace {

std::string ServerHome() {
    kvp::RegKey key;
    if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Korvane\\TFTP Server", kvp::kKeyRead,
                           key.out()) != kvp::kErrorSuccess)
        return "<no server key>";
    char buf[262] = {};
    uint32_t type = 0;
    uint32_t size = sizeof buf - 1;
    if (kvp::RegQueryValueExA(key.get(), "TFTPHome", &type, reinterpret_cast<uint8_t*>(buf),
                              &size) != kvp::kErrorSuccess)
        return "<no TFTPHome>";
    if (type != kvp::kRegSz || size == 0 || buf[size - 1] != '\0')
        return "<not a terminated string>";
    return buf;
}

class Foreground : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = env_.dir() + "/served";
        fs::create_directories(root_);
        kvtest::WriteFile(root_ + "/hello.txt", "hello\n");
    }

    std::vector<std::string> Host(std::vector<std::string> args) const {
        args.insert(args.begin(), {kvtest::BinDir() + "/kvtftpsvc", "-f"});
        return args;
    }

    kvtest::TestEnv env_;
    std::string root_;
};

TEST_F(Foreground, ServesItsDirectoryUntilTerminatedThenExitsCleanly) {
    for (const char* sig : {"TERM", "INT"}) {
        SCOPED_TRACE(std::string("SIG") + sig);
        Daemon server(Host({"-p", std::to_string(env_.tftpPort()), root_}),
                      env_.dir() + "/kvtftpsvc.log");
        ASSERT_TRUE(WaitForOwnTftpServer(server, env_.tftpPort())) << server.log();
        EXPECT_EQ(ServerHome(), fs::canonical(root_).string());

        // A client we did not write fetches a file to show that it is that directory.
        CommandResult r;
        if (PeersConfigured()) {
            std::string tftp = PeerProgram("tftp");
            ASSERT_FALSE(tftp.empty());
            r = RunCommand({tftp, "127.0.0.1", std::to_string(env_.tftpPort()), "-m", "binary",
                            "-c", "get", "hello.txt", env_.dir() + "/hello.out"},
                           env_.dir() + "/tftp.out");
            EXPECT_EQ(kvtest::ReadFile(env_.dir() + "/hello.out"), "hello\n") << r.output;
        }

        EXPECT_EQ(server.signalAndWait(sig), 0) << server.log();
        std::string log = server.log();
        EXPECT_NE(log.find("kvtftpsvc: serving " + fs::canonical(root_).string() + " on UDP port " +
                           std::to_string(env_.tftpPort())),
                  std::string::npos)
            << log;
        // What the server logged, with its time, on the console.
        if (PeersConfigured()) {
            EXPECT_NE(log.find(" RRQ from 127.0.0.1:"), std::string::npos) << log;
            EXPECT_NE(log.find("ServeReadRequest: 127.0.0.1 downloaded " +
                               fs::canonical(root_).string() + "/hello.txt."),
                      std::string::npos)
                << log;
        }
        EXPECT_NE(log.find("kvtftpsvc: stopped"), std::string::npos) << log;
        // Stopped means the port is closed: nobody answers any more.
        EXPECT_FALSE(WaitForTftpServer(env_.tftpPort(), 600));
    }
    EXPECT_EQ(env_.msgboxLog(), "");
}

// -s names the state directory whatever the environment says, and -q keeps the log
// lines off the console.
TEST_F(Foreground, StateDirectoryOptionAndQuietConsole) {
    const std::string state = env_.dir() + "/own-state";
    Daemon server({"/usr/bin/env", "-u", "KVTFTP_STATE_DIR", kvtest::BinDir() + "/kvtftpsvc", "-f",
                   "-q", "-s", state, "-p", std::to_string(env_.tftpPort()), root_},
                  env_.dir() + "/kvtftpsvc.log");
    ASSERT_TRUE(WaitForOwnTftpServer(server, env_.tftpPort())) << server.log();
    EXPECT_NE(server.log().find("(state in " + state + ")"), std::string::npos) << server.log();
    EXPECT_TRUE(fs::exists(state + "/registry/HKEY_LOCAL_MACHINE.reg"));
    EXPECT_EQ(server.signalAndWait("TERM"), 0) << server.log();
    EXPECT_EQ(server.log().find("RRQ from"), std::string::npos) << server.log();
}

TEST_F(Foreground, RefusesBadArguments) {
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"-p", "0", root_}, 2},
        {{"-p", "65536", root_}, 2},
        {{"-p", "12x", root_}, 2},
        {{"-x", root_}, 2},
        {{root_, root_}, 2},
        {{"-p", std::to_string(env_.tftpPort()), env_.dir() + "/does-not-exist"}, 1},
        {{"-p", std::to_string(env_.tftpPort()), root_ + "/hello.txt"}, 1},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += " " + a;
        SCOPED_TRACE("kvtftpsvc -f" + shown);
        CommandResult r = RunCommand(Host(c.args), env_.dir() + "/kvtftpsvc.out", 30);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_EQ(r.output.find("kvtftpsvc: serving"), std::string::npos) << r.output;
    }
}

}  // namespace
