// The service control manager stand-in: records, rights, the database lock, real
// service processes started, controlled, killed and raced, the foreground mode, kvsc.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/service.h"
#include "kv/time.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kvp::ScopedScHandle;
using kvp::ServiceStatus;

const std::string kTool = std::string(KV_TESTBIN_DIR) + "/kvsvctest";

// The last error of a call that failed; 0 when it succeeded.
long Err(bool ok) {
    return ok ? 0 : kvp::LastSystemError();
}
long Err(const void* handle) {
    return Err(handle != nullptr);
}

std::string RegText(const std::string& name, const char* value, uint32_t* type = nullptr) {
    kvp::RegKey key;
    const std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + name;
    if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, path.c_str(), kvp::kKeyRead, key.out()) != 0)
        return "<no key>";
    char buf[1024] = {};
    uint32_t size = sizeof buf - 1;
    if (kvp::RegQueryValueExA(key.get(), value, type, reinterpret_cast<uint8_t*>(buf), &size) != 0)
        return "<no value>";
    return std::string(buf, size);
}

void KV_STDCALL NoService(uint32_t, char**) {}

// The processes whose parent is this one (zombies included), from /proc.
int ChildCount() {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string stat = kvtest::ReadFile(e.path().string() + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream in(stat.substr(close + 1));
        char state = 0;
        long ppid = 0;
        if (in >> state >> ppid && ppid == kvp::CurrentProcessId()) ++n;
    }
    return n;
}

class ServiceTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // No service outlives its test: stop what still runs, kill what does not stop.
        for (const std::string& name : names_) {
            ScopedScHandle svc(kvp::OpenServiceA(scm_.get(), name.c_str(), kvp::kServiceAllAccess));
            ServiceStatus st;
            if (!svc || !kvp::QueryServiceStatus(svc.get(), &st) ||
                st.currentState == kvp::kServiceStopped)
                continue;
            kvp::ControlService(svc.get(), kvp::kServiceControlStop, &st);
            if (!WaitState(svc.get(), kvp::kServiceStopped, 3000) && LastPid(name) > 0)
                kvp::KillProcess(LastPid(name));
        }
    }

    kvp::ScHandle Create(const std::string& name, const std::string& bin,
                         uint32_t start = kvp::kServiceDemandStart) {
        names_.push_back(name);
        handles_.emplace_back(
            kvp::CreateServiceA(scm_.get(), name.c_str(), nullptr, kvp::kServiceAllAccess,
                                kvp::kServiceWin32OwnProcess, start, kvp::kServiceErrorNormal,
                                bin.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        EXPECT_TRUE(handles_.back()) << name << ": " << kvp::LastSystemError();
        return handles_.back().get();
    }

    kvp::ScHandle Open(const std::string& name, uint32_t access) {
        handles_.emplace_back(kvp::OpenServiceA(scm_.get(), name.c_str(), access));
        return handles_.back().get();
    }

    static bool WaitState(kvp::ScHandle svc, uint32_t state, uint32_t ms = 10000) {
        for (uint32_t waited = 0;; waited += 10) {
            ServiceStatus st;
            if (kvp::QueryServiceStatus(svc, &st) && st.currentState == state) return true;
            if (waited >= ms) return false;
            kvp::Sleep(10);
        }
    }

    static std::string Trace(const std::string& name) {
        return kvtest::ReadFile(kvp::StateDir() + "/" + name + ".trace");
    }

    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    static bool WaitTrace(const std::string& name, const std::string& what, int count = 1) {
        for (int i = 0; i < 1000; ++i) {
            if (Count(Trace(name), what) >= count) return true;
            kvp::Sleep(10);
        }
        return false;
    }

    // The process of the service's latest start.
    static kvp::pid_type LastPid(const std::string& name) {
        const std::string t = Trace(name);
        const size_t at = t.rfind("main ");
        return at == std::string::npos ? -1 : std::atol(t.c_str() + at + 5);
    }

    // Runs a program to its end; its exit status and standard output.
    static int Run(const std::vector<std::string>& argv, std::string* out) {
        const std::string file = kvp::StateDir() + "/out.txt";
        const int status = kvp::WaitProcess(kvp::SpawnProcess(argv, file));
        *out = kvtest::ReadFile(file);
        return status;
    }

    kvtest::TestEnv env_;
    ScopedScHandle scm_{kvp::OpenSCManagerA(nullptr, nullptr, kvp::kScManagerAllAccess)};
    std::vector<ScopedScHandle> handles_;
    std::vector<std::string> names_;
};

TEST_F(ServiceTest, RecordsAndTheirErrors) {
    kvp::ScHandle svc = Create("Alpha", "/opt/kv/KVTFTPSVC.EXE -x");
    uint32_t type = 0;
    EXPECT_EQ(RegText("Alpha", "ImagePath", &type), std::string("/opt/kv/KVTFTPSVC.EXE -x\0", 25));
    EXPECT_EQ(type, kvp::kRegExpandSz);
    EXPECT_EQ(RegText("Alpha", "ObjectName"), std::string("LocalSystem\0", 12));
    EXPECT_EQ(RegText("Alpha", "DisplayName"), std::string("Alpha\0", 6));

    // Names compare without regard to case; a taken name, a missing one, a bad one.
    EXPECT_EQ(Err(kvp::CreateServiceA(scm_.get(), "ALPHA", nullptr, kvp::kServiceAllAccess,
                                      kvp::kServiceWin32OwnProcess, kvp::kServiceDemandStart,
                                      kvp::kServiceErrorNormal, "/x", nullptr, nullptr, nullptr,
                                      nullptr, nullptr)),
              kvp::kErrorServiceExists);
    EXPECT_EQ(Err(Open("alpha", kvp::kServiceQueryStatus)), 0);
    EXPECT_EQ(Err(Open("Beta", kvp::kServiceQueryStatus)), kvp::kErrorServiceDoesNotExist);
    EXPECT_EQ(Err(Open("a\\b", kvp::kServiceQueryStatus)), kvp::kErrorInvalidName);
    EXPECT_EQ(kvp::SystemErrorText(kvp::kErrorServiceDoesNotExist),
              "The specified service does not exist as an installed service.");

    // The configuration: size first, then the texts behind the record.
    uint32_t needed = 0;
    EXPECT_EQ(Err(kvp::QueryServiceConfigA(svc, nullptr, 0, &needed)),
              kvp::kErrorInsufficientBuffer);
    std::vector<uint64_t> buf(needed / 8 + 1);
    auto* cfg = reinterpret_cast<kvp::ServiceConfig*>(buf.data());
    EXPECT_EQ(Err(kvp::QueryServiceConfigA(svc, cfg, needed - 1, &needed)),
              kvp::kErrorInsufficientBuffer);
    ASSERT_TRUE(kvp::QueryServiceConfigA(svc, cfg, needed, &needed));
    EXPECT_STREQ(cfg->binaryPathName, "/opt/kv/KVTFTPSVC.EXE -x");
    EXPECT_STREQ(cfg->displayName, "Alpha");
    EXPECT_STREQ(cfg->serviceStartName, "LocalSystem");
    EXPECT_EQ(cfg->startType, kvp::kServiceDemandStart);
    EXPECT_LE(cfg->displayName + std::strlen(cfg->displayName) + 1,
              reinterpret_cast<char*>(cfg) + needed);

    // Changes: only what is given changes.
    ASSERT_TRUE(kvp::ChangeServiceConfigA(svc, kvp::kServiceNoChange, kvp::kServiceDisabled,
                                          kvp::kServiceNoChange, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, "Alpha Server"));
    char text[] = "The first letter";
    kvp::ServiceDescription desc{text};
    ASSERT_TRUE(kvp::ChangeServiceConfig2A(svc, kvp::kServiceConfigDescription, &desc));
    ASSERT_EQ(Err(kvp::QueryServiceConfigA(svc, cfg, needed, &needed)),
              kvp::kErrorInsufficientBuffer);
    buf.resize(needed / 8 + 1);
    cfg = reinterpret_cast<kvp::ServiceConfig*>(buf.data());
    ASSERT_TRUE(kvp::QueryServiceConfigA(svc, cfg, needed, &needed));
    EXPECT_EQ(cfg->startType, kvp::kServiceDisabled);
    EXPECT_STREQ(cfg->displayName, "Alpha Server");
    EXPECT_STREQ(cfg->binaryPathName, "/opt/kv/KVTFTPSVC.EXE -x");
    EXPECT_EQ(RegText("Alpha", "Description"), std::string("The first letter\0", 17));
    EXPECT_EQ(
        Err(kvp::ChangeServiceConfigA(svc, kvp::kServiceNoChange, 7, kvp::kServiceNoChange, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)),
        kvp::kErrorInvalidParameter);

    // Never started: stopped, with the code that says so.
    ServiceStatus st;
    ASSERT_TRUE(kvp::QueryServiceStatus(svc, &st));
    EXPECT_EQ(st.currentState, kvp::kServiceStopped);
    EXPECT_EQ(st.win32ExitCode, static_cast<uint32_t>(kvp::kErrorServiceNeverStarted));
    EXPECT_EQ(Err(kvp::StartServiceA(svc, 0, nullptr)), kvp::kErrorServiceDisabled);

    // A stopped service goes at once; its open handles then read it as marked.
    ASSERT_TRUE(kvp::DeleteService(svc));
    EXPECT_EQ(RegText("Alpha", "Type"), "<no key>");
    EXPECT_EQ(Err(kvp::DeleteService(svc)), kvp::kErrorServiceMarkedForDelete);
    EXPECT_EQ(Err(Open("Alpha", kvp::kServiceQueryStatus)), kvp::kErrorServiceDoesNotExist);

    kvp::ScHandle copy = svc;
    handles_.front().reset();
    EXPECT_EQ(Err(kvp::CloseServiceHandle(copy)), kvp::kErrorInvalidHandle);
    EXPECT_EQ(Err(kvp::QueryServiceStatus(scm_.get(), &st)), kvp::kErrorInvalidHandle);
}

TEST_F(ServiceTest, HandlesKeepTheRightsTheyWereOpenedWith) {
    Create("Gamma", kTool);
    kvp::ScHandle reader = Open("Gamma", kvp::kGenericRead);
    ServiceStatus st;
    uint32_t needed = 0;
    EXPECT_EQ(Err(kvp::QueryServiceConfigA(reader, nullptr, 0, &needed)),
              kvp::kErrorInsufficientBuffer);
    EXPECT_TRUE(kvp::QueryServiceStatus(reader, &st));
    // Interrogation is allowed and reaches the stopped service's refusal.
    EXPECT_EQ(Err(kvp::ControlService(reader, kvp::kServiceControlInterrogate, &st)),
              kvp::kErrorServiceNotActive);
    EXPECT_EQ(st.currentState, kvp::kServiceStopped);
    EXPECT_EQ(Err(kvp::StartServiceA(reader, 0, nullptr)), kvp::kErrorAccessDenied);
    EXPECT_EQ(Err(kvp::ControlService(reader, kvp::kServiceControlStop, &st)),
              kvp::kErrorAccessDenied);
    EXPECT_EQ(Err(kvp::DeleteService(reader)), kvp::kErrorAccessDenied);
    EXPECT_EQ(Err(kvp::ChangeServiceConfigA(reader, kvp::kServiceNoChange, kvp::kServiceAutoStart,
                                            kvp::kServiceNoChange, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr)),
              kvp::kErrorAccessDenied);

    kvp::ScHandle status_only = Open("Gamma", kvp::kServiceQueryStatus);
    EXPECT_EQ(Err(kvp::QueryServiceConfigA(status_only, nullptr, 0, &needed)),
              kvp::kErrorAccessDenied);
    EXPECT_EQ(Err(kvp::ControlService(status_only, kvp::kServiceControlInterrogate, &st)),
              kvp::kErrorAccessDenied);

    // The manager: reading may not create or lock; executing may lock but not create.
    ScopedScHandle read_scm(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kGenericRead));
    EXPECT_EQ(Err(kvp::LockServiceDatabase(read_scm.get())), kvp::kErrorAccessDenied);
    EXPECT_EQ(
        Err(kvp::CreateServiceA(read_scm.get(), "Delta", nullptr, 0, kvp::kServiceWin32OwnProcess,
                                kvp::kServiceDemandStart, kvp::kServiceErrorNormal, "/x", nullptr,
                                nullptr, nullptr, nullptr, nullptr)),
        kvp::kErrorAccessDenied);
    ScopedScHandle exec_scm(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kGenericExecute));
    kvp::ScLock lock = kvp::LockServiceDatabase(exec_scm.get());
    EXPECT_TRUE(lock);
    EXPECT_TRUE(kvp::UnlockServiceDatabase(lock));
    EXPECT_EQ(
        Err(kvp::CreateServiceA(exec_scm.get(), "Delta", nullptr, 0, kvp::kServiceWin32OwnProcess,
                                kvp::kServiceDemandStart, kvp::kServiceErrorNormal, "/x", nullptr,
                                nullptr, nullptr, nullptr, nullptr)),
        kvp::kErrorAccessDenied);
}

