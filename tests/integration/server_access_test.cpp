// Which requests the server refuses, what it answers, and where a requested name may
// lead: never out of the root directory.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kv/paths.h"
#include "server_harness.h"

namespace srvtest {
namespace {

class ServerAccessTest : public ServerTest {
  protected:
    struct Answer {
        bool got = false;
        uint16_t opcode = 0;
        uint16_t code = 0;
        std::string text;
        uint16_t fromPort = 0;
    };

    // Sends one request and takes the first answer, if any comes within ms.
    Answer Ask(uint16_t op, const std::string& name, int ms = kPromptMs) {
        Peer peer;
        Answer a;
        EXPECT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(op, name, "octet")));
        std::string p;
        if (!peer.Receive(&p, ms)) return a;
        a.got = true;
        a.opcode = Opcode(p);
        a.code = Block(p);
        a.text = ErrorText(p);
        a.fromPort = peer.lastFromPort();
        // End a transfer that did start.
        if (a.opcode != 5) peer.Reply(ErrorPacket(0, "test over"));
        return a;
    }

    void ExpectRefusal(uint16_t op, const std::string& name, uint16_t code,
                       const std::string& text) {
        SCOPED_TRACE(name);
        const Answer a = Ask(op, name);
        ASSERT_TRUE(a.got);
        EXPECT_EQ(a.opcode, 5);
        EXPECT_EQ(a.code, code);
        EXPECT_EQ(a.text, text);
        // Refusals come from a fresh socket, never from the TFTP port.
        EXPECT_NE(a.fromPort, env_.tftpPort());
    }

    void Restart() {
        StopServer();
        StartServer();
    }

    const std::string kParentRead = "Cannot use reference to parent directories in filename.";
    const std::string kParentWrite = "Cannot use refer to parent directories in filename.";
    const std::string kExists = "The file already exists. Overwrites have not been permitted.";
    const std::string kDenied = "TFTP access has not be explicitly allowed for this host.";
};

TEST_F(ServerAccessTest, DisabledDirectionsAreRefusedWithCode2AndNotLogged) {
    kvtest::WriteFile(RootPath("f.bin"), "x");
    // Both switches are on only for the byte 1.
    SetFlagValue("AllowDownloads", 2);
    SetFlagValue("AllowUploads", 0);
    StartServer();
    const size_t mark = EventLines().size();
    ExpectRefusal(1, "f.bin", 2, "All TFTP downloads have been disabled on this server.");
    ExpectRefusal(2, "new.bin", 2, "All TFTP uploads have been disabled on this server.");
    EXPECT_FALSE(std::filesystem::exists(RootPath("new.bin")));
    EXPECT_EQ(EventLines().size(), mark);
}

TEST_F(ServerAccessTest, ParentReferencesAreRefusedBeforeAnyFileIsTouched) {
    SetFlagValue("AllowOverwrite", 1);
    std::filesystem::create_directories(RootPath("sub"));
    kvtest::WriteFile(RootPath("a..b"), "exists, but the name is refused all the same");
    StartServer();
    const size_t mark = EventLines().size();
    for (const char* name : {"../boot.ini", "sub/../x", "a..b", "..", "..\\secret.txt",
                             "sub\\..\\..\\x", "/..", "...", "\\..\\x"}) {
        ExpectRefusal(1, name, 1, kParentRead);
        ExpectRefusal(2, name, 1, kParentWrite);
    }
    EXPECT_EQ(kvtest::ReadFile(RootPath("a..b")), "exists, but the name is refused all the same");
    EXPECT_FALSE(std::filesystem::exists(RootPath("x")));
    EXPECT_EQ(EventLines().size(), mark);
}

TEST_F(ServerAccessTest, MissingFileIsAnsweredWithTheFullPathAndLogged) {
    StartServer();
    const size_t mark = EventLines().size();
    const std::string text =
        "CheckFilenameToRead: Unable to open " + RootPath("missing.txt") + " for reading.";
    ExpectRefusal(1, "missing.txt", 1, text);
    EXPECT_TRUE(WaitForLine(text, mark));
}

TEST_F(ServerAccessTest, ExistingFileIsKeptWithoutOverwritePermission) {
    kvtest::WriteFile(RootPath("keep.txt"), "original");
    std::filesystem::create_directories(RootPath("dir"));
    StartServer();
    const size_t mark = EventLines().size();
    ExpectRefusal(2, "keep.txt", 2, kExists);
    // Something exists at the path: a directory counts too.
    ExpectRefusal(2, "dir", 2, kExists);
    EXPECT_EQ(kvtest::ReadFile(RootPath("keep.txt")), "original");
    EXPECT_EQ(EventLines().size(), mark);
}

