// State directory, current directory, file opening and run-time library loading.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kv/dynlib.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "kv/serve_root.h"
#include "paths_internal.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(Paths, StateDirFollowsTheEnvironment) {
    kvtest::TestEnv env;
    EXPECT_EQ(kvp::StateDir(), env.dir() + "/state");

    const std::string saved_xdg = kvp::GetEnv("XDG_STATE_HOME");
    const bool had_xdg = kvp::IsEnvSet("XDG_STATE_HOME");
    kvp::SetEnv("KVTFTP_STATE_DIR", "");
    kvp::SetEnv("XDG_STATE_HOME", "/some/xdg");
    const std::string with_xdg = kvp::StateDir();
    kvp::SetEnv("XDG_STATE_HOME", "relative/ignored");
    const std::string relative_xdg = kvp::StateDir();
    if (had_xdg) kvp::SetEnv("XDG_STATE_HOME", saved_xdg.c_str());
    kvp::SetEnv("KVTFTP_STATE_DIR", (env.dir() + "/state").c_str());

    if (with_xdg == "/var/lib/kvtftp") {
        EXPECT_EQ(relative_xdg, "/var/lib/kvtftp");  // running as root
    } else {
        EXPECT_EQ(with_xdg, "/some/xdg/kvtftp");
        EXPECT_NE(relative_xdg.find("/.local/state/kvtftp"), std::string::npos);
    }
}

TEST(Paths, CurrentDirectory) {
    char buf[4096];
    const unsigned n = kvp::GetCurrentDirectoryA(buf, sizeof buf);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::string(buf, n), fs::current_path().string());
    char tiny[2] = {'x', 'y'};
    EXPECT_EQ(kvp::GetCurrentDirectoryA(tiny, sizeof tiny), 0u);
    EXPECT_EQ(kvp::GetCurrentDirectoryA(buf, n), 0u);  // no room for the terminator
    EXPECT_EQ(kvp::GetCurrentDirectoryA(buf, n + 1), n);
}