TEST_F(ServiceTest, DatabaseLockHoldsAcrossProcesses) {
    kvp::ScHandle svc = Create("Lockie", kTool);
    const std::string out = kvp::StateDir() + "/locker.txt";
    const kvp::pid_type locker = kvp::SpawnProcess({kTool, "lock"}, out);
    for (int i = 0; i < 1000 && kvtest::ReadFile(out).empty(); ++i) kvp::Sleep(10);
    ASSERT_EQ(kvtest::ReadFile(out), "locked\n");
    EXPECT_EQ(Err(kvp::LockServiceDatabase(scm_.get())), kvp::kErrorServiceDatabaseLocked);
    EXPECT_EQ(Err(kvp::StartServiceA(svc, 0, nullptr)), kvp::kErrorServiceDatabaseLocked);

    // The lock ends with its holder, however it ends.
    kvp::KillProcess(locker);
    kvp::WaitProcess(locker);
    kvp::ScLock lock = kvp::LockServiceDatabase(scm_.get());
    ASSERT_TRUE(lock);
    EXPECT_EQ(Err(kvp::LockServiceDatabase(scm_.get())), kvp::kErrorServiceDatabaseLocked);
    EXPECT_TRUE(kvp::UnlockServiceDatabase(lock));
    EXPECT_EQ(Err(kvp::UnlockServiceDatabase(lock)), kvp::kErrorInvalidServiceLock);
}

