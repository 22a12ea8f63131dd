// The service as an administrator runs it, every program a process of its own: the
// setup tool installs it, the service manager starts the host, the host serves, pauses,
// reloads and stops, and the setup tool removes everything again.
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kv/errors.h"
#include "kv/service.h"
#include "process_support.h"
#include "server_harness.h"
#include "service_harness.h"

namespace fs = std::filesystem;

namespace svctest {
namespace {

using kvtest::ProcessesOf;

constexpr uint32_t kMsgText = 0x40000001;
constexpr uint32_t kMsgStarted = 0x40000002;
constexpr uint32_t kMsgStopped = 0x40000003;
constexpr uint32_t kMsgPaused = 0x40000004;
constexpr uint32_t kMsgResumed = 0x40000005;

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = env_.dir() + "/root";
        fs::create_directories(root_);
        kvtest::WriteFile(root_ + "/f.txt", "served by the service");
        SetMachineText(kServerKey, "TFTPHome", root_);
    }
    void TearDown() override {
        // A host must never outlive its test.
        RunProgram({"kvsc", "stop", "KVTFTP"});
        WaitUntil([] { return QueryState() <= kvp::kServiceStopped; }, 12000);
        for (long pid : ProcessesOf("kvtftpsvc")) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }

    void Install() {
        const kvtest::CommandResult r = RunProgram({"kvsetup", "-i"});
        ASSERT_EQ(r.status, 0) << r.output;
    }
    void Sc(const std::vector<std::string>& args, int status = 0) {
        std::vector<std::string> argv{"kvsc"};
        argv.insert(argv.end(), args.begin(), args.end());
        const kvtest::CommandResult r = RunProgram(argv);
        EXPECT_EQ(r.status, status) << r.output;
    }
    void Start() {
        Sc({"start", "KVTFTP"});
        ASSERT_TRUE(WaitForState(kvp::kServiceRunning)) << QueryState();
    }
    // A download with our scripted client, which repeats its request as a client does
    // while a restarted listener takes its port again.
    std::string Fetch(const std::string& name) {
        srvtest::TransferResult r;
        for (int attempt = 0; attempt < 10 && !r.ok && !r.gotError; ++attempt) {
            srvtest::Peer peer;
            // Quick tries while the port is taken again, then as long as a loaded
            // machine may take to answer.
            r = srvtest::Download(peer, env_.tftpPort(), name, "octet",
                                  attempt < 3 ? 500 : srvtest::kPromptMs);
        }
        return r.ok ? r.data : "<failed: " + r.errorText + ">";
    }
    size_t CountEvents(uint32_t id, const std::string& text = "") {
        size_t n = 0;
        for (const Event& e : Events()) n += e.id == id && (text.empty() || e.text == text);
        return n;
    }

    static kvp::RegKey OpenServerKey() {
        kvp::RegKey key;
        EXPECT_EQ(
            kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyAllAccess, key.out()),
            0L);
        return key;
    }

    kvtest::TestEnv env_;
    std::string root_;
};

