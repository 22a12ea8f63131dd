#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "kv/errors.h"
#include "kv/process.h"
#include "kv/time.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::string Expand(const char* src) {
    const uint32_t needed = kvp::ExpandEnvironmentStringsA(src, nullptr, 0);
    std::string out(needed, '\0');
    EXPECT_EQ(kvp::ExpandEnvironmentStringsA(src, out.data(), needed), needed);
    out.resize(needed ? needed - 1 : 0);
    return out;
}

TEST(ProcessTest, EnvironmentReferencesExpandAsOnWindows) {
    kvp::SetEnv("KvTest_Dir", "/opt/kv");
    EXPECT_EQ(Expand("%KVTEST_DIR%\\KVTFTPASC.DLL"), "/opt/kv\\KVTFTPASC.DLL");
    EXPECT_EQ(Expand("%kvtest_dir%;%KvTest_Dir%"), "/opt/kv;/opt/kv");
    // Unset names, a lone '%' and "%%" stay; the closing '%' of a miss may open a hit.
    EXPECT_EQ(Expand("%KVTEST_UNSET%"), "%KVTEST_UNSET%");
    EXPECT_EQ(Expand("100% sure, %%"), "100% sure, %%");
    EXPECT_EQ(Expand("%KVTEST_UNSET%KVTEST_DIR%"), "%KVTEST_UNSET/opt/kv");
    EXPECT_EQ(Expand(""), "");
    // Too small a buffer: the size needed, nothing written.
    char small[8] = "keep";
    EXPECT_EQ(kvp::ExpandEnvironmentStringsA("%KVTEST_DIR%/x", small, sizeof small), 10u);
    EXPECT_STREQ(small, "keep");
    EXPECT_EQ(kvp::ExpandEnvironmentStringsA(nullptr, small, sizeof small), 0u);
}

class CreateProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A program that writes its arguments, one a line, to the file $KVTEST_ARGS.
        const std::string bin = env_.dir() + "/bin";
        fs::create_directories(bin);
        kvtest::WriteFile(bin + "/kvtestprog",
                          "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > "
                          "\"$KVTEST_ARGS.tmp\"\nmv \"$KVTEST_ARGS.tmp\" \"$KVTEST_ARGS\"\n");
        fs::permissions(bin + "/kvtestprog", fs::perms::owner_all);
        kvp::SetEnv("PATH", (bin + ":" + kvp::GetEnv("PATH")).c_str());
        kvp::SetEnv("KVTEST_ARGS", args_.c_str());
    }

    kvtest::TestEnv env_;
    const std::string args_ = env_.dir() + "/args.txt";
};

TEST_F(CreateProcessTest, CommandLinesSplitAndNamesMapAsOnWindows) {
    kvp::pid_type pid = -1;
    ASSERT_TRUE(kvp::CreateProcessA(
        R"(  KVTESTPROG.EXE plain "two words" a\"b c:\dir\ "d\\" "say ""hi""" "")", &pid));
    EXPECT_EQ(kvp::WaitProcess(pid), 0);
    EXPECT_EQ(kvtest::Lines(kvtest::ReadFile(args_)),
              (std::vector<std::string>{"plain", "two words", "a\"b", "c:\\dir\\", "d\\",
                                        "say \"hi\"", ""}));

    // The event viewer is our stand-in, found beside the calling program.
    ASSERT_TRUE(kvp::CreateProcessA("eventvwr.exe -f", &pid));
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    EXPECT_TRUE(kvp::KillProcess(pid));
    kvp::WaitProcess(pid);
    EXPECT_EQ(exe, fs::path(kvtest::BinDir()) / "kveventvwr") << ec.message();

    // The console's viewer has no stand-in; nor has a name that is nowhere.
    EXPECT_FALSE(kvp::CreateProcessA("mmc.exe eventvwr.msc", &pid));
    EXPECT_EQ(kvp::LastSystemError(), ENOENT);
    EXPECT_FALSE(kvp::CreateProcessA("", &pid));
    EXPECT_FALSE(kvp::CreateProcessA((env_.dir() + "/args.txt").c_str()));  // not a program
    EXPECT_FALSE(kvp::CreateProcessA(nullptr));
}

TEST_F(CreateProcessTest, ProgramsStartedWithoutWaitingLeaveNoChild) {
    ASSERT_TRUE(kvp::CreateProcessA("kvtestprog detached"));
    // The program is nobody's child of ours: waiting for any child fails at once.
    EXPECT_EQ(kvp::WaitProcess(-1), -1);
    std::string got;
    for (int i = 0; i < 200 && got.empty(); ++i) {
        kvp::Sleep(20);
        got = kvtest::ReadFile(args_);
    }
    EXPECT_EQ(got, "detached\n");
}

}  // namespace