TEST_F(ServiceTest, StartControlAndStopARealProcess) {
    // The Windows file name runs the Linux program; the arguments reach the service main.
    kvp::ScHandle svc =
        Create("Echo", std::string(KV_TESTBIN_DIR) + "/KVSVCTEST.EXE --slow-stop 400");
    const char* args[] = {"one", "two words"};
    ASSERT_TRUE(kvp::StartServiceA(svc, 2, args)) << kvp::LastSystemError();
    EXPECT_EQ(ChildCount(), 0) << "the caller is left with a child to reap";
    ASSERT_TRUE(WaitState(svc, kvp::kServiceRunning));
    EXPECT_NE(Trace("Echo").find(" one two words\n"), std::string::npos) << Trace("Echo");
    EXPECT_EQ(Err(kvp::StartServiceA(svc, 0, nullptr)), kvp::kErrorServiceAlreadyRunning);

    ServiceStatus st;
    ASSERT_TRUE(kvp::ControlService(svc, kvp::kServiceControlPause, &st));
    EXPECT_EQ(st.currentState, kvp::kServicePaused);
    ASSERT_TRUE(kvp::ControlService(svc, kvp::kServiceControlInterrogate, &st));
    EXPECT_EQ(st.currentState, kvp::kServicePaused);
    ASSERT_TRUE(kvp::ControlService(svc, kvp::kServiceControlContinue, &st));
    EXPECT_EQ(st.currentState, kvp::kServiceRunning);
    ASSERT_TRUE(kvp::ControlService(svc, 200, &st));
    // Codes that cannot be sent; the status still comes back.
    for (uint32_t code : {kvp::kServiceControlShutdown, 50u, 256u}) {
        st = ServiceStatus{};
        EXPECT_EQ(Err(kvp::ControlService(svc, code, &st)), kvp::kErrorInvalidServiceControl);
        EXPECT_EQ(st.currentState, kvp::kServiceRunning);
    }
    EXPECT_EQ(Count(Trace("Echo"), "control "), 4);
    EXPECT_NE(Trace("Echo").find("control 2\ncontrol 4\ncontrol 3\ncontrol 200\n"),
              std::string::npos);

    // A second dispatcher for the same service refuses to run (one that ran would be
    // ended by the time limit).
    kvp::SetEnv("KVTFTP_SERVICE_NAME", "Echo");
    std::string out;
    EXPECT_EQ(Run({"/usr/bin/timeout", "20", kTool}, &out), 1);
    EXPECT_EQ(out, "dispatcher failed 1056\n");
    // Not started by the manager: refused at once.
    kvp::SetEnv("KVTFTP_SERVICE_NAME", "");
    const kvp::ServiceTableEntry table[] = {{"Echo", NoService}, {nullptr, nullptr}};
    EXPECT_EQ(Err(kvp::StartServiceCtrlDispatcherA(table)),
              kvp::kErrorFailedServiceControllerConnect);

    // The stop handler takes a while; status queries answer meanwhile.
    bool stopped = false;
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        ServiceStatus s;
        stopped = kvp::ControlService(svc, kvp::kServiceControlStop, &s) &&
                  s.currentState == kvp::kServiceStopped;
        done = true;
    });
    bool saw_pending_while_stopping = false;
    while (!done) {
        if (kvp::QueryServiceStatus(svc, &st) && st.currentState == kvp::kServiceStopPending)
            saw_pending_while_stopping = !done;
        kvp::Sleep(5);
    }
    stopper.join();
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(saw_pending_while_stopping);
    EXPECT_EQ(Err(kvp::ControlService(svc, kvp::kServiceControlStop, &st)),
              kvp::kErrorServiceNotActive);
    EXPECT_EQ(st.currentState, kvp::kServiceStopped);
    EXPECT_EQ(st.win32ExitCode, 0u);
    EXPECT_TRUE(WaitTrace("Echo", "exit "));
    EXPECT_TRUE(kvp::PathExists((kvp::StateDir() + "/run/Echo.log").c_str()));
    EXPECT_FALSE(kvp::PathExists((kvp::StateDir() + "/run/Echo.sock").c_str()));
}

