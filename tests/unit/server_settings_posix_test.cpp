// The settings store over the POSIX registry stand-in, where a hive can be made
// unwritable by what stands in the state directory.
#include <gtest/gtest.h>

#include <string>

#include "settings.h"
#include "test_support.h"

namespace {

TEST(SettingsStoreFailure, KeyThatCannotBeCreatedIsReportedAndDefaultsStay) {
    kvtest::TestEnv env;
    ServerSettings settings{};
    // A plain file where the registry directory belongs: no hive can be written.
    kvtest::WriteFile(env.dir() + "/state/registry", "not a directory");
    EXPECT_EQ(LoadServerParameters(&settings), 0);
    EXPECT_EQ(settings.retransmits, 6);
    EXPECT_STREQ(settings.facilityName, "Daemon");
    // The registry's result code reaches the box with its own text.
    const std::string boxes = env.msgboxLog();
    EXPECT_NE(boxes.find("TFTP server error\tRecordServerParameters: RegCreateKeyEx failed: An "
                         "I/O operation initiated by the registry failed unrecoverably."),
              std::string::npos)
        << boxes;
}

}  // namespace
