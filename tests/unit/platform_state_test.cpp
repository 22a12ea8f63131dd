// The state directory against other local users: what the suite creates there is
// owner-only whatever the umask, a directory that others could change is refused, links
// planted at its names are not followed, a held lock fails a call instead of hanging it,
// and the control socket serves only its own user and root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kv/errors.h"
#include "kv/eventlog.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/service.h"
#include "kv/time.h"
#include "posix_io.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kTool = std::string(KV_TESTBIN_DIR) + "/kvsvctest";
constexpr uid_t kNobody = 65534;

// The state calls the cases drive: true when the call succeeded.
bool SetValue() {
    kvp::RegKey key;
    uint32_t disposition = 0;
    const uint32_t v = 1;
    return kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\StateTest", kvp::kKeyWrite,
                                key.out(), &disposition) == kvp::kErrorSuccess &&
           kvp::RegSetValueExA(key.get(), "V", kvp::kRegDword, reinterpret_cast<const uint8_t*>(&v),
                               sizeof v) == kvp::kErrorSuccess;
}
bool ReadValue() {
    kvp::RegKey key;
    return kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\StateTest", kvp::kKeyRead,
                              key.out()) == kvp::kErrorSuccess;
}
bool Report() {
    kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, "StateTest");
    if (!src) return false;
    const char* text = "x";
    const bool ok = kvp::ReportEventA(src, 4, 0, 1, &text, 1);
    kvp::DeregisterEventSource(src);
    return ok;
}
bool LockDatabase() {
    kvp::ScopedScHandle scm(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kScManagerAllAccess));
    kvp::ScLock lock = scm ? kvp::LockServiceDatabase(scm.get()) : nullptr;
    return lock && kvp::UnlockServiceDatabase(lock);
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

// A fresh state directory (not yet there) for the test, restored afterwards.
class StateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        state_ = env_.dir() + "/fresh/state";
        kvp::SetEnv("KVTFTP_STATE_DIR", state_.c_str());
    }
    void TearDown() override {
        kvp::internal::SetLockWaitMsForTests(kvp::internal::kLockWaitMs);
        ::umask(022);
    }
    kvtest::TestEnv env_;
    std::string state_;
};

TEST_F(StateTest, EverythingCreatedIsOwnerOnlyWhateverTheUmask) {
    ::umask(0);
    ASSERT_TRUE(SetValue());
    ASSERT_TRUE(Report());
    ASSERT_TRUE(LockDatabase());
    char system[4096];
    ASSERT_GT(kvp::GetSystemDirectoryA(system, sizeof system), 0u);
    // A dispatcher makes its socket, status and lock files.
    const kvp::pid_type pid = kvp::SpawnProcess({kTool, "-f", "Front"});
    ASSERT_GT(pid, 0);
    const std::string sock = state_ + "/run/Front.sock";
    for (int i = 0; i < 1000 && !kvp::PathExists(sock.c_str()); ++i) kvp::Sleep(10);
    EXPECT_TRUE(kvp::PathExists(sock.c_str()));

    std::vector<std::string> seen;
    seen.push_back(state_);
    EXPECT_EQ(ModeOf(state_), 0700u);
    for (const auto& e : fs::recursive_directory_iterator(state_)) {
        const std::string p = e.path().string();
        // The test tool's own notes.
        if (e.path().extension() == ".trace" || e.path().extension() == ".instance") continue;
        seen.push_back(p);
        EXPECT_EQ(ModeOf(p), e.is_directory() ? 0700u : 0600u) << p;
    }
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    EXPECT_EQ(kvp::WaitProcess(pid), 0);
    for (const char* sub : {"/registry", "/eventlog", "/run", "/system", "/run/Front.sock"})
        EXPECT_NE(std::find(seen.begin(), seen.end(), state_ + sub), seen.end()) << sub;
}

