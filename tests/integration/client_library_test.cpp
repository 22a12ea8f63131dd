// The client library as applications use it: loaded by file name, bound through its two
// exported names only, and driven against scripted peers on 127.0.0.1.
#include "client_library.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "client_peer.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "kv/time.h"
#include "test_support.h"

namespace {

using namespace kvtest;

// "**** Korvane TFTP client log started on " and a date like "Mon Dec 07 06:11:16 2026".
bool IsLogHeader(const std::string& line) {
    const std::string prefix = "**** Korvane TFTP client log started on ";
    if (line.size() != prefix.size() + 24 || line.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string date = line.substr(prefix.size());
    const std::string days = "Sun Mon Tue Wed Thu Fri Sat";
    const std::string months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
    if (days.find(date.substr(0, 3)) % 4 != 0 || months.find(date.substr(4, 3)) % 4 != 0) {
        return false;
    }
    // Every other place is a digit or its fixed separator.
    const std::string shape = "www mmm 99 99:99:99 9999";
    for (size_t i = 8; i < shape.size(); ++i) {
        if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(date[i]))
                            : date[i] != shape[i]) {
            return false;
        }
    }
    return date[3] == ' ' && date[7] == ' ';
}

class ClientLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ClientLibraryExports().lib, nullptr);
        transfer_ = ClientLibraryExports().transfer;
        query_ = ClientLibraryExports().query;
        ASSERT_NE(transfer_, nullptr);
        ASSERT_NE(query_, nullptr);
    }
    void TearDown() override {
        // The next case must not change the settings under a running worker.
        if (query_ != nullptr) {
            EXPECT_TRUE(WaitIdle());
        }
    }

    int Transfer(const std::string& server, int action, int mode, const std::string& local,
                 const std::string& remote, int logEnable, const std::string& log) {
        return transfer_(server.c_str(), action, mode, local.c_str(), remote.c_str(), logEnable,
                         log.c_str());
    }
    bool WaitIdle() { return WaitClientIdle(query_); }

    TestEnv env_;
    TFTPTransferProc transfer_ = nullptr;
    TFTPQueryStatusProc query_ = nullptr;
};

// Serves `data` to a download and checks the acknowledgements. The blocks are queued
// before the first ACK is read: after each ACK the client waits only as long as it took
// to handle the block (often 1 ms), and a test thread answering in lock-step could miss
// that on a loaded machine; queued, every wait finds its block.
void ServeBlocks(ScriptedPeer& peer, const std::string& data) {
    uint16_t blocks = 0;
    for (size_t off = 0;; off += 512) {
        const std::string chunk = data.substr(std::min(off, data.size()), 512);
        ASSERT_TRUE(peer.Send(DataPacket(++blocks, chunk)));
        if (chunk.size() < 512) break;
    }
    for (uint16_t block = 1; block <= blocks; ++block) {
        std::string ack;
        ASSERT_TRUE(peer.Recv(&ack));
        ASSERT_EQ(ack, AckPacket(block));
    }
}

// Declared first, so that it also runs first when all cases share one process.
TEST_F(ClientLibrary, NoTransferStartedReportsIdle) {
    EXPECT_EQ(query_(), 0);
}

// An application may free the library the moment TFTPQueryStatus says 0: the worker
// must then be out of the library's code. A separate process, since this one keeps the
// library loaded; its rounds would crash it on the first worker caught inside.
TEST_F(ClientLibrary, MayBeFreedTheMomentTheStatusSaysDone) {
    const std::string out = env_.dir() + "/cycle.out";
    const kvp::pid_type child =
        kvp::SpawnProcess({std::string(KV_TESTBIN_DIR) + "/kvlibcycle",
                           BinDir() + "/kvtftpclidll.so", "500", env_.dir() + "/local.bin"},
                          out);
    ASSERT_NE(child, -1);
    EXPECT_EQ(kvp::WaitProcess(child), 0);
    EXPECT_EQ(ReadFile(out), "500 rounds\n");
}

