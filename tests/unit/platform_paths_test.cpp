// State directory, current directory, file opening and run-time library loading.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <string>

#include "kv/dynlib.h"
#include "kv/paths.h"
#include "kv/process.h"
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