TEST_F(ServiceTest, ControlsWaitForPendingStatesAndDeclaredAcceptance) {
    // Accepts stop only, and stays start pending for a while.
    kvp::ScHandle svc = Create("Slow", kTool + " --accept 1 --slow-start 2500");
    ASSERT_TRUE(kvp::StartServiceA(svc, 0, nullptr));
    ServiceStatus st;
    EXPECT_EQ(Err(kvp::ControlService(svc, kvp::kServiceControlStop, &st)),
              kvp::kErrorServiceCannotAcceptCtrl);
    EXPECT_EQ(st.currentState, kvp::kServiceStartPending);
    EXPECT_EQ(Err(kvp::ControlService(svc, kvp::kServiceControlInterrogate, &st)),
              kvp::kErrorServiceCannotAcceptCtrl);
    ASSERT_TRUE(WaitState(svc, kvp::kServiceRunning));
    EXPECT_EQ(Err(kvp::ControlService(svc, kvp::kServiceControlPause, &st)),
              kvp::kErrorInvalidServiceControl);
    EXPECT_EQ(Err(kvp::ControlService(svc, kvp::kServiceControlParamChange, &st)),
              kvp::kErrorInvalidServiceControl);
    EXPECT_TRUE(kvp::ControlService(svc, kvp::kServiceControlInterrogate, &st));
    EXPECT_TRUE(kvp::ControlService(svc, 130, &st));
    EXPECT_TRUE(kvp::ControlService(svc, kvp::kServiceControlStop, &st));
    EXPECT_EQ(Count(Trace("Slow"), "control "), 3);
    EXPECT_NE(Trace("Slow").find("control 4\ncontrol 130\ncontrol 1\n"), std::string::npos);
}