// Only the two entry points can be bound: the engine, the core and the platform layer
// inside stay out of reach (and out of the way of a host's own symbols).
TEST_F(ClientLibrary, ExportsNothingButItsTwoEntryPoints) {
    for (const char* inner : {"g_clientSettings", "_Z19ResetClientSettingsv",
                              "_Z20ClientTransferThreadPv", "_ZN3kvp10NetStartupEPt"}) {
        EXPECT_EQ(kvp::GetProcAddress(ClientLibraryExports().lib, inner), nullptr) << inner;
    }
}

TEST_F(ClientLibrary, DownloadsTwoBlocksAndAppendsItsLog) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/down.bin";
    const std::string logPath = env_.dir() + "/client.log";
    WriteFile(logPath, "older content\n");
    const std::string data = PatternData(600);

    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(Transfer("127.0.0.1", 1, 1, local, "remote.bin", 1, logPath), 1);
        std::string request;
        ASSERT_TRUE(peer.WaitRequest(&request));
        EXPECT_EQ(request, RequestPacket(1, "remote.bin", "octet"));
        // The worker waits for our answer: it is still running.
        EXPECT_EQ(query_(), 1);
        ServeBlocks(peer, data);
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(query_(), 0);
        EXPECT_EQ(ReadFile(local), data);
    }

    const std::vector<std::string> lines = Lines(ReadFile(logPath));
    const std::string port = std::to_string(peer.transferPort());
    const std::vector<std::string> events = {
        "Sending request",
        "Waiting for first response",
        "Binding local socket to server",
        "RRQ for 127.0.0.1:" + port + " for remote.bin:octet.",
        "Received DATA",
        "Sending ACK",
        "Waiting for packet",
        "Received DATA",
        "Sending ACK",
        "CliWriteTransfer: 127.0.0.1 downloaded remote.bin.",
    };
    ASSERT_EQ(lines.size(), 1 + 2 * (1 + events.size()));
    EXPECT_EQ(lines[0], "older content");
    for (int round = 0; round < 2; ++round) {
        const size_t at = 1 + round * (1 + events.size());
        EXPECT_TRUE(IsLogHeader(lines[at])) << lines[at];
        EXPECT_EQ(lines[at].size(),
                  std::string("**** Korvane TFTP client log started on ").size() + 24);
        for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(lines[at + 1 + i], events[i]);
    }
    EXPECT_EQ(env_.msgboxLog(), "");
}

TEST_F(ClientLibrary, NetasciiDownloadIsStoredAsReceived) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/text.txt";
    ASSERT_EQ(Transfer("127.0.0.1", 1, 0, local, "text.txt", 0, ""), 1);
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    EXPECT_EQ(request, RequestPacket(1, "text.txt", "netascii"));
    ServeBlocks(peer, "one\r\ntwo\r\n");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(ReadFile(local), "one\r\ntwo\r\n");
}

TEST_F(ClientLibrary, ErrorAsFirstReplyLeavesTheLocalFileEmpty) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/missing.txt";
    const std::string logPath = env_.dir() + "/client.log";
    WriteFile(local, "old content that the download empties");
    ASSERT_EQ(Transfer("127.0.0.1", 1, 1, local, "missing.txt", 1, logPath), 1);
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    ASSERT_TRUE(peer.Send(ErrorPacket(1, "File not found")));
    ASSERT_TRUE(WaitIdle());

    EXPECT_TRUE(kvp::PathExists(local.c_str()));
    EXPECT_EQ(ReadFile(local), "");
    const std::vector<std::string> lines = Lines(ReadFile(logPath));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "Received ERROR");
    EXPECT_EQ(lines[lines.size() - 2],
              "CliWriteTransfer: Error received during transfer of missing.txt. Error code 01 "
              "(The file was not found.). Details: File not found");
    EXPECT_EQ(lines.back(), "CliWriteTransfer: Failed to receive missing.txt from 127.0.0.1.");
    // The failure line also reaches the debugger output; nothing is sent back.
    EXPECT_NE(
        env_.debugLog().find("CliWriteTransfer: Failed to receive missing.txt from 127.0.0.1."),
        std::string::npos);
    EXPECT_FALSE(peer.Pending());
}