TEST_F(ServerAccessTest, OverwriteReplacesOnlyWhenCompleteAndDirectoryCannotBeOpened) {
    kvtest::WriteFile(RootPath("keep.txt"), "original contents");
    std::filesystem::create_directories(RootPath("dir"));
    // Any byte but 0 allows overwrites.
    SetFlagValue("AllowOverwrite", 2);
    StartServer();
    const size_t mark = EventLines().size();
    Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(2, "keep.txt", "octet")));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_EQ(p, AckPacket(0));
    // The old file stays whole until the new one is complete.
    EXPECT_EQ(kvtest::ReadFile(RootPath("keep.txt")), "original contents");
    ASSERT_TRUE(peer.Reply(DataPacket(1, "new")));
    ASSERT_TRUE(peer.Receive(&p));
    ASSERT_TRUE(
        WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + RootPath("keep.txt") + ".", mark));
    EXPECT_EQ(kvtest::ReadFile(RootPath("keep.txt")), "new");

    const std::string text =
        "CheckFilenameToWrite: Unable to open " + RootPath("dir") + " for writing.";
    ExpectRefusal(2, "dir", 1, text);
    EXPECT_TRUE(WaitForLine(text, mark));
    EXPECT_TRUE(std::filesystem::is_directory(RootPath("dir")));
}

TEST_F(ServerAccessTest, NamesNeverLeaveTheRoot) {
    const std::string secret = env_.dir() + "/secret.txt";
    kvtest::WriteFile(secret, "outside the root");
    std::filesystem::create_directories(RootPath("sub"));
    kvtest::WriteFile(RootPath("sub/file.txt"), "inside");
    SetFlagValue("AllowOverwrite", 1);
    StartServer();

    // Separators of either kind, leading or not, lead to the same file below the root.
    for (const char* name : {"sub/file.txt", "sub\\file.txt", "/sub/file.txt", "\\sub\\file.txt",
                             "sub\\/file.txt", "./sub/file.txt"}) {
        SCOPED_TRACE(name);
        Peer peer;
        const TransferResult r = Download(peer, env_.tftpPort(), name);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.data, "inside");
    }
    // An absolute name is taken below the root, where there is no such file.
    for (const std::string& name : {secret, std::string("/secret.txt"), std::string("\\secret.txt"),
                                    "\\\\localhost\\" + secret}) {
        SCOPED_TRACE(name);
        const Answer a = Ask(1, name);
        ASSERT_TRUE(a.got);
        EXPECT_EQ(a.opcode, 5);
        EXPECT_EQ(a.code, 1);
        EXPECT_EQ(a.text.rfind("CheckFilenameToRead: Unable to open " + root_ + "/", 0), 0u)
            << a.text;
    }
    // A directory named as the file, the root itself included, is not a file to send.
    ExpectRefusal(1, "sub", 1,
                  "CheckFilenameToRead: Unable to open " + RootPath("sub") + " for reading.");
    ExpectRefusal(1, "", 1, "CheckFilenameToRead: Unable to open " + root_ + "/ for reading.");

    // Uploads with absolute names land below the root or nowhere.
    Peer up;
    ASSERT_TRUE(Upload(up, env_.tftpPort(), "/abs.txt", "below").ok);
    ASSERT_TRUE(WaitForLine("ServeWriteRequest: 127.0.0.1 uploaded " + root_ + "//abs.txt."));
    EXPECT_EQ(kvtest::ReadFile(RootPath("abs.txt")), "below");
    const std::string escape = env_.dir() + "/escape.txt";
    const Answer a = Ask(2, escape);
    EXPECT_EQ(a.code, 1);
    EXPECT_FALSE(std::filesystem::exists(escape));
    EXPECT_EQ(kvtest::ReadFile(secret), "outside the root");
}

