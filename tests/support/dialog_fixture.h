// A dialog under the headless host, in a fresh state directory that is also the current
// directory (the dialogs' default paths lie there). The dialog still open at the end is
// ended with the button given, and the test waits until it has gone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "kv/dialog_headless.h"
#include "test_support.h"

namespace kvtest {

class HeadlessDialogTest : public ::testing::Test {
  protected:
    explicit HeadlessDialogTest(int closeId) : closeId_(closeId) {}

    void SetUp() override {
        previousDir_ = std::filesystem::current_path();
        std::filesystem::current_path(env_.dir());
        cwd_ = std::filesystem::current_path().string();
    }
    void TearDown() override {
        if (ui_.Top() != nullptr) {
            ui_.Click(closeId_);
            intptr_t r = 0;
            EXPECT_TRUE(ui_.WaitDone(&r));
        }
        std::filesystem::current_path(previousDir_);
    }

    TestEnv env_;
    kvp::HeadlessDialogs ui_;
    std::string cwd_;

  private:
    int closeId_;
    std::filesystem::path previousDir_;
};

}  // namespace kvtest