TEST_F(ClientLibrary, LoggingOffTouchesNoFileButStillReportsFailure) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string logPath = env_.dir() + "/never.log";
    ASSERT_EQ(Transfer("127.0.0.1", 1, 1, env_.dir() + "/x.bin", "x.bin", 0, logPath), 1);
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    // A 3-byte ERROR packet has no code; it is reported as code 0.
    ASSERT_TRUE(peer.Send(std::string("\0\5\0", 3)));
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(kvp::PathExists(logPath.c_str()));
    EXPECT_NE(env_.debugLog().find("CliWriteTransfer: Failed to receive x.bin from 127.0.0.1."),
              std::string::npos);
}

TEST_F(ClientLibrary, BlockAheadIsAnsweredWithError4) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/ahead.bin";
    const std::string logPath = env_.dir() + "/client.log";
    ASSERT_EQ(Transfer("127.0.0.1", 1, 1, local, "ahead.bin", 1, logPath), 1);
    std::string request, reply;
    ASSERT_TRUE(peer.WaitRequest(&request));
    const std::string first = PatternData(512, 3);
    ASSERT_TRUE(peer.Send(DataPacket(1, first)));
    ASSERT_TRUE(peer.Send(DataPacket(3, "late")));
    ASSERT_TRUE(peer.Recv(&reply));
    EXPECT_EQ(reply, AckPacket(1));
    ASSERT_TRUE(peer.Recv(&reply));
    const std::string text = "DATA receive error. Expected block 2, got block 3. Aborting.";
    EXPECT_EQ(reply, ErrorPacket(4, text));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(ReadFile(local), first);
    const std::vector<std::string> lines = Lines(ReadFile(logPath));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], text);
    EXPECT_EQ(lines.back(), "CliWriteTransfer: Failed to receive ahead.bin from 127.0.0.1.");
}

// The server's retransmission after a lost ACK: the last accepted block is acknowledged
// again (without being written twice); an older block gets no answer at all.
TEST_F(ClientLibrary, RepeatedBlocksAreNotWrittenAgain) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/repeat.bin";
    ASSERT_EQ(Transfer("127.0.0.1", 1, 1, local, "repeat.bin", 0, ""), 1);
    std::string request, reply;
    ASSERT_TRUE(peer.WaitRequest(&request));
    const std::string b1 = PatternData(512, 1), b2 = PatternData(512, 2), b3 = "end";

    // Queued at once, so that no wait of the client runs out (see ServeBlocks): block 1,
    // block 1 again as after a lost ACK, block 2, block 1 (older than the last accepted
    // one), block 3.
    for (const std::string& p : {DataPacket(1, b1), DataPacket(1, b1), DataPacket(2, b2),
                                 DataPacket(1, b1), DataPacket(3, b3)}) {
        ASSERT_TRUE(peer.Send(p));
    }
    // The repeat of the last accepted block is acknowledged again; the older block is not.
    for (uint16_t block : {1, 1, 2, 3}) {
        ASSERT_TRUE(peer.Recv(&reply));
        EXPECT_EQ(reply, AckPacket(block));
    }
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(ReadFile(local), b1 + b2 + b3);
    EXPECT_FALSE(peer.Pending());
}