TEST_F(HostTest, InstallServePauseReloadStopAndRemove) {
    Install();
    const std::string bin = kvtest::BinDir() + "/";
    EXPECT_EQ(MachineText(kServerKey, "RootDirectory"), bin);
    EXPECT_EQ(MachineText(kSourceKey, "EventMessageFile"), bin + "KVTFTPASC.DLL");
    EXPECT_EQ(MachineText(kCplsKey, "TFTP server"), bin + "KVTFTPCPL.CPL");
    EXPECT_EQ(MachineText(kServiceKey, "ImagePath"), bin + "KVTFTPSVC.EXE");
    EXPECT_EQ(MachineDword(kServiceKey, "Start"), 3u);
    EXPECT_TRUE(WaitForEvent(kMsgText, "TFTP service added, starts on demand."));

    Start();
    ASSERT_TRUE(WaitForEvent(kMsgStarted));
    EXPECT_EQ(Fetch("f.txt"), "served by the service");

    // Paused, a request waits in the queue and is served after the continue.
    Sc({"pause", "KVTFTP"});
    EXPECT_EQ(QueryState(), kvp::kServicePaused);
    {
        srvtest::Peer peer;
        ASSERT_TRUE(peer.SendTo(env_.tftpPort(), srvtest::RequestPacket(1, "f.txt", "octet")));
        EXPECT_TRUE(peer.Silent(700));
        Sc({"continue", "KVTFTP"});
        std::string p;
        ASSERT_TRUE(peer.Receive(&p));
        EXPECT_EQ(p.substr(4), "served by the service");
        peer.Reply(srvtest::AckPacket(1));
    }

    // A parameter change: the next download comes from the new root.
    const std::string other = env_.dir() + "/other";
    fs::create_directories(other);
    kvtest::WriteFile(other + "/g.txt", "from the new root");
    SetMachineText(kServerKey, "TFTPHome", other);
    Sc({"control", "KVTFTP", "6"});
    EXPECT_TRUE(WaitForEvent(kMsgText, "Parameter change received. TFTP server restarted."));
    EXPECT_EQ(Fetch("g.txt"), "from the new root");

    Sc({"stop", "KVTFTP"});
    EXPECT_EQ(QueryState(), kvp::kServiceStopped);
    ASSERT_TRUE(WaitForEvent(kMsgStopped));
    std::vector<uint32_t> life;
    for (const Event& e : Events()) {
        if (e.id != kMsgText || e.text.rfind("Parameter change", 0) == 0) life.push_back(e.id);
    }
    EXPECT_EQ(life,
              (std::vector<uint32_t>{kMsgStarted, kMsgPaused, kMsgResumed, kMsgText, kMsgStopped}));

    const kvtest::CommandResult r = RunProgram({"kvsetup", "-r"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(MachineKeyExists(kServiceKey));
    EXPECT_FALSE(MachineKeyExists(kSourceKey));
    EXPECT_EQ(MachineText(kCplsKey, "TFTP server"), "<missing>");
    EXPECT_TRUE(!fs::exists(env_.dir() + "/state/system") ||
                fs::is_empty(env_.dir() + "/state/system"));
    EXPECT_EQ(CountEvents(kMsgText, "TFTP service stopped and removed."), 1u);
    EXPECT_EQ(env_.msgboxLog(), "");
}

TEST_F(HostTest, StateMachineOfTheHost) {
    Install();
    Start();
    // Two pauses, one continue: the server serves again.
    Sc({"pause", "KVTFTP"});
    Sc({"pause", "KVTFTP"});
    EXPECT_EQ(CountEvents(kMsgPaused), 2u);
    // A parameter change while paused only reports the state.
    Sc({"control", "KVTFTP", "6"});
    EXPECT_EQ(QueryState(), kvp::kServicePaused);
    Sc({"continue", "KVTFTP"});
    EXPECT_EQ(CountEvents(kMsgResumed), 1u);
    EXPECT_EQ(Fetch("f.txt"), "served by the service");
    EXPECT_EQ(CountEvents(kMsgText, "Parameter change received. TFTP server restarted."), 0u);

    // A code of the user range reaches the handler, which does not know it.
    Sc({"control", "KVTFTP", "200"});
    EXPECT_NE(env_.msgboxLog().find("SvcHandler - Unrecognized opcode\t"), std::string::npos)
        << env_.msgboxLog();
    EXPECT_EQ(QueryState(), kvp::kServiceRunning);

    // The system shuts down: a managed service is told so by SIGTERM. The stopped entry,
    // then the shutdown line.
    const std::vector<long> hosts = ProcessesOf("kvtftpsvc");
    ASSERT_EQ(hosts.size(), 1u);
    ::kill(static_cast<pid_t>(hosts[0]), SIGTERM);
    ASSERT_TRUE(WaitForState(kvp::kServiceStopped));
    ASSERT_TRUE(WaitForEvent(kMsgText, "Machine shutdown message received."));
    const std::vector<Event> events = Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].id, kMsgStopped);
    // Interrogating a stopped service is refused by the manager, the state still read.
    // (kvsc exits with the Windows code, of which a POSIX exit status keeps 8 bits.)
    Sc({"interrogate", "KVTFTP"}, static_cast<int>(kvp::kErrorServiceNotActive & 0xFF));
    EXPECT_EQ(Support::Get().call("GetSvcStatus"), kvp::kServiceStopped);
}

