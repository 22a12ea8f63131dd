// Last-error slots, error texts, ticks, debugger output and message boxes.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/net.h"
#include "kv/process.h"
#include "kv/time.h"
#include "kv/ui.h"
#include "test_support.h"

namespace {

TEST(Errors, LastErrorsArePerThread) {
    int other_sys = -1;
    int other_sock = -1;
    // Handed over with plain flags: starting and joining a thread may itself change the
    // last error (on Windows it does).
    std::atomic<bool> set{false};
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!set) {
        }
        kvp::SetLastSocketError(EBADF);
        other_sock = kvp::LastSocketError();
        other_sys = kvp::LastSystemError();
        kvp::SetLastSystemError(EACCES);
        done = true;
    });
    kvp::SetLastSystemError(ENOENT);
    kvp::SetLastSocketError(kvp::kErrMsgSize);
    set = true;
    while (!done) {
    }
    EXPECT_EQ(kvp::LastSystemError(), ENOENT);
    EXPECT_EQ(kvp::LastSocketError(), kvp::kErrMsgSize);
    other.join();
    EXPECT_EQ(other_sock, EBADF);
    EXPECT_NE(other_sys, ENOENT);
}

TEST(Errors, TextsAreOneLine) {
    EXPECT_EQ(kvp::SystemErrorText(987654), "Unknown error 987654");
    for (int err : {kvp::kErrHostNotFound, 11002, 11003, 11004}) {
        const std::string t = kvp::SystemErrorText(err);
        EXPECT_FALSE(t.empty());
        EXPECT_EQ(t.find("Unknown error"), std::string::npos) << err;
        EXPECT_EQ(t.find('\n'), std::string::npos);
    }
    // Looking a text up does not disturb the thread's last error.
    kvp::SetLastSystemError(EACCES);
    kvp::SystemErrorText(987654);
    EXPECT_EQ(kvp::LastSystemError(), EACCES);
}

TEST(Errors, ResultCodesHaveTheirOwnTexts) {
    EXPECT_EQ(kvp::SystemErrorOfResult(kvp::kErrorSuccess), 0);
    // Every result code the registry yields reads as a system error with a text of its
    // own; access denied and a bad handle never read alike.
    std::vector<std::string> texts;
    for (long r : {kvp::kErrorFileNotFound, kvp::kErrorAccessDenied, kvp::kErrorInvalidHandle,
                   kvp::kErrorInvalidParameter, kvp::kErrorMoreData, kvp::kErrorNoMoreItems}) {
        const std::string t = kvp::SystemErrorText(kvp::SystemErrorOfResult(r));
        EXPECT_EQ(t.find("Unknown error"), std::string::npos) << r << ": " << t;
        for (const std::string& other : texts) EXPECT_NE(t, other) << r;
        texts.push_back(t);
    }
}

TEST(Time, TicksAdvanceWithSleep) {
    const uint32_t a = kvp::GetTickCount();
    kvp::Sleep(30);
    const uint32_t b = kvp::GetTickCount();
    EXPECT_GE(static_cast<uint32_t>(b - a), 30u);
}

TEST(Debug, OutputGoesToTheNamedFileWhole) {
    kvtest::TestEnv env;
    kvp::OutputDebugStringA("first line\n");
    kvp::OutputDebugStringA("second");
    kvp::OutputDebugStringA(nullptr);
    EXPECT_EQ(env.debugLog(), "first line\nsecond");

    // The variable is read on every call.
    const std::string other = env.dir() + "/other.log";
    kvp::SetEnv("KVTFTP_DEBUG_LOG", other.c_str());
    kvp::OutputDebugStringA("elsewhere");
    EXPECT_EQ(kvtest::ReadFile(other), "elsewhere");
    EXPECT_EQ(env.debugLog(), "first line\nsecond");
}

TEST(Debug, ConcurrentWritersDoNotInterleave) {
    kvtest::TestEnv env;
    const std::string a(300, 'a');
    const std::string b(300, 'b');
    std::thread ta([&] {
        for (int i = 0; i < 200; ++i) kvp::OutputDebugStringA((a + "\n").c_str());
    });
    std::thread tb([&] {
        for (int i = 0; i < 200; ++i) kvp::OutputDebugStringA((b + "\n").c_str());
    });
    ta.join();
    tb.join();
    const std::string log = env.debugLog();
    EXPECT_EQ(log.size(), 400u * 301u);
    size_t lines = 0;
    for (size_t pos = 0; pos < log.size(); pos += 301, ++lines) {
        const std::string line = log.substr(pos, 301);
        EXPECT_TRUE(line == a + "\n" || line == b + "\n") << "line " << lines;
    }
}

TEST(MessageBoxA, NoDisplayReturnsDefaultAndLogs) {
    kvtest::TestEnv env;
    EXPECT_EQ(kvp::MessageBoxA(nullptr, "Something failed", "TFTP server error",
                               kvp::kMbOk | kvp::kMbIconError),
              kvp::kIdOk);
    EXPECT_EQ(kvp::MessageBoxA(nullptr, "Go on?", "Question", kvp::kMbYesNo | kvp::kMbIconQuestion),
              kvp::kIdYes);
    EXPECT_EQ(kvp::MessageBoxA(nullptr, "two\nlines\tand tab", "Svc",
                               kvp::kMbOkCancel | kvp::kMbServiceNotification),
              kvp::kIdOk);
    // MB_DEFBUTTON2 makes the second button the default.
    EXPECT_EQ(kvp::MessageBoxA(nullptr, "Really?", "Q", kvp::kMbYesNo | 0x100), kvp::kIdNo);
    EXPECT_EQ(env.msgboxLog(),
              "TFTP server error\tSomething failed\t0x00000010\n"
              "Question\tGo on?\t0x00000024\n"
              "Svc\ttwo\\nlines\\tand tab\t0x00200001\n"
              "Q\tReally?\t0x00000104\n");
    const std::string dbg = env.debugLog();
    EXPECT_NE(dbg.find("TFTP server error: Something failed\n"), std::string::npos);
    EXPECT_NE(dbg.find("Question: Go on?\n"), std::string::npos);
}

}  // namespace