TEST_F(ServiceTest, FailedStarts) {
    // Ends before its dispatcher connects.
    kvp::ScHandle early = Create("Early", kTool + " --exit-early");
    EXPECT_EQ(Err(kvp::StartServiceA(early, 0, nullptr)), kvp::kErrorServiceRequestTimeout);

    // No such program; one that is not a program; an unquoted path with a blank ends at the
    // blank, a quoted one does not.
    const std::string dir = kvp::StateDir() + "/with blank";
    fs::create_directories(dir);
    fs::copy_file(kTool, dir + "/kvsvctest");
    kvtest::WriteFile(dir + "/junk", "not a program\n");
    fs::permissions(dir + "/junk", fs::perms::owner_all);
    EXPECT_EQ(Err(kvp::StartServiceA(Create("Missing", "\"" + dir + "/none\""), 0, nullptr)),
              kvp::kErrorFileNotFound);
    EXPECT_EQ(Err(kvp::StartServiceA(Create("Junk", "\"" + dir + "/junk\""), 0, nullptr)),
              kvp::kErrorBadExeFormat);
    EXPECT_EQ(Err(kvp::StartServiceA(Create("Unquoted", dir + "/kvsvctest"), 0, nullptr)),
              kvp::kErrorFileNotFound);
    kvp::ScHandle quoted = Create("Quoted", "\"" + dir + "/kvsvctest\" --fail-start 42");
    EXPECT_EQ(ChildCount(), 0);

    // The service reports its own failure: stopped, with its codes.
    ASSERT_TRUE(kvp::StartServiceA(quoted, 0, nullptr)) << kvp::LastSystemError();
    ASSERT_TRUE(WaitTrace("Quoted", "exit "));
    ServiceStatus st;
    ASSERT_TRUE(kvp::QueryServiceStatus(quoted, &st));
    EXPECT_EQ(st.currentState, kvp::kServiceStopped);
    EXPECT_EQ(st.win32ExitCode, static_cast<uint32_t>(kvp::kErrorServiceSpecificError));
    EXPECT_EQ(st.serviceSpecificExitCode, 42u);
}

TEST_F(ServiceTest, DeleteOfARunningServiceWaitsForItsStop) {
    kvp::ScHandle svc = Create("Doomed", kTool);
    ASSERT_TRUE(kvp::StartServiceA(svc, 0, nullptr));
    ASSERT_TRUE(WaitState(svc, kvp::kServiceRunning));
    ASSERT_TRUE(kvp::DeleteService(svc));
    EXPECT_EQ(RegText("Doomed", "DeleteFlag"), std::string("\1\0\0\0", 4));
    EXPECT_EQ(Err(kvp::DeleteService(svc)), kvp::kErrorServiceMarkedForDelete);
    EXPECT_EQ(Err(kvp::StartServiceA(svc, 0, nullptr)), kvp::kErrorServiceMarkedForDelete);
    EXPECT_EQ(
        Err(kvp::CreateServiceA(scm_.get(), "Doomed", nullptr, 0, kvp::kServiceWin32OwnProcess,
                                kvp::kServiceDemandStart, kvp::kServiceErrorNormal, "/x", nullptr,
                                nullptr, nullptr, nullptr, nullptr)),
        kvp::kErrorServiceMarkedForDelete);
    EXPECT_EQ(Err(Open("Doomed", kvp::kServiceQueryStatus)), 0);
    ServiceStatus st;
    ASSERT_TRUE(kvp::ControlService(svc, kvp::kServiceControlStop, &st));
    EXPECT_TRUE(WaitTrace("Doomed", "exit "));
    EXPECT_EQ(RegText("Doomed", "Type"), "<no key>");
    EXPECT_EQ(Err(Open("Doomed", kvp::kServiceQueryStatus)), kvp::kErrorServiceDoesNotExist);
}

