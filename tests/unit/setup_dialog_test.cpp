// The setup tool's dialog under the headless host, driving the built support library:
// the product information at the start, create and remove with their status texts, and
// the ways out.
#include <gtest/gtest.h>

#include <string>

#include "kv/dialog_headless.h"
#include "kv/dynlib.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "setup.h"
#include "test_support.h"

namespace {

constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\KVTFTP";
constexpr const char* kSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KVTFTP";

bool KeyExists(const char* path) {
    kvp::RegKey key;
    return kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, path, kvp::kKeyRead, key.out()) ==
           kvp::kErrorSuccess;
}

class SetupDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kvp::SetEnv("KVTFTP_DIALOG_LOG", (env_.dir() + "/dialog.log").c_str());
        ASSERT_TRUE(lib_) << "the support library";
        const char* missing = nullptr;
        ASSERT_TRUE(BindSetupFunctions(lib_.get(), &f_, &missing)) << missing;
        ui_.Run([this] {
            return kvp::DialogBoxIndirectParamA(&kSetupResources, kSetupDialog, nullptr,
                                                SetupDlgProc, reinterpret_cast<intptr_t>(&f_));
        });
        ASSERT_TRUE(ui_.WaitOpen(kSetupDialogId));
        ASSERT_TRUE(ui_.Settle());
    }
    void TearDown() override { kvp::SetEnv("KVTFTP_DIALOG_LOG", ""); }
    // The texts the status line showed, in order.
    std::vector<std::string> StatusTexts() const {
        std::vector<std::string> texts;
        const std::string prefix = "101\t1004\t";
        for (const std::string& line : kvtest::Lines(kvtest::ReadFile(env_.dir() + "/dialog.log")))
            if (line.rfind(prefix, 0) == 0) texts.push_back(line.substr(prefix.size()));
        return texts;
    }

    kvtest::TestEnv env_;
    kvp::ScopedLibrary lib_{kvp::LoadLibraryA((kvtest::BinDir() + "/kvtftpasc.so").c_str())};
    SetupFunctions f_;
    kvp::HeadlessDialogs ui_;
};

TEST_F(SetupDialogTest, CreatesAndRemovesTheServiceAndSaysSo) {
    EXPECT_EQ(ui_.Title(), "TFTP service setup tool");
    const char* product = nullptr;
    f_.getProductInformation(&product);
    EXPECT_EQ(ui_.Text(kIdSetupProduct), product);
    EXPECT_EQ(ui_.Text(kIdSetupStatus), "");
    EXPECT_EQ(ui_.Focused(), kIdSetupCreate);

    ASSERT_TRUE(ui_.Mnemonic('c'));
    EXPECT_EQ(ui_.Text(kIdSetupStatus), "Creation done. Please exit.");
    EXPECT_TRUE(KeyExists(kServiceKey));
    EXPECT_TRUE(KeyExists(kSourceKey));
    ASSERT_TRUE(ui_.Click(kIdSetupRemove));
    EXPECT_EQ(ui_.Text(kIdSetupStatus), "Removal done. Please exit.");
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_FALSE(KeyExists(kSourceKey));
    EXPECT_EQ(StatusTexts(),
              (std::vector<std::string>{"Please wait...", "Creation done. Please exit.",
                                        "Please wait...", "Removal done. Please exit."}));
    // Removing again: the library's boxes, and the status line still ends the same.
    ASSERT_TRUE(ui_.Click(kIdSetupRemove));
    EXPECT_EQ(ui_.Text(kIdSetupStatus), "Removal done. Please exit.");
    EXPECT_NE(env_.msgboxLog().find("Open SCM\t"), std::string::npos);

    // Enter presses Exit, the default button.
    ASSERT_TRUE(ui_.Focus(kIdSetupProduct));
    ASSERT_TRUE(ui_.Press(kvp::HeadlessDialogs::Key::kEnter));
    intptr_t r = -1;
    ASSERT_TRUE(ui_.WaitDone(&r));
    EXPECT_EQ(r, 0);
}

TEST_F(SetupDialogTest, EscapeLeavesItOpenTheCloseBoxEndsIt) {
    ASSERT_TRUE(ui_.Press(kvp::HeadlessDialogs::Key::kEscape));
    EXPECT_TRUE(ui_.WaitOpen(kSetupDialogId, 200));
    ASSERT_TRUE(ui_.CloseBox());
    intptr_t r = -1;
    ASSERT_TRUE(ui_.WaitDone(&r));
    EXPECT_FALSE(KeyExists(kServiceKey));
}

}  // namespace
