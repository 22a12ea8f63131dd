// kvprobe run as a program against scripted peers on 127.0.0.1: its exact lines, its
// exit status, its argument rules and the request it puts on the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_peer.h"
#include "kv/process.h"
#include "kv/time.h"
#include "test_support.h"

namespace {

using namespace kvtest;

const char kBanner[] = "TFTP server probe. Sends one request and shows the server's answer.\n\n";

// One run of the probe with its standard output in a file; killed if a case fails
// before the probe got the answer it waits for.
class ProbeRun {
  public:
    ProbeRun(const TestEnv& env, const std::vector<std::string>& args)
        : out_(env.dir() + "/probe.out") {
        std::vector<std::string> argv = {Program()};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = kvp::SpawnProcess(argv, out_);
        EXPECT_GT(pid_, 0);
    }
    ~ProbeRun() {
        if (pid_ > 0) {
            kvp::KillProcess(pid_);
            kvp::WaitProcess(pid_);
        }
    }
    int Wait() {
        const int status = kvp::WaitProcess(pid_);
        pid_ = -1;
        return status;
    }
    std::string Output() const { return ReadFile(out_); }
    static std::string Program() { return BinDir() + "/" + KV_PROBE_FILE; }

  private:
    std::string out_;
    kvp::pid_type pid_ = -1;
};

std::string Usage(const std::string& self) {
    return "Usage:\nkvprobe <r|w> <n|o> <ServerIP> <Remotefile>\n"
           "\nExamples:\nTo read a file in netascii from 'sunserver',\n\n  " +
           self + " r n sunserver myfile.txt\n\nTo write a file in octet to 'storehost',\n\n  " +
           self + " w o storehost newfile.exe'\n\n";
}

// What the probe prints up to and including the wait for the answer.
std::string Opening(const ScriptedPeer& peer, const TestEnv& env, int opcode,
                    const std::string& file, const std::string& mode) {
    char line[700];
    std::snprintf(line, sizeof line,
                  "Locally bound to port %d.\nSending TFTP packet, opcode %02d, to 127.0.0.1:%d, "
                  "file %s, mode %s.\nWaiting to receive a response...\n",
                  peer.clientPort(), opcode, env.tftpPort(), file.c_str(), mode.c_str());
    return kBanner + std::string(line);
}

std::string ResponseLine(const ScriptedPeer& peer, size_t bytes, int opcode) {
    char line[200];
    std::snprintf(line, sizeof line, "Response from 127.0.0.1:%d, %zu bytes, opcode %02d.\n",
                  peer.transferPort(), bytes, opcode);
    return line;
}

const char kEnd[] = "Disconnecting.\nTFTP test complete.\n";

class Probe : public ::testing::Test {
  protected:
    TestEnv env_;
};

TEST_F(Probe, WrongArgumentCountsPrintTheUsage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"r", "n", "127.0.0.1"},
          std::vector<std::string>{"r", "n", "127.0.0.1", "a.txt", "extra"},
          std::vector<std::string>{}}) {
        ProbeRun run(env_, args);
        EXPECT_EQ(run.Wait(), 0);
        EXPECT_EQ(run.Output(), Usage(ProbeRun::Program()));
    }
}

TEST_F(Probe, RefusesWhatIsNotADottedAddress) {
    ScriptedPeer peer(env_.tftpPort());
    for (const char* server : {"localhost", "255.255.255.255", "1.2.3.4.5", ""}) {
        ProbeRun run(env_, {"r", "n", server, "a.txt"});
        EXPECT_EQ(run.Wait(), 0);
        EXPECT_EQ(run.Output(), "The server IP address " + std::string(server) + " is invalid.\n");
    }
    EXPECT_FALSE(peer.RequestPending());
}

TEST_F(Probe, RefusesANameTooLongForOneRequest) {
    ScriptedPeer peer(env_.tftpPort());
    ProbeRun run(env_, {"r", "n", "127.0.0.1", std::string(505, 'n')});
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_EQ(run.Output(),
              "The remote file name is too long: 505 characters, at most 504 fit one request in "
              "netascii mode.\n");
    EXPECT_FALSE(peer.RequestPending());

    // The longest name that fits goes out as a full 516-byte request.
    ProbeRun fits(env_, {"w", "o", "127.0.0.1", std::string(507, 'n')});
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    EXPECT_EQ(request, RequestPacket(2, std::string(507, 'n'), "octet"));
    ASSERT_TRUE(peer.Send(AckPacket(0)));
    EXPECT_EQ(fits.Wait(), 1);
}

TEST_F(Probe, ReadAnsweredWithDataConnects) {
    ScriptedPeer peer(env_.tftpPort());
    ProbeRun run(env_, {"r", "n", "127.0.0.1", "a.txt"});
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    // 0, 1, "a.txt", 0, "netascii", 0.
    EXPECT_EQ(request, std::string("\0\1a.txt\0netascii\0", 17));
    const std::string data = DataPacket(1, PatternData(512));
    ASSERT_TRUE(peer.Send(data));
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_EQ(run.Output(), Opening(peer, env_, 1, "a.txt", "netascii") +
                                ResponseLine(peer, 516, 3) +
                                "DATA packet received. Block is 01.\n"
                                "Connected to the remote server port successfully.\n" +
                                kEnd);
    // The probe never answers the block.
    EXPECT_FALSE(peer.Pending());
}