TEST_F(ServiceTest, AKilledHostReadsAsStoppedAndStartsAgain) {
    kvp::ScHandle svc = Create("Victim", kTool);
    ASSERT_TRUE(kvp::StartServiceA(svc, 0, nullptr));
    ASSERT_TRUE(WaitState(svc, kvp::kServiceRunning));
    ASSERT_TRUE(kvp::KillProcess(LastPid("Victim")));
    EXPECT_TRUE(WaitState(svc, kvp::kServiceStopped));
    ServiceStatus st;
    EXPECT_EQ(Err(kvp::ControlService(svc, kvp::kServiceControlInterrogate, &st)),
              kvp::kErrorServiceNotActive);
    // Its socket file stays behind and does not stand in the way.
    EXPECT_TRUE(kvp::PathExists((kvp::StateDir() + "/run/Victim.sock").c_str()));
    ASSERT_TRUE(kvp::StartServiceA(svc, 0, nullptr)) << kvp::LastSystemError();
    ASSERT_TRUE(WaitState(svc, kvp::kServiceRunning));
    EXPECT_TRUE(kvp::ControlService(svc, kvp::kServiceControlInterrogate, &st));
    EXPECT_EQ(st.currentState, kvp::kServiceRunning);

    // Marked for deletion, then killed: the next look at the record removes it.
    ASSERT_TRUE(kvp::DeleteService(svc));
    ASSERT_TRUE(kvp::KillProcess(LastPid("Victim")));
    ASSERT_TRUE(WaitState(svc, kvp::kServiceStopped));
    EXPECT_EQ(RegText("Victim", "DeleteFlag"), std::string("\1\0\0\0", 4));
    EXPECT_EQ(Err(Open("Victim", kvp::kServiceQueryStatus)), kvp::kErrorServiceDoesNotExist);
    EXPECT_EQ(RegText("Victim", "Type"), "<no key>");
}

TEST_F(ServiceTest, ATerminationRequestIsAShutdownForAManagedService) {
    // One that takes shutdown hears of it; one that does not just ends.
    kvp::ScHandle told = Create("Told", kTool);
    kvp::ScHandle untold = Create("Untold", kTool + " --accept 1");
    for (kvp::ScHandle svc : {told, untold}) {
        ASSERT_TRUE(kvp::StartServiceA(svc, 0, nullptr));
        ASSERT_TRUE(WaitState(svc, kvp::kServiceRunning));
    }
    std::string out;
    for (const char* name : {"Told", "Untold"})
        ASSERT_EQ(Run({"/bin/kill", "-TERM", std::to_string(LastPid(name))}, &out), 0);
    EXPECT_TRUE(WaitState(told, kvp::kServiceStopped));
    EXPECT_TRUE(WaitState(untold, kvp::kServiceStopped));
    EXPECT_TRUE(WaitTrace("Told", "control 5\nexit "));
    EXPECT_EQ(Count(Trace("Untold"), "control "), 0);
    EXPECT_EQ(Count(Trace("Untold"), "exit "), 0);
}

TEST_F(ServiceTest, RacingStartersAndStoppersLeaveOneHostAtMost) {
    kvp::ScHandle svc = Create("Racer", kTool);
    const std::string out1 = kvp::StateDir() + "/race1.txt";
    const std::string out2 = kvp::StateDir() + "/race2.txt";
    const kvp::pid_type a = kvp::SpawnProcess({kTool, "race", "Racer", "20"}, out1);
    const kvp::pid_type b = kvp::SpawnProcess({kTool, "race", "racer", "20"}, out2);
    EXPECT_EQ(kvp::WaitProcess(a), 0) << kvtest::ReadFile(out1);
    EXPECT_EQ(kvp::WaitProcess(b), 0) << kvtest::ReadFile(out2);
    const int started = std::atoi(kvtest::ReadFile(out1).c_str() + 8) +
                        std::atoi(kvtest::ReadFile(out2).c_str() + 8);
    EXPECT_GT(started, 0);

    // The racers' last start may still be pending, when a stop is refused: stop it once
    // it runs.
    bool stopped = false;
    for (int waited = 0; !stopped && waited < 20000; waited += 10) {
        ServiceStatus st;
        ASSERT_TRUE(kvp::QueryServiceStatus(svc, &st));
        stopped = st.currentState == kvp::kServiceStopped;
        if (st.currentState == kvp::kServiceRunning) {
            kvp::ControlService(svc, kvp::kServiceControlStop, &st);
        }
        if (!stopped) kvp::Sleep(10);
    }
    EXPECT_TRUE(stopped);
    // Every start ran exactly one service main, each in a host of its own that ended.
    EXPECT_TRUE(WaitTrace("Racer", "exit ", started)) << Trace("Racer");
    EXPECT_EQ(Count(Trace("Racer"), "main "), started);
    EXPECT_EQ(Count(Trace("Racer"), "exit "), started);
    EXPECT_EQ(Count(Trace("Racer"), "DUPLICATE"), 0);
}