TEST_F(StateTest, DirectoriesThatOthersCouldChangeAreRefused) {
    const std::string elsewhere = env_.dir() + "/elsewhere";
    const std::vector<bool (*)()> everything = {SetValue, ReadValue, Report, LockDatabase};
    struct Case {
        const char* what;
        const char* reason;
        bool needsRoot;
        std::function<void(const std::string&)> plant;  // given the path to refuse
        const char* at;                   // "" the state directory, else a subdirectory
        std::vector<bool (*)()> refused;  // the calls that fail
    };
    const std::vector<Case> cases = {
        {"state dir 0777", "writable by group or others", false,
         [](const std::string& p) { fs::create_directories(p), ::chmod(p.c_str(), 0777); }, "",
         everything},
        {"registry dir 0770",
         "writable by group or others",
         false,
         [](const std::string& p) { fs::create_directories(p), ::chmod(p.c_str(), 0770); },
         "/registry",
         {SetValue, ReadValue}},
        {"state dir of another user", "owned by uid 65534", true,
         [](const std::string& p) {
             fs::create_directories(p), ::chmod(p.c_str(), 0700);
             ASSERT_EQ(::chown(p.c_str(), kNobody, kNobody), 0);
         },
         "", everything},
        {"link at the state dir", "symbolic link", false,
         [&](const std::string& p) { fs::create_directory_symlink(elsewhere, p); }, "", everything},
        {"link at the event log dir",
         "symbolic link",
         false,
         [&](const std::string& p) { fs::create_directory_symlink(elsewhere, p); },
         "/eventlog",
         {Report}},
        {"link at the run dir",
         "symbolic link",
         false,
         [&](const std::string& p) { fs::create_directory_symlink(elsewhere, p); },
         "/run",
         {LockDatabase}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) continue;
        fs::remove_all(env_.dir() + "/fresh");
        fs::remove_all(elsewhere);
        fs::create_directories(elsewhere);
        ::chmod(elsewhere.c_str(), 0700);
        fs::create_directories(env_.dir() + "/fresh");
        if (*c.at) {
            ASSERT_TRUE(kvp::PrepareStateDir(nullptr));
        }
        const std::string refused = state_ + c.at;
        c.plant(refused);
        std::string message;
        // The state directory is judged by itself, a subdirectory by the call that uses it.
        EXPECT_EQ(kvp::PrepareStateDir(&message), *c.at != '\0') << message;
        if (!*c.at) {
            EXPECT_NE(message.find(refused + " is"), std::string::npos) << message;
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        }
        for (bool (*call)() : c.refused) EXPECT_FALSE(call());
        EXPECT_TRUE(fs::is_empty(elsewhere));
    }
    fs::remove_all(env_.dir() + "/fresh");
}

TEST_F(StateTest, LinksPlantedAtItsNamesAreNotFollowed) {
    const std::string precious = env_.dir() + "/precious";
    struct Case {
        const char* name;
        bool (*call)();
        bool succeeds;  // a link only at a temporary name does not stop the call
    };
    const Case cases[] = {
        {"registry/HKEY_LOCAL_MACHINE.reg.tmp", SetValue, true},
        {"registry/HKEY_LOCAL_MACHINE.lock", SetValue, false},
        {"registry/HKEY_LOCAL_MACHINE.reg", SetValue, false},
        {"eventlog/Application.log", Report, false},
        {"eventlog/Application.log.trim", Report, true},
        {"run/ServicesActive.lock", LockDatabase, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(state_);
        ASSERT_TRUE(kvp::PrepareStateDir(nullptr));
        for (const char* sub : {"/registry", "/eventlog", "/run"})
            ASSERT_EQ(::mkdir((state_ + sub).c_str(), 0700), 0);
        kvtest::WriteFile(precious, "root's own");
        ASSERT_EQ(::chmod(precious.c_str(), 0600), 0);
        fs::create_symlink(precious, state_ + "/" + c.name);
        EXPECT_EQ(c.call(), c.succeeds);
        EXPECT_EQ(kvtest::ReadFile(precious), "root's own");
        EXPECT_EQ(ModeOf(precious), 0600u);
    }
}

// A child process that holds the lock of the file until it is killed.
class Holder {
  public:
    Holder(const std::string& path, bool ofd) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            const bool held =
                fd >= 0 && (ofd ? ::fcntl(fd, F_OFD_SETLK, &fl) == 0 : ::flock(fd, LOCK_EX) == 0);
            const char b = held ? '1' : '0';
            if (::write(ready[1], &b, 1) != 1 || !held) ::_exit(1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char b = 0;
        held_ = pid_ > 0 && ::read(ready[0], &b, 1) == 1 && b == '1';
        ::close(ready[0]);
    }
    ~Holder() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    bool held() const { return held_; }

  private:
    pid_t pid_ = -1;
    bool held_ = false;
};

TEST_F(StateTest, ALockHeldElsewhereFailsTheCallWithinTheBound) {
    kvp::internal::SetLockWaitMsForTests(200);
    ASSERT_TRUE(SetValue());
    ASSERT_TRUE(Report());
    ASSERT_TRUE(LockDatabase());
    kvp::ScopedScHandle scm(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kScManagerAllAccess));
    kvp::ScopedScHandle svc(kvp::CreateServiceA(
        scm.get(), "Held", nullptr, kvp::kServiceAllAccess, kvp::kServiceWin32OwnProcess,
        kvp::kServiceDemandStart, kvp::kServiceErrorNormal, kTool.c_str(), nullptr, nullptr,
        nullptr, nullptr, nullptr));
    ASSERT_TRUE(svc);
    struct Case {
        const char* lock;
        bool ofd;
        std::function<long()> call;  // the last error of the failed call
        long expected;
    };
    const std::vector<Case> cases = {
        {"registry/HKEY_LOCAL_MACHINE.lock", false, [] { return SetValue() ? 0 : 1; }, 1},
        {"registry/HKEY_LOCAL_MACHINE.lock", false, [] { return ReadValue() ? 0 : 1; }, 1},
        {"eventlog/Application.log", false, [] { return Report() ? 0 : 1; }, 1},
        {"run/Held.start", true,
         [&] { return kvp::StartServiceA(svc.get(), 0, nullptr) ? 0 : kvp::LastSystemError(); },
         kvp::kErrorServiceRequestTimeout},
        {"run/Held.start", true,
         [&] { return kvp::DeleteService(svc.get()) ? 0 : kvp::LastSystemError(); },
         kvp::kErrorServiceRequestTimeout},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lock);
        Holder holder(state_ + "/" + c.lock, c.ofd);
        ASSERT_TRUE(holder.held());
        EXPECT_EQ(c.call(), c.expected);
    }
    EXPECT_NE(env_.debugLog().find("record dropped"), std::string::npos) << env_.debugLog();
    EXPECT_TRUE(kvp::DeleteService(svc.get()));
}