TEST_F(ServerAccessTest, EmptyRootServesNothingAndSaysSo) {
    SetStringValue("TFTPHome", "");
    SetFlagValue("AllowOverwrite", 1);
    StartServer();
    EXPECT_TRUE(
        WaitForLine("StartTFTPServerThread: No root directory (TFTPHome) is set. Every "
                    "request is refused until one is set."));
    // Joined to an empty root these would be paths from the top of the file system.
    const std::string escape = "tmp/kvtftp-empty-root-" + std::to_string(env_.tftpPort());
    const std::string text = "No root directory has been set on this server.";
    ExpectRefusal(1, "etc/passwd", 2, text);
    ExpectRefusal(1, "/etc/passwd", 2, text);
    ExpectRefusal(2, escape, 2, text);
    EXPECT_FALSE(std::filesystem::exists("/" + escape));
    // The parent-reference refusal still comes first.
    ExpectRefusal(1, "../x", 1, kParentRead);

    SetStringValue("TFTPHome", root_);
    kvtest::WriteFile(RootPath("f.txt"), "served");
    Restart();
    Peer peer;
    EXPECT_EQ(Download(peer, env_.tftpPort(), "f.txt").data, "served");
}

// A root at the top of a file system or in the system's own directories (what a service
// started without a root would use) serves nothing, however it is spelt.
TEST_F(ServerAccessTest, FileSystemTopAndSystemDirectoriesAreNeverServed) {
    namespace fs = std::filesystem;
    char sys[261] = {};
    ASSERT_GT(kvp::GetSystemDirectoryA(sys, sizeof sys), 0u);
    std::vector<std::string> roots = {
        "/", "//", "/.", std::string(sys), std::string(sys) + "/.", root_ + "/../../../../../.."};
    std::error_code ec;
    fs::create_directory_symlink("/", env_.dir() + "/top", ec);
    if (!ec) roots.push_back(env_.dir() + "/top");
    SetFlagValue("AllowOverwrite", 1);
    const std::string text = "No root directory has been set on this server.";
    const std::string probe = "kvtftp-refused-root-" + std::to_string(env_.tftpPort());
    for (const std::string& root : roots) {
        SCOPED_TRACE(root);
        SetStringValue("TFTPHome", root);
        if (started_) StopServer();
        const size_t mark = EventLines().size();
        StartServer();
        EXPECT_NE(
            WaitForLineStarting(
                "StartTFTPServerThread: The root directory " + root + " (TFTPHome) is ", mark),
            "");
        kvtest::WriteFile(std::string(sys) + "/" + probe, "system file");
        ExpectRefusal(1, probe, 2, text);
        ExpectRefusal(1, "etc/hostname", 2, text);
        ExpectRefusal(2, probe, 2, text);
        ExpectRefusal(2, "tmp/" + probe, 2, text);
        EXPECT_EQ(kvtest::ReadFile(std::string(sys) + "/" + probe), "system file");
        EXPECT_FALSE(fs::exists("/tmp/" + probe));
        fs::remove(std::string(sys) + "/" + probe, ec);
    }
    // A root of its own is served again.
    SetStringValue("TFTPHome", root_);
    kvtest::WriteFile(RootPath("f.txt"), "served");
    Restart();
    Peer peer;
    EXPECT_EQ(Download(peer, env_.tftpPort(), "f.txt").data, "served");
}