TEST_F(HostTest, FailuresOfTheHostAndTheSetupTool) {
    // Not started by the service manager.
    kvtest::CommandResult r = RunProgram({"kvtftpsvc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        env_.msgboxLog().find("Main StartServiceCtrlDispatcher\t" + kvp::SystemErrorText(1063)),
        std::string::npos)
        << env_.msgboxLog();
    // Options without regard to case; anything else does nothing.
    r = RunProgram({"kvtftpsvc", "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "");
    r = RunProgram({"kvtftpsvc", "-H"});
    EXPECT_EQ(r.output.rfind("Korvane TFTP server -\n\nUse -i to install the service.\n", 0), 0u)
        << r.output;
    SetMachineText(kServerKey, "RootDirectory", kvtest::BinDir());
    r = RunProgram({"kvtftpsvc", "-I"});
    EXPECT_EQ(r.output, "Installing Korvane TFTP server as a service...\n");
    r = RunProgram({"kvtftpsvc", "-i"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(env_.msgboxLog().find("Install service\t" + kvp::SystemErrorText(1073)),
              std::string::npos);

    // Removed while running: it goes when it stops.
    Start();
    r = RunProgram({"kvtftpsvc", "-R"});
    EXPECT_EQ(r.output, "Removing Korvane TFTP server as a service...\n");
    EXPECT_TRUE(MachineKeyExists(kServiceKey));
    EXPECT_EQ(Fetch("f.txt"), "served by the service");
    Sc({"stop", "KVTFTP"});
    EXPECT_TRUE(WaitUntil([] { return !MachineKeyExists(kServiceKey); }));

    // Removing what is not there: every step reports, the sequence still ends.
    fs::remove(env_.dir() + "/msgbox.log");
    r = RunProgram({"kvsetup", "-Remove"});
    EXPECT_EQ(r.status, 0);
    const std::string boxes = env_.msgboxLog();
    EXPECT_NE(boxes.find("Service open error\t"), std::string::npos) << boxes;
    EXPECT_NE(boxes.find("Open SCM\t"), std::string::npos) << boxes;
    EXPECT_NE(boxes.find("Remove event source key\t"), std::string::npos) << boxes;
    EXPECT_EQ(CountEvents(kMsgText, "TFTP service stopped and removed."), 1u);
}

TEST_F(HostTest, WithoutTheSupportLibraryNothingRunsAndAFailedStartReadsStopped) {
    // Programs alone in a directory, no install location recorded.
    const std::string lone = env_.dir() + "/lone/";
    fs::create_directories(lone);
    for (const char* p : {"kvtftpsvc", "kvsetup"})
        fs::copy_file(kvtest::BinDir() + "/" + p, lone + p);
    kvtest::CommandResult r = RunProgram({lone + "kvsetup", "-i"});
    EXPECT_EQ(r.status, 1);
    r = RunProgram({lone + "kvtftpsvc", "-i"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.find("Installing"), std::string::npos) << r.output;
    const std::vector<std::string> boxes = kvtest::Lines(env_.msgboxLog());
    ASSERT_EQ(boxes.size(), 5u) << env_.msgboxLog();
    // The server key exists (it holds the root), the install location does not.
    EXPECT_EQ(boxes[0].rfind("Registry error\tUnable to get the TFTP server install location.", 0),
              0u);
    EXPECT_EQ(
        boxes[1].rfind("Load TFTP server DLL\tFailed to find the resource library. Aborting.", 0),
        0u);
    EXPECT_EQ(boxes[2].rfind("Setup error\tUnable to load the resource DLL.", 0), 0u);

    // The host finds its support library but no engine: the start is accepted, the
    // service stops with a code of its own, never reads as running.
    fs::copy_file(kvtest::BinDir() + "/kvtftpasc.so", lone + "kvtftpasc.so");
    SetMachineText(kServerKey, "RootDirectory", lone);
    ASSERT_EQ(Support::Get().call("AddSvcToMachine"), 1u);
    EXPECT_EQ(Support::Get().call("DoSvcStart"), kvp::kServiceRunning);
    ASSERT_TRUE(WaitForState(kvp::kServiceStopped));
    kvp::ScopedScHandle manager(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kGenericRead));
    kvp::ScopedScHandle service(
        kvp::OpenServiceA(manager.get(), "KVTFTP", kvp::kServiceQueryStatus));
    kvp::ServiceStatus status;
    ASSERT_TRUE(kvp::QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.win32ExitCode, static_cast<uint32_t>(kvp::kErrorServiceSpecificError));
    EXPECT_NE(status.serviceSpecificExitCode, 0u);
}

TEST_F(HostTest, HostKilledReadsStoppedAndConcurrentStartsLeaveOneHost) {
    Install();
    for (int round = 0; round < 3; ++round) {
        std::vector<std::thread> starters;
        std::vector<kvtest::CommandResult> results(2);
        for (int i = 0; i < 2; ++i) {
            starters.emplace_back([&, i] {
                results[i] = kvtest::RunCommand({kvtest::BinDir() + "/kvsc", "start", "KVTFTP"},
                                                env_.dir() + "/start" + std::to_string(i) + ".out");
            });
        }
        for (auto& t : starters) t.join();
        std::sort(results.begin(), results.end(),
                  [](const auto& a, const auto& b) { return a.status < b.status; });
        EXPECT_EQ(results[0].status, 0) << results[0].output;
        EXPECT_NE(results[1].output.find("1056"), std::string::npos) << results[1].output;
        ASSERT_TRUE(WaitForState(kvp::kServiceRunning));
        const std::vector<long> hosts = ProcessesOf("kvtftpsvc");
        ASSERT_EQ(hosts.size(), 1u);
        EXPECT_EQ(Fetch("f.txt"), "served by the service");
        // Killed without a word: the manager reads it as stopped at once.
        ::kill(static_cast<pid_t>(hosts[0]), SIGKILL);
        EXPECT_TRUE(WaitForState(kvp::kServiceStopped, 10000));
    }
}

// Without a root the host would serve its working directory: "/" for the installed
// service and for a foreground host started there. Neither reads nor writes anything.
TEST_F(HostTest, WithoutARootNothingOfTheFileSystemIsServed) {
    const std::string probe = "tmp/kvtftp-no-root-" + std::to_string(env_.tftpPort());
    const auto expectNothingServed = [&] {
        EXPECT_EQ(Fetch("etc/hostname"),
                  "<failed: No root directory has been set on this server.>");
        srvtest::Peer peer;
        const srvtest::TransferResult up = srvtest::Upload(peer, env_.tftpPort(), probe, "x");
        EXPECT_FALSE(up.ok);
        EXPECT_EQ(up.errorText, "No root directory has been set on this server.");
        EXPECT_FALSE(fs::exists("/" + probe));
    };
    Install();
    ASSERT_EQ(kvp::RegDeleteValueA(OpenServerKey().get(), "TFTPHome"), 0L);
    Start();
    expectNothingServed();
    Sc({"stop", "KVTFTP"});
    ASSERT_TRUE(WaitForState(kvp::kServiceStopped));
    // A key without the value is not completed: the next host has no root either.
    ASSERT_EQ(MachineText(kServerKey, "TFTPHome"), "<missing>");
    kvtest::Daemon host({"/bin/sh", "-c", "cd / && exec " + kvtest::BinDir() + "/kvtftpsvc -f"},
                        env_.dir() + "/foreground.log");
    ASSERT_TRUE(WaitForState(kvp::kServiceRunning)) << host.log();
    expectNothingServed();
    EXPECT_NE(host.log().find("StartTFTPServerThread: The root directory / (TFTPHome) is the top "
                              "of a file system."),
              std::string::npos)
        << host.log();
    EXPECT_EQ(host.signalAndWait("TERM"), 0);
}

TEST_F(HostTest, ForegroundHostIsItsOwnServiceManager) {
    kvtest::Daemon host({kvtest::BinDir() + "/kvtftpsvc", "-f", root_},
                        env_.dir() + "/foreground.log");
    ASSERT_TRUE(WaitForState(kvp::kServiceRunning)) << host.log();
    const std::string big = kvtest::PatternData(300000);
    kvtest::WriteFile(root_ + "/big.bin", big);
    EXPECT_EQ(Fetch("f.txt"), "served by the service");
    // SIGHUP: a parameter change, the settings read again.
    const std::string other = env_.dir() + "/other";
    fs::create_directories(other);
    kvtest::WriteFile(other + "/g.txt", "reloaded");
    SetMachineText(kServerKey, "TFTPHome", other);
    ::kill(static_cast<pid_t>(host.pid()), SIGHUP);
    ASSERT_TRUE(WaitForEvent(kMsgText, "Parameter change received. TFTP server restarted."))
        << host.log();
    EXPECT_EQ(Fetch("g.txt"), "reloaded");
    // Controls from outside reach it too.
    Sc({"pause", "KVTFTP"});
    EXPECT_EQ(Support::Get().call("GetSvcStatus"), kvp::kServicePaused);
    Sc({"continue", "KVTFTP"});

    // SIGTERM with a transfer in flight: the host ends cleanly within the stop time.
    SetMachineText(kServerKey, "TFTPHome", root_);
    ::kill(static_cast<pid_t>(host.pid()), SIGHUP);
    ASSERT_TRUE(WaitUntil([&] {
        return CountEvents(kMsgText, "Parameter change received. TFTP server restarted.") == 2;
    }));
    srvtest::Peer peer;
    ASSERT_TRUE(peer.SendTo(env_.tftpPort(), srvtest::RequestPacket(1, "big.bin", "octet")));
    std::string p;
    ASSERT_TRUE(peer.Receive(&p));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(host.signalAndWait("TERM"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(11));
    // Gone with its process: no record was ever made for it.
    EXPECT_EQ(QueryState(), 0u);
}

TEST_F(HostTest, AnotherUserCanNeitherControlTheHostNorLendItAStateDirectory) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run programs as another user";
    kvtest::Daemon host({kvtest::BinDir() + "/kvtftpsvc", "-f", root_},
                        env_.dir() + "/foreground.log");
    ASSERT_TRUE(WaitForState(kvp::kServiceRunning)) << host.log();
    // Even with the way to the state directory open, it is not another user's to use.
    for (const std::string& d : {env_.dir(), env_.dir() + "/state", env_.dir() + "/state/run"})
        ASSERT_EQ(::chmod(d.c_str(), 0711), 0);
    const kvtest::CommandResult r =
        kvtest::RunCommand({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            kvtest::BinDir() + "/kvsc", "stop", "KVTFTP"},
                           env_.dir() + "/nobody.out");
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_EQ(QueryState(), kvp::kServiceRunning);
    EXPECT_EQ(host.signalAndWait("TERM"), 0);

    // A state directory that others can write is refused before anything is read from it.
    const std::string open_dir = env_.dir() + "/open";
    fs::create_directories(open_dir);
    ASSERT_EQ(::chmod(open_dir.c_str(), 0777), 0);
    const kvtest::CommandResult refused = RunProgram({"kvtftpsvc", "-f", "-s", open_dir, root_});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find(open_dir + " is writable by group or others"), std::string::npos)
        << refused.output;
    EXPECT_TRUE(fs::is_empty(open_dir));
}

// Under systemd (standard error the stream JOURNAL_STREAM names) each log line reaches the
// journal once, with its priority in front and without a time of its own.
TEST_F(HostTest, ConsoleLinesForTheJournal) {
    kvtest::Daemon host({"/bin/sh", "-c",
                         "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec " +
                             kvtest::BinDir() + "/kvtftpsvc -f " + kvtest::ShellQuote(root_)},
                        env_.dir() + "/journal.log");
    ASSERT_TRUE(WaitForState(kvp::kServiceRunning)) << host.log();
    EXPECT_EQ(Fetch("f.txt"), "served by the service");
    EXPECT_EQ(host.signalAndWait("TERM"), 0);
    std::vector<std::string> served;
    for (const std::string& line : kvtest::Lines(host.log())) {
        EXPECT_FALSE(!line.empty() && line[0] >= '0' && line[0] <= '9') << line;
        if (line.find(" downloaded ") != std::string::npos) served.push_back(line);
    }
    EXPECT_EQ(served, std::vector<std::string>{"<6>ServeReadRequest: 127.0.0.1 downloaded " +
                                               fs::canonical(root_).string() + "/f.txt."})
        << host.log();
}

// A UDP port below 1024 that nothing holds on 127.0.0.1 now (the search binds as root).
uint16_t FreePrivilegedPort() {
    for (uint16_t port = 1000; port > 900; --port) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

// "Name:\tvalue" of each thread's status file.
std::vector<std::string> TaskStatus(long pid, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        for (const std::string& line : kvtest::Lines(kvtest::ReadFile(task.path() / "status")))
            if (line.rfind(name + ":\t", 0) == 0) values.push_back(line.substr(name.size() + 2));
    }
    return values;
}

TEST_F(HostTest, ForegroundHostRunsAsAnotherUserWithOnlyThePortBind) {
    const kvtest::CommandResult missing =
        RunProgram({"kvtftpsvc", "-f", "-u", "kv-no-such-user", root_});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("no such user 'kv-no-such-user'"), std::string::npos)
        << missing.output;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const uint16_t port = FreePrivilegedPort();
    ASSERT_NE(port, 0);
    // The user's own state directory, made for it by the host; the root readable to it.
    ASSERT_EQ(::chmod(env_.dir().c_str(), 0711), 0);
    const std::string state = env_.dir() + "/nobody-state";
    kvtest::Daemon host({kvtest::BinDir() + "/kvtftpsvc", "-f", "-u", "nobody", "-s", state, "-p",
                         std::to_string(port), root_},
                        env_.dir() + "/nobody.log");
    ASSERT_TRUE(kvtest::WaitForOwnTftpServer(host, port)) << host.log();
    const std::string u = std::to_string(uid);
    for (const std::string& ids : TaskStatus(host.pid(), "Uid"))
        EXPECT_EQ(ids, u + "\t" + u + "\t" + u + "\t" + u);
    // CAP_NET_BIND_SERVICE alone, in every thread; nothing to gain by exec.
    for (const char* set : {"CapEff", "CapPrm", "CapBnd"})
        for (const std::string& caps : TaskStatus(host.pid(), set))
            EXPECT_EQ(caps, "0000000000000400") << set;
    EXPECT_EQ(TaskStatus(host.pid(), "NoNewPrivs").at(0), "1");
    struct stat st {};
    ASSERT_EQ(::stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    // The parameter change binds the port below 1024 again.
    ::kill(static_cast<pid_t>(host.pid()), SIGHUP);
    const std::string log = state + "/eventlog/Application.log";
    ASSERT_TRUE(WaitUntil([&] {
        return kvtest::ReadFile(log).find("Parameter change received.") != std::string::npos;
    })) << host.log();
    srvtest::TransferResult r;
    for (int attempt = 0; attempt < 10 && !r.ok; ++attempt) {
        srvtest::Peer peer;
        r = srvtest::Download(peer, port, "f.txt", "octet", 500);
    }
    EXPECT_EQ(r.data, "served by the service") << host.log();
    EXPECT_EQ(host.signalAndWait("TERM"), 0) << host.log();
}

}  // namespace
}  // namespace svctest