TEST_F(Probe, WriteAnsweredWithAckConnects) {
    ScriptedPeer peer(env_.tftpPort());
    ProbeRun run(env_, {"W", "O", "127.0.0.1", "new.bin"});
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    EXPECT_EQ(request, RequestPacket(2, "new.bin", "octet"));
    ASSERT_TRUE(peer.Send(AckPacket(0)));
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_EQ(run.Output(), Opening(peer, env_, 2, "new.bin", "octet") + ResponseLine(peer, 4, 4) +
                                "ACK packet received. Block is 0.\n"
                                "Connected to the remote server port.\n" +
                                kEnd);
}

TEST_F(Probe, FirstCharactersChooseRequestAndMode) {
    ScriptedPeer peer(env_.tftpPort());
    const struct {
        const char* action;
        const char* mode;
        int opcode;
        const char* modeText;
    } cases[] = {
        {"write", "b", 2, "netascii"}, {"x", "octet", 1, "octet"}, {"R", "N", 1, "netascii"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + c.mode);
        ProbeRun run(env_, {c.action, c.mode, "127.0.0.1", "f"});
        std::string request;
        ASSERT_TRUE(peer.WaitRequest(&request));
        EXPECT_EQ(request, RequestPacket(static_cast<uint16_t>(c.opcode), "f", c.modeText));
        ASSERT_TRUE(peer.Send(std::string("\0\x11", 2)));
        EXPECT_EQ(run.Wait(), 1);
        EXPECT_EQ(run.Output(), Opening(peer, env_, c.opcode, "f", c.modeText) +
                                    ResponseLine(peer, 2, 17) +
                                    "Unknown packet received. Opcode 17.\n" + kEnd);
    }
}

TEST_F(Probe, PrintsEachKindOfReply) {
    ScriptedPeer peer(env_.tftpPort());
    const struct {
        std::string reply;
        std::string lines;
    } cases[] = {
        {ErrorPacket(2, "Access violation"),
         "ERROR packet received. Code is 02.\nServer error is 'Access violation'.\n"},
        {std::string("\0\5\0\1", 4), "ERROR packet received. Code is 01.\n"},
        {std::string("\0\5\0", 3), "ERROR packet received, but incomplete.\n"},
        // A text without its 0 byte ends with the datagram.
        {std::string("\0\5\1\x2c"
                     "cut",
                     7),
         "ERROR packet received. Code is 300.\nServer error is 'cut'.\n"},
        {std::string("\0\3\0", 3), "DATA packet received, but incomplete.\n"},
        {std::string("\0\4\1", 3), "ACK packet received, but incomplete.\n"},
        {std::string("\0\1", 2), "Read request received, but incomplete.\n"},
        {RequestPacket(1, "x.txt", "octet"), "Read request received for x.txt.\n"},
        {std::string("\0\2", 2), "Write request received, but incomplete.\n"},
        {std::string("\0\2y.txt", 7), "Write request received for y.txt.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        ProbeRun run(env_, {"r", "o", "127.0.0.1", "missing.txt"});
        std::string request;
        ASSERT_TRUE(peer.WaitRequest(&request));
        ASSERT_TRUE(peer.Send(c.reply));
        EXPECT_EQ(run.Wait(), 1);
        const uint16_t opcode = Field16(c.reply, 0);
        EXPECT_EQ(run.Output(), Opening(peer, env_, 1, "missing.txt", "octet") +
                                    ResponseLine(peer, c.reply.size(), opcode) + c.lines + kEnd);
    }
}

TEST_F(Probe, OneByteReplyAborts) {
    ScriptedPeer peer(env_.tftpPort());
    ProbeRun run(env_, {"r", "n", "127.0.0.1", "a.txt"});
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    ASSERT_TRUE(peer.Send(std::string(1, '\3')));
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_EQ(run.Output(), Opening(peer, env_, 1, "a.txt", "netascii") +
                                "Short packet received from 127.0.0.1. Aborting.\n");
}

TEST_F(Probe, OversizedReplyIsAReceiveError) {
    ScriptedPeer peer(env_.tftpPort());
    ProbeRun run(env_, {"r", "n", "127.0.0.1", "a.txt"});
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    ASSERT_TRUE(peer.Send(DataPacket(1, PatternData(600))));
    EXPECT_EQ(run.Wait(), 0);
    const std::string out = run.Output();
    const std::string opening = Opening(peer, env_, 1, "a.txt", "netascii");
    ASSERT_EQ(out.compare(0, opening.size(), opening), 0) << out;
    EXPECT_EQ(out.substr(opening.size()).rfind("Recvfrom error occurred: ", 0), 0u) << out;
}

TEST_F(Probe, SilentServerKeepsItWaiting) {
    ScriptedPeer peer(env_.tftpPort());
    ProbeRun run(env_, {"r", "n", "127.0.0.1", "a.txt"});
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    // The lines so far are out although the probe still waits (it is killed at the end).
    const std::string opening = Opening(peer, env_, 1, "a.txt", "netascii");
    std::string out;
    for (int i = 0; i < 2000 && out != opening; ++i) {
        kvp::Sleep(5);
        out = run.Output();
    }
    EXPECT_EQ(out, opening);
}

TEST_F(Probe, MissingServiceEntryFails) {
    ScriptedPeer peer(env_.tftpPort());
    WriteFile(env_.dir() + "/services", "syslog 514/udp\n");
    ProbeRun run(env_, {"r", "n", "127.0.0.1", "a.txt"});
    EXPECT_EQ(run.Wait(), 0);
    const std::string out = run.Output();
    EXPECT_NE(out.find("Could not get TFTP service from database. Error "), std::string::npos)
        << out;
    EXPECT_EQ(out.find("Sending TFTP packet"), std::string::npos);
}

}  // namespace