// Names an attacker would try, in every spelling: none may open, create or truncate a
// file outside the root, whatever the settings allow.
TEST_F(ServerAccessTest, HostileNamesNeverReachOutsideTheRoot) {
    namespace fs = std::filesystem;
    const std::string outside = env_.dir() + "/outside";
    fs::create_directories(outside);
    fs::create_directories(RootPath("sub"));
    const std::string secret = "the secret outside the root";
    kvtest::WriteFile(outside + "/secret.txt", secret);
    kvtest::WriteFile(RootPath("sub/file.txt"), "inside");
    // Where the system makes no symbolic links (Wine), the names below that would go
    // through them are still asked for, as plain missing names.
    bool links = true;
    const auto link = [&](const std::string& target, const std::string& at) {
        std::error_code ec;
        fs::create_symlink(target, at, ec);
        if (ec && links) std::printf("no symbolic links here (%s)\n", ec.message().c_str());
        links = links && !ec;
    };
    link("../outside/secret.txt", RootPath("out"));
    link(outside + "/secret.txt", RootPath("abs"));
    link(outside, RootPath("outdir"));
    link(outside + "/created.txt", RootPath("dangling"));
    link("..", RootPath("sub/up"));
    link("file.txt", RootPath("sub/in"));

    // Everything outside the root and the state directory, with the outside files' bytes
    // (paths compared with one separator: Windows lists them with backslashes).
    const auto generic = [](const std::string& p) { return fs::path(p).generic_string(); };
    const auto snapshot = [&] {
        std::map<std::string, std::string> seen;
        for (const auto& e : fs::recursive_directory_iterator(env_.dir())) {
            const std::string p = e.path().generic_string();
            // The server's own debugger output (a failed upload writes a line) is no file
            // a client made.
            if (p.rfind(generic(root_), 0) == 0 ||
                p.rfind(generic(env_.dir() + "/state"), 0) == 0 ||
                p == generic(env_.dir() + "/debug.log"))
                continue;
            seen[p] =
                p.rfind(generic(outside), 0) == 0 && e.is_regular_file() ? kvtest::ReadFile(p) : "";
        }
        return seen;
    };
    const auto before = snapshot();

    std::vector<std::string> names = {
        // parent references
        "..", "../outside/secret.txt", "..\\outside\\secret.txt", "sub/../../outside/secret.txt",
        "....//outside/secret.txt", ".../outside", "..;/x", "sub/..", "sub\\..\\..",
        // encodings that a server must not decode into parent references
        "%2e%2e/outside/secret.txt", "..%2foutside%2fsecret.txt", "%2e%2e%5csecret.txt",
        "\xc0\xae\xc0\xae/outside/secret.txt", "\xef\xbc\x8e\xef\xbc\x8e/outside/secret.txt",
        // absolute names of every kind
        outside + "/secret.txt", "/" + outside + "/secret.txt", "\\\\localhost\\" + outside,
        "//etc/passwd", "/etc/passwd", "\\etc\\passwd", "C:\\Windows\\win.ini", "C:/x",
        "\\\\?\\C:\\x", "~/.profile", "~root/x", "/proc/self/environ", "/dev/zero",
        // links below the root that point out of it, directly or through a directory
        "out", "abs", "outdir/secret.txt", "outdir/created.txt", "dangling", "sub/up/out",
        "sub/up/outdir/secret.txt", "/out", "\\abs",
        // names ending in a dot or a blank, the Windows shell's silent trims
        "out.", "out ", "abs. ", "outdir./secret.txt", "outdir /secret.txt", ". ", " ", ".",
        // control bytes and very long names
        std::string("a\x01b"), "line\r\nbreak", "\x1b[2J", "tab\tname", std::string(507, 'a'),
        std::string(300, 'x') + "/y", std::string(250, '/') + "out"};
    for (int i = 0; i < 120; ++i) names.back().insert(0, "./");

    SetFlagValue("AllowOverwrite", 1);
    StartServer();
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        {
            Peer peer;
            const TransferResult r = Download(peer, env_.tftpPort(), name, "octet", 3000);
            EXPECT_EQ(r.data.find("secret"), std::string::npos);
            if (!r.ok) {
                EXPECT_TRUE(r.gotError);
            }
        }
        {
            Peer peer;
            Upload(peer, env_.tftpPort(), name, "written by a client");
        }
    }
    EXPECT_EQ(snapshot(), before);

    // Without overwrites too; a link at the name counts as something that exists.
    SetFlagValue("AllowOverwrite", 0);
    Restart();
    for (const char* name : {"dangling", "out", "abs"}) ExpectRefusal(2, name, 2, kExists);
    for (const char* name : {"outdir/created.txt", "sub/up/outdir/created.txt"}) {
        Peer peer;
        EXPECT_FALSE(Upload(peer, env_.tftpPort(), name, "x").ok) << name;
    }
    EXPECT_EQ(snapshot(), before);
    // A link that stays below the root is followed.
    if (links) {
        Peer peer;
        EXPECT_EQ(Download(peer, env_.tftpPort(), "sub/in").data, "inside");
    }
}

// Uploads racing for one new name: without overwrites exactly one may create it; the
// others are refused when they would put their file in place.
TEST_F(ServerAccessTest, RacingUploadsOfANewNameCreateItOnce) {
    StartServer();
    for (int round = 0; round < 5; ++round) {
        const std::string name = "race" + std::to_string(round) + ".bin";
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < 6; ++i) {
            peers.push_back(std::make_unique<Peer>());
            ASSERT_TRUE(peers.back()->SendTo(env_.tftpPort(), RequestPacket(2, name, "octet")));
        }
        for (auto& peer : peers) {
            std::string p;
            ASSERT_TRUE(peer->Receive(&p));
            ASSERT_EQ(p, AckPacket(0));
        }
        for (size_t i = 0; i < peers.size(); ++i) {
            ASSERT_TRUE(peers[i]->Reply(DataPacket(1, "upload " + std::to_string(i))));
        }
        std::vector<std::string> stored;
        int refused = 0;
        for (size_t i = 0; i < peers.size(); ++i) {
            std::string p;
            ASSERT_TRUE(peers[i]->Receive(&p));
            if (p == AckPacket(1)) {
                stored.push_back("upload " + std::to_string(i));
            } else {
                EXPECT_EQ(Opcode(p), 5);
                EXPECT_EQ(Block(p), 2);
                EXPECT_EQ(ErrorText(p), kExists);
                ++refused;
            }
        }
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(refused, 5);
        EXPECT_EQ(kvtest::ReadFile(RootPath(name)), stored[0]);
    }
    // The refused uploads left nothing behind.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(root_)) {
        EXPECT_EQ(e.path().filename().string().rfind("race", 0), 0u) << e.path();
        ++entries;
    }
    EXPECT_EQ(entries, 5u);
}