TEST_F(ClientLibrary, UploadsInOctetAndNetascii) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/up.txt";
    // 600 bytes of text with bare LFs: netascii sends each as CR LF.
    std::string text;
    while (text.size() < 600) text += "line of text\n";
    WriteFile(local, text);
    std::string converted;
    for (char c : text) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);

    const struct {
        int mode;
        const char* modeText;
        std::string expected;
    } cases[] = {{1, "octet", text}, {0, "netascii", converted}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.modeText);
        ASSERT_EQ(Transfer("127.0.0.1", 0, c.mode, local, "up.txt", 0, ""), 1);
        std::string request, packet, received;
        ASSERT_TRUE(peer.WaitRequest(&request));
        EXPECT_EQ(request, RequestPacket(2, "up.txt", c.modeText));
        // Every acknowledgement is queued at once (see ServeBlocks).
        const uint16_t blocks = static_cast<uint16_t>(c.expected.size() / 512 + 1);
        for (uint16_t block = 0; block <= blocks; ++block) ASSERT_TRUE(peer.Send(AckPacket(block)));
        for (uint16_t block = 1; block <= blocks; ++block) {
            ASSERT_TRUE(peer.Recv(&packet));
            ASSERT_EQ(Field16(packet, 0), 3);
            ASSERT_EQ(Field16(packet, 2), block);
            received += packet.substr(4);
        }
        EXPECT_LT(packet.size(), 516u);
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(received, c.expected);
    }
}

// Before the request is acknowledged no block has been read: a first reply that is
// neither ACK nor ERROR must not make the client send anything; it waits again.
TEST_F(ClientLibrary, UploadSendsNoDataBeforeTheRequestIsAcknowledged) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/up.bin";
    const std::string data = PatternData(300);
    WriteFile(local, data);
    ASSERT_EQ(Transfer("127.0.0.1", 0, 1, local, "up.bin", 0, ""), 1);
    std::string request, packet;
    ASSERT_TRUE(peer.WaitRequest(&request));
    ASSERT_TRUE(peer.Send(DataPacket(1, "not an acknowledgement")));
    ASSERT_TRUE(peer.Send(std::string("\x07", 1)));
    ASSERT_TRUE(peer.Send(AckPacket(7)));
    ASSERT_TRUE(peer.Send(AckPacket(0)));
    ASSERT_TRUE(peer.Recv(&packet));
    EXPECT_EQ(packet, DataPacket(1, data));
    ASSERT_TRUE(peer.Send(AckPacket(1)));
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(peer.Pending());
}

TEST_F(ClientLibrary, UploadErrorReplyNamesCodeAndServerText) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/up.bin";
    const std::string logPath = env_.dir() + "/client.log";
    WriteFile(local, PatternData(1000));
    // The longest text an ERROR packet can carry.
    const std::string serverText(511, 'q');
    const struct {
        std::string packet;
        std::string line;
    } cases[] = {
        {ErrorPacket(3, serverText),
         "CliReadTransfer: Error received during transfer of up.bin. Error code 03 (No space is "
         "left on the device, or the storage quota has been exceeded.). Details: " +
             serverText},
        {std::string("\0\5\0\6", 4),
         "CliReadTransfer: Error received during transfer of up.bin. Error code 00 (An "
         "unspecified error occurred.)."},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Transfer("127.0.0.1", 0, 1, local, "up.bin", 1, logPath), 1);
        std::string request, packet;
        ASSERT_TRUE(peer.WaitRequest(&request));
        ASSERT_TRUE(peer.Send(AckPacket(0)));
        ASSERT_TRUE(peer.Recv(&packet));
        ASSERT_TRUE(peer.Send(c.packet));
        ASSERT_TRUE(WaitIdle());
        const std::vector<std::string> lines = Lines(ReadFile(logPath));
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[lines.size() - 3], "Received ERROR");
        EXPECT_EQ(lines[lines.size() - 2], c.line);
        EXPECT_EQ(lines.back(), "CliReadTransfer: 127.0.0.1 failed to upload up.bin.");
    }
    // The client never answers an upload's ERROR.
    EXPECT_FALSE(peer.Pending());
}