TEST(Paths, OpenOnlyRegularFiles) {
    kvtest::TestEnv env;
    const std::string file = env.dir() + "/data.bin";
    const std::string data = kvtest::PatternData(1000, 5);
    {
        kvp::File f(kvp::OpenFileForWrite(file.c_str()));
        ASSERT_TRUE(f);
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f.get()), data.size());
    }
    EXPECT_TRUE(kvp::PathExists(file.c_str()));
    EXPECT_TRUE(kvp::PathExists(env.dir().c_str()));
    EXPECT_FALSE(kvp::PathExists((env.dir() + "/missing").c_str()));
    {
        kvp::File f(kvp::OpenFileForRead(file.c_str()));
        ASSERT_TRUE(f);
        std::string back(2000, '\0');
        back.resize(std::fread(back.data(), 1, back.size(), f.get()));
        EXPECT_EQ(back, data);
    }
    {
        // Writing truncates.
        kvp::File f(kvp::OpenFileForWrite(file.c_str()));
        ASSERT_TRUE(f);
    }
    EXPECT_EQ(fs::file_size(file), 0u);

    errno = 0;
    EXPECT_EQ(kvp::OpenFileForRead((env.dir() + "/missing").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(kvp::OpenFileForRead(env.dir().c_str()), nullptr);
    EXPECT_EQ(errno, EISDIR);
    errno = 0;
    EXPECT_EQ(kvp::OpenFileForWrite(env.dir().c_str()), nullptr);
    EXPECT_EQ(errno, EISDIR);
    // A device is not a file to serve, and opening it must not hang.
    errno = 0;
    EXPECT_EQ(kvp::OpenFileForRead("/dev/zero"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// A served directory with links that stay inside it and links that lead out, and a
// file outside that nothing below the root may reach.
class BelowRoot : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        root_ = env_.dir() + "/root";
        outside_ = env_.dir() + "/outside";
        fs::create_directories(root_ + "/sub");
        fs::create_directories(outside_);
        kvtest::WriteFile(root_ + "/sub/file.txt", "inside");
        kvtest::WriteFile(outside_ + "/secret.txt", "outside");
        fs::create_symlink("sub/file.txt", root_ + "/in");
        fs::create_symlink("../outside/secret.txt", root_ + "/out");
        fs::create_symlink(outside_ + "/secret.txt", root_ + "/abs");
        fs::create_symlink(outside_, root_ + "/outdir");
        fs::create_symlink(outside_ + "/new.txt", root_ + "/dangling");
    }
    std::FILE* Open(const std::string& name, kvp::BelowMode mode) {
        // The kernel's confined walk, or the stepwise one that follows no link at all.
        return GetParam() ? kvp::OpenFileBelow(root_.c_str(), name.c_str(), mode)
                          : kvp::internal::OpenFileBelowStepwise(root_.c_str(), name.c_str(), mode);
    }
    std::string ReadAll(std::FILE* f) {
        std::string data(64, '\0');
        data.resize(std::fread(data.data(), 1, data.size(), f));
        return data;
    }

    kvtest::TestEnv env_;
    std::string root_;
    std::string outside_;
};

TEST_P(BelowRoot, NothingOutsideTheRootIsOpenedCreatedOrTruncated) {
    for (const char* name : {"sub/file.txt", "/sub/file.txt", "//sub//./file.txt"}) {
        kvp::File f(Open(name, kvp::BelowMode::kRead));
        ASSERT_TRUE(f) << name;
        EXPECT_EQ(ReadAll(f.get()), "inside");
    }
    if (GetParam()) {
        // A link that stays below the root is followed.
        kvp::File f(Open("in", kvp::BelowMode::kRead));
        ASSERT_TRUE(f);
        EXPECT_EQ(ReadAll(f.get()), "inside");
    }
    for (const kvp::BelowMode mode :
         {kvp::BelowMode::kRead, kvp::BelowMode::kWriteTruncate, kvp::BelowMode::kWriteNew}) {
        for (const char* name :
             {"out", "abs", "outdir/secret.txt", "outdir/new.txt", "dangling",
              "../outside/secret.txt", "sub/../../outside/secret.txt", "", "/", "sub", "sub/"}) {
            SCOPED_TRACE(name);
            kvp::File f(Open(name, mode));
            EXPECT_FALSE(f);
        }
    }
    EXPECT_EQ(kvtest::ReadFile(outside_ + "/secret.txt"), "outside");
    EXPECT_FALSE(fs::exists(outside_ + "/new.txt"));
    EXPECT_EQ(kvp::OpenFileBelow("", "sub/file.txt", kvp::BelowMode::kRead), nullptr);
    EXPECT_EQ(kvp::OpenFileBelow((root_ + "/sub/file.txt").c_str(), "", kvp::BelowMode::kRead),
              nullptr);
}

TEST_P(BelowRoot, NewFilesAreCreatedExclusively) {
    {
        kvp::File f(Open("sub/file.txt", kvp::BelowMode::kWriteNew));
        EXPECT_FALSE(f);
        EXPECT_TRUE(kvp::IsAlreadyExistsError(errno));
    }
    EXPECT_EQ(kvtest::ReadFile(root_ + "/sub/file.txt"), "inside");
    // Of many callers racing for one new name, exactly one gets it.
    for (int round = 0; round < 20; ++round) {
        const std::string name = "sub/race" + std::to_string(round);
        std::atomic<int> created{0};
        std::atomic<int> existed{0};
        std::vector<std::thread> racers;
        for (int i = 0; i < 4; ++i) {
            racers.emplace_back([&] {
                kvp::File f(Open(name, kvp::BelowMode::kWriteNew));
                if (f) {
                    ++created;
                } else if (kvp::IsAlreadyExistsError(errno)) {
                    ++existed;
                }
            });
        }
        for (std::thread& t : racers) t.join();
        EXPECT_EQ(created.load(), 1);
        EXPECT_EQ(existed.load(), 3);
    }
    // Truncating a file below the root works as before.
    {
        kvp::File f(Open("sub/file.txt", kvp::BelowMode::kWriteTruncate));
        ASSERT_TRUE(f);
    }
    EXPECT_EQ(fs::file_size(root_ + "/sub/file.txt"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Walks, BelowRoot, ::testing::Bool());

// Where the system keeps the C math library, to have a real library to load.
std::string FindLibm() {
    for (const char* dir : {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64",
                            "/usr/lib64", "/lib", "/usr/lib", "/lib/aarch64-linux-gnu"}) {
        const std::string p = std::string(dir) + "/libm.so.6";
        if (fs::exists(p)) return p;
    }
    return {};
}

TEST(DynLib, PlainNamesAreFoundBesideTheProgramFirst) {
    char self[4096];
    ASSERT_TRUE(kvp::GetModuleFileNameA(self, sizeof self));
    const fs::path program(self);
    EXPECT_EQ(program.filename(), "test_platform");
    char tiny[4];
    EXPECT_FALSE(kvp::GetModuleFileNameA(tiny, sizeof tiny));

    const std::string libm = FindLibm();
    if (libm.empty()) GTEST_SKIP() << "no libm.so.6 found to copy";
    // A library under a Windows-style name, beside the program as in an install directory.
    const std::string base = "kvtestlib" + std::to_string(kvp::CurrentProcessId());
    const fs::path copy = program.parent_path() / (base + ".so");
    fs::copy_file(libm, copy, fs::copy_options::overwrite_existing);
    const std::string windows_name = "KVTESTLIB" + std::to_string(kvp::CurrentProcessId());
    // The Windows name is mapped as the build names the files: lower case, ".DLL" -> ".so".
    for (const std::string& name : {base + ".so", windows_name + ".DLL", windows_name + ".so"}) {
        SCOPED_TRACE(name);
        kvp::HLibrary lib = kvp::LoadLibraryA(name.c_str());
        ASSERT_NE(lib, nullptr);
        auto cosine = reinterpret_cast<double (*)(double)>(kvp::GetProcAddress(lib, "cos"));
        ASSERT_NE(cosine, nullptr);
        EXPECT_EQ(cosine(0.0), 1.0);
        EXPECT_EQ(kvp::GetProcAddress(lib, "NoSuchExport"), nullptr);
        EXPECT_TRUE(kvp::FreeLibrary(lib));
    }
    fs::remove(copy);
    errno = 0;
    EXPECT_EQ(kvp::LoadLibraryA((base + ".so").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST(DynLib, SystemSearchAndFailures) {
    kvp::HLibrary lib = kvp::LoadLibraryA("libm.so.6");
    ASSERT_NE(lib, nullptr);
    EXPECT_NE(kvp::GetProcAddress(lib, "sqrt"), nullptr);
    EXPECT_TRUE(kvp::FreeLibrary(lib));

    errno = 0;
    EXPECT_EQ(kvp::LoadLibraryA("KVNOSUCHLIB.DLL"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kvp::LoadLibraryA(""), nullptr);
    EXPECT_EQ(kvp::LoadLibraryA(nullptr), nullptr);
    EXPECT_FALSE(kvp::FreeLibrary(nullptr));
    EXPECT_EQ(kvp::GetProcAddress(nullptr, "x"), nullptr);
}

}  // namespace

namespace {

TEST(ServeRoot, WindowsRulesForRootsAndDeviceNames) {
    using kvp::ServeRootConcern;
    const std::string win = "C:\\Windows";
    const std::string sys = "C:\\Windows\\system32";
    const struct {
        const char* path;
        ServeRootConcern want;
    } roots[] = {
        {"C:\\", ServeRootConcern::kFileSystemRoot},
        {"d:", ServeRootConcern::kFileSystemRoot},
        {"\\\\?\\C:\\", ServeRootConcern::kFileSystemRoot},
        {"\\\\host\\share", ServeRootConcern::kFileSystemRoot},
        {"\\\\host\\share\\", ServeRootConcern::kFileSystemRoot},
        {"\\\\?\\UNC\\host\\share", ServeRootConcern::kFileSystemRoot},
        {"c:\\WINDOWS", ServeRootConcern::kSystemDirectory},
        {"C:/Windows/System32/drivers", ServeRootConcern::kSystemDirectory},
        {"\\\\?\\C:\\Windows\\System32\\", ServeRootConcern::kSystemDirectory},
        {"C:\\WindowsApps", ServeRootConcern::kNone},
        {"C:\\tftp", ServeRootConcern::kNone},
        {"\\\\host\\share\\tftp", ServeRootConcern::kNone},
    };
    for (const auto& r : roots) {
        EXPECT_EQ(kvp::internal::ClassifyWindowsRoot(r.path, win, sys), r.want) << r.path;
        // The system's directories as a handle's final path gives them.
        EXPECT_EQ(
            kvp::internal::ClassifyWindowsRoot(r.path, "\\\\?\\" + win, "\\\\?\\" + sys + "\\"),
            r.want)
            << r.path;
    }
    const struct {
        const char* step;
        bool device;
    } steps[] = {
        {"CON", true},       {"nul", true},    {"NUL.txt", true},  {"aux.tar.gz", true},
        {"com1", true},      {"LPT9", true},   {"con.", true},     {"prn  ", true},
        {"conin$", true},    {"CLOCK$", true}, {"nul .txt", true}, {"console", false},
        {"com10", false},    {"lpt0", false},  {"xnul", false},    {"file.con", false},
        {"boot.img", false}, {"COM", false},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(kvp::internal::IsWindowsDeviceName(s.step), s.device) << s.step;
    }
}

TEST(ServeRoot, TheTopAndTheStateAreRefusedHoweverSpelt) {
    using kvp::ServeRootConcern;
    kvtest::TestEnv env;
    const std::string state = kvp::StateDir();
    fs::create_directories(state + "/registry");
    fs::create_directories(env.dir() + "/root/sub");
    fs::create_directory_symlink("/", env.dir() + "/top");
    fs::create_directory_symlink(state, env.dir() + "/root/state-link");
    const struct {
        std::string root;
        ServeRootConcern want;
    } cases[] = {
        {"/", ServeRootConcern::kFileSystemRoot},
        {"//", ServeRootConcern::kFileSystemRoot},
        {"/tmp/..", ServeRootConcern::kFileSystemRoot},
        {env.dir() + "/top", ServeRootConcern::kFileSystemRoot},
        {state, ServeRootConcern::kServerState},
        {state + "/registry", ServeRootConcern::kServerState},
        {env.dir(), ServeRootConcern::kServerState},  // holds the state directory
        {env.dir() + "/root/state-link", ServeRootConcern::kServerState},
        {env.dir() + "/root", ServeRootConcern::kNone},
        {env.dir() + "/root/sub/", ServeRootConcern::kNone},
        {env.dir() + "/missing", ServeRootConcern::kNone},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kvp::ClassifyServeRoot(c.root.c_str()), c.want) << c.root;
    }
}

}  // namespace