TEST_F(ServerAccessTest, NoErrorRepliesWhenSendBackErrorsIsOff) {
    kvtest::WriteFile(RootPath("keep.txt"), "original");
    SetFlagValue("SendBackErrors", 0);
    SetFlagValue("AllowDownloads", 0);
    StartServer();
    size_t mark = EventLines().size();
    EXPECT_FALSE(Ask(1, "keep.txt", 300).got);
    EXPECT_FALSE(Ask(2, "../x", 300).got);
    EXPECT_FALSE(Ask(2, "keep.txt", 300).got);
    // Errors inside a running transfer are sent all the same.
    {
        Peer peer;
        ASSERT_TRUE(peer.SendTo(env_.tftpPort(), RequestPacket(2, "new.bin", "octet")));
        std::string p;
        ASSERT_TRUE(peer.Receive(&p));
        ASSERT_EQ(p, AckPacket(0));
        ASSERT_TRUE(peer.Reply(DataPacket(2, "ahead")));
        ASSERT_TRUE(peer.Receive(&p));
        EXPECT_EQ(Opcode(p), 5);
        EXPECT_EQ(Block(p), 4);
    }

    SetFlagValue("AllowDownloads", 1);
    Restart();
    mark = EventLines().size();
    EXPECT_FALSE(Ask(1, "missing.txt", 300).got);
    // The refusal is logged even though nothing is sent.
    EXPECT_TRUE(WaitForLine(
        "CheckFilenameToRead: Unable to open " + RootPath("missing.txt") + " for reading.", mark));

    SetFlagValue("ClientRestrict", 1);
    SetStringValue("AllowedClients", "10.0.0.5");
    Restart();
    mark = EventLines().size();
    EXPECT_FALSE(Ask(1, "keep.txt", 300).got);
    EXPECT_TRUE(WaitForLine("Denied TFTP access to host 127.0.0.1.", mark));
}

TEST_F(ServerAccessTest, ClientRestrictionMatchesAddressesAndNamesExactly) {
    kvtest::WriteFile(RootPath("f.txt"), "served");
    // Restriction on for any byte but 0.
    SetFlagValue("ClientRestrict", 2);
    struct Case {
        const char* list;
        bool served;
    };
    const Case cases[] = {
        {"10.0.0.5;  127.0.0.1", true},
        // 127.0.0.1 is "localhost" by reverse look-up; letter case does not matter.
        {"10.0.0.5; \t printer01\r\nLOCALHOST", true},
        {"localhost", true},
        // No partial addresses, ranges or names.
        {"10.0.0.5 127.0.0.10 127.0.0 127.0.0.* local localhost.", false},
        {"", false},
        {" ; \t\r\n", false},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        SetStringValue("AllowedClients", c.list);
        if (first) {
            StartServer();
            first = false;
        } else {
            Restart();
        }
        const size_t mark = EventLines().size();
        Peer peer;
        const TransferResult r = Download(peer, env_.tftpPort(), "f.txt");
        if (c.served) {
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(r.data, "served");
        } else {
            EXPECT_FALSE(r.ok);
            EXPECT_TRUE(r.gotError);
            EXPECT_EQ(r.errorCode, 2);
            EXPECT_EQ(r.errorText, kDenied);
            EXPECT_TRUE(WaitForLine("Denied TFTP access to host 127.0.0.1.", mark));
        }
    }
    // A refused client is refused whatever it sends, before its opcode is looked at.
    Peer peer;
    const size_t mark = EventLines().size();
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), DataPacket(1, "x")));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    EXPECT_EQ(Block(p), 2);
    EXPECT_EQ(ErrorText(p), kDenied);
    EXPECT_TRUE(WaitForLine("Denied TFTP access to host 127.0.0.1.", mark));
    EXPECT_EQ(CountLines("Unexpected DATA packet received from client.", mark), 0u);
}

}  // namespace
}  // namespace srvtest