TEST_F(ServiceTest, ForegroundHostAnswersSignalsAndTheManager) {
    const kvp::pid_type pid = kvp::SpawnProcess({kTool, "-f", "Front"});
    ASSERT_GT(pid, 0);
    kvp::ScHandle svc = nullptr;
    for (int i = 0; i < 1000 && !(svc = Open("front", kvp::kServiceAllAccess)); ++i) kvp::Sleep(10);
    ASSERT_TRUE(svc);
    ASSERT_TRUE(WaitState(svc, kvp::kServiceRunning));
    ServiceStatus st;
    EXPECT_TRUE(kvp::ControlService(svc, kvp::kServiceControlInterrogate, &st));
    uint32_t needed = 0;
    EXPECT_EQ(Err(kvp::QueryServiceConfigA(svc, nullptr, 0, &needed)),
              kvp::kErrorServiceDoesNotExist);
    EXPECT_EQ(Err(kvp::StartServiceA(svc, 0, nullptr)), kvp::kErrorServiceAlreadyRunning);

    std::string out;
    ASSERT_EQ(Run({"/bin/kill", "-HUP", std::to_string(pid)}, &out), 0);
    EXPECT_TRUE(WaitTrace("Front", "control 6\n"));
    ASSERT_EQ(Run({"/bin/kill", "-TERM", std::to_string(pid)}, &out), 0);
    EXPECT_EQ(kvp::WaitProcess(pid), 0);
    EXPECT_NE(Trace("Front").find("control 4\ncontrol 6\ncontrol 1\nexit "), std::string::npos)
        << Trace("Front");
    EXPECT_TRUE(kvp::QueryServiceStatus(svc, &st));
    EXPECT_EQ(st.currentState, kvp::kServiceStopped);
    EXPECT_EQ(Err(Open("Front", kvp::kServiceQueryStatus)), kvp::kErrorServiceDoesNotExist);
}

TEST_F(ServiceTest, KvscDrivesTheManager) {
    const std::string kvsc = kvtest::BinDir() + "/kvsc";
    std::string out;
    ASSERT_EQ(Run({kvsc, "create", "Tool", "binPath=", kTool + " --slow-stop 10",
                   "start=", "disabled", "DisplayName=", "The tool"},
                  &out),
              0)
        << out;
    names_.push_back("Tool");
    EXPECT_EQ(Run({kvsc, "qc", "tool"}, &out), 0);
    EXPECT_NE(out.find("START_TYPE         : 4   DISABLED\n"), std::string::npos) << out;
    EXPECT_NE(out.find("DISPLAY_NAME       : The tool\n"), std::string::npos) << out;
    EXPECT_EQ(Run({kvsc, "start", "Tool"}, &out),
              static_cast<int>(kvp::kErrorServiceDisabled & 0xFF));
    EXPECT_NE(out.find("[SC] StartService FAILED 1058:"), std::string::npos) << out;
    ASSERT_EQ(Run({kvsc, "config", "Tool", "start=", "demand"}, &out), 0) << out;
    ASSERT_EQ(Run({kvsc, "start", "Tool"}, &out), 0) << out;
    ASSERT_TRUE(WaitState(Open("Tool", kvp::kServiceQueryStatus), kvp::kServiceRunning));
    EXPECT_EQ(Run({kvsc, "query", "Tool"}, &out), 0);
    EXPECT_NE(out.find("STATE              : 4  RUNNING\n"), std::string::npos) << out;
    EXPECT_EQ(Run({kvsc, "control", "Tool", "140"}, &out), 0) << out;
    EXPECT_TRUE(WaitTrace("Tool", "control 140\n"));
    EXPECT_EQ(Run({kvsc, "stop", "Tool"}, &out), 0) << out;
    EXPECT_NE(out.find("STATE              : 1  STOPPED\n"), std::string::npos) << out;
    EXPECT_EQ(Run({kvsc, "delete", "Tool"}, &out), 0) << out;
    EXPECT_EQ(Run({kvsc, "query", "Tool"}, &out),
              static_cast<int>(kvp::kErrorServiceDoesNotExist & 0xFF));
    EXPECT_EQ(out,
              "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an "
              "installed service.\n\n");
}

}  // namespace