TEST_F(ClientLibrary, RefusedArgumentsStartNothing) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string local = env_.dir() + "/f.bin";
    const std::string logPath = env_.dir() + "/client.log";
    // A worker that waits for our answer.
    ASSERT_EQ(Transfer("127.0.0.1", 1, 1, local, "f.bin", 0, ""), 1);
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));

    EXPECT_EQ(Transfer("127.0.0.1", 2, 1, local, "f.bin", 0, ""), 0);
    EXPECT_EQ(Transfer("127.0.0.1", -1, 1, local, "f.bin", 0, ""), 0);
    EXPECT_EQ(Transfer("127.0.0.1", 1, -1, local, "f.bin", 0, ""), 0);
    EXPECT_EQ(Transfer("127.0.0.1", 1, 2, local, "f.bin", 0, ""), 0);
    EXPECT_EQ(Transfer("127.0.0.1", 1, 1, local, "f.bin", 2, logPath), 0);
    EXPECT_EQ(transfer_("127.0.0.1", 1, 1, local.c_str(), "f.bin", 1, nullptr), 0);
    // The earlier worker is still the one reported, and it still completes.
    EXPECT_EQ(query_(), 1);
    ASSERT_TRUE(peer.Send(DataPacket(1, "done")));
    std::string ack;
    ASSERT_TRUE(peer.Recv(&ack));
    EXPECT_EQ(ack, AckPacket(1));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(ReadFile(local), "done");
    // Nothing else was requested and nothing was logged.
    EXPECT_FALSE(peer.RequestPending());
    EXPECT_FALSE(kvp::PathExists(logPath.c_str()));
    EXPECT_EQ(env_.msgboxLog(), "");
}

TEST_F(ClientLibrary, SetUpFailuresSendNothing) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string missingDir = env_.dir() + "/no/such/dir";
    const std::string local = env_.dir() + "/created.bin";
    struct Case {
        const char* name;
        std::string server;
        int action;
        std::string local;
        int logEnable;
        std::string log;
        std::string box;  // the message box text, empty for none
    };
    const Case cases[] = {
        {"empty server name", "", 1, local, 0, "", ""},
        {"download into a missing directory", "127.0.0.1", 1, missingDir + "/f.bin", 0, "",
         "TFTP client error\tFailed to open local file for writing: No such file or directory\t"
         "0x00000010\n"},
        {"upload of a missing file", "127.0.0.1", 0, missingDir + "/f.bin", 0, "",
         "TFTP client error\tFailed to open local file for reading: No such file or directory\t"
         "0x00000010\n"},
        {"log that cannot be opened", "127.0.0.1", 1, local, 1, missingDir + "/client.log",
         "TFTP client error\tFailed to open log file for writing: No such file or directory\t"
         "0x00000010\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(env_.dir() + "/msgbox.log", "");
        ASSERT_EQ(Transfer(c.server, c.action, 1, c.local, "f.bin", c.logEnable, c.log), 1);
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(env_.msgboxLog(), c.box);
        // Everything is decided before a request: none was sent.
        EXPECT_FALSE(peer.RequestPending());
    }
    // The download whose log failed did not touch its local file.
    EXPECT_FALSE(kvp::PathExists(local.c_str()));
}

// The standard waits of 4.9 s each: about 34 s. The request goes out again after each
// wait but the last.
TEST_F(ClientLibrary, SilentServerIsGivenUpAfterSevenWaits) {
    ScriptedPeer peer(env_.tftpPort());
    const std::string logPath = env_.dir() + "/client.log";
    ASSERT_EQ(Transfer("127.0.0.1", 1, 0, env_.dir() + "/s.txt", "silent.txt", 1, logPath), 1);
    std::string request;
    ASSERT_TRUE(peer.WaitRequest(&request));
    ASSERT_TRUE(WaitIdle());
    int requests = 1;
    while (peer.RequestPending() && peer.WaitRequest(&request, 0)) ++requests;
    EXPECT_EQ(requests, 7);

    std::vector<std::string> expected;
    for (int i = 0; i < 7; ++i) {
        expected.push_back("Sending request");
        expected.push_back("Waiting for first response");
    }
    expected.push_back("MakeSendRWReq: Timeout exceeded for response of silent.txt.");
    expected.push_back("CliWriteTransfer: Failed to receive silent.txt from 127.0.0.1.");
    std::vector<std::string> lines = Lines(ReadFile(logPath));
    ASSERT_EQ(lines.size(), expected.size() + 1);
    EXPECT_TRUE(IsLogHeader(lines[0]));
    lines.erase(lines.begin());
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(env_.msgboxLog(), "");
}

}  // namespace