// Connects to the control socket as another user (the modes loosened so that the path
// can be reached at all) and sends a stop: the exit status tells what came back.
int StopAsNobody(const std::string& sock) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(10);
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(11);
        const uint32_t request[2] = {0x4B565343, kvp::kServiceControlStop};
        // Closed unanswered (0): the send or the read fails, or the read finds the end.
        char reply[64];
        ::_exit(::send(s, request, sizeof request, MSG_NOSIGNAL) == sizeof request &&
                        ::read(s, reply, sizeof reply) > 0
                    ? 13
                    : 0);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(StateTest, TheControlSocketServesOnlyItsUserAndRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const kvp::pid_type pid = kvp::SpawnProcess({kTool, "-f", "Front"});
    ASSERT_GT(pid, 0);
    const std::string sock = state_ + "/run/Front.sock";
    for (int i = 0; i < 1000 && !kvp::PathExists(sock.c_str()); ++i) kvp::Sleep(10);
    ASSERT_EQ(ModeOf(sock), 0600u);
    kvp::ScopedScHandle scm(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kScManagerAllAccess));
    kvp::ScopedScHandle svc(kvp::OpenServiceA(scm.get(), "Front", kvp::kServiceAllAccess));
    ASSERT_TRUE(svc);
    kvp::ServiceStatus st;
    for (int i = 0; i < 1000 && kvp::QueryServiceStatus(svc.get(), &st) &&
                    st.currentState != kvp::kServiceRunning;
         ++i)
        kvp::Sleep(10);
    ASSERT_EQ(st.currentState, kvp::kServiceRunning);
    // As created, another user cannot even reach it.
    EXPECT_EQ(StopAsNobody(sock), 11);
    for (const std::string& d : {env_.dir(), env_.dir() + "/fresh", state_, state_ + "/run"})
        ASSERT_EQ(::chmod(d.c_str(), 0711), 0);
    ASSERT_EQ(::chmod(sock.c_str(), 0666), 0);
    EXPECT_EQ(StopAsNobody(sock), 0);
    EXPECT_NE(env_.debugLog().find("control from uid 65534"), std::string::npos) << env_.debugLog();
    ASSERT_TRUE(kvp::QueryServiceStatus(svc.get(), &st));
    EXPECT_EQ(st.currentState, kvp::kServiceRunning);
    EXPECT_TRUE(kvp::ControlService(svc.get(), kvp::kServiceControlStop, &st));
    EXPECT_EQ(kvp::WaitProcess(pid), 0);
}

}  // namespace
