// The error numbers of the POSIX stand-ins: errno values keep the system's texts, and
// the Windows result codes read with their Windows meaning.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "kv/errors.h"
#include "kv/net.h"

namespace {

TEST(PosixErrors, ErrnoValuesKeepTheSystemTexts) {
    EXPECT_EQ(kvp::SystemErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(kvp::SystemErrorText(EIO), "Input/output error");
    EXPECT_EQ(kvp::SystemErrorText(kvp::kErrMsgSize), "Message too long");
}

TEST(PosixErrors, ResultCodesBecomeTheErrnoOfTheirMeaning) {
    // 5 is EIO as an errno value: "access denied" must not print as an I/O error.
    EXPECT_EQ(kvp::SystemErrorOfResult(kvp::kErrorAccessDenied), EACCES);
    EXPECT_EQ(kvp::SystemErrorText(kvp::SystemErrorOfResult(kvp::kErrorAccessDenied)),
              "Permission denied");
    EXPECT_EQ(kvp::SystemErrorOfResult(kvp::kErrorFileNotFound), ENOENT);
    EXPECT_EQ(kvp::SystemErrorOfResult(kvp::kErrorInvalidHandle), EBADF);
    EXPECT_EQ(kvp::SystemErrorOfResult(kvp::kErrorInvalidParameter), EINVAL);
}

TEST(PosixErrors, CodesAboveErrnoKeepTheirNumbersAndWindowsTexts) {
    EXPECT_EQ(kvp::SystemErrorOfResult(kvp::kErrorMoreData), kvp::kErrorMoreData);
    EXPECT_EQ(kvp::SystemErrorText(kvp::kErrorMoreData), "More data is available.");
    EXPECT_EQ(kvp::SystemErrorText(kvp::kErrorNoMoreItems), "No more data is available.");
    // The registry's own failure, which used to print as "Unknown error 1016".
    EXPECT_EQ(kvp::SystemErrorText(1016).rfind("An I/O operation initiated by the registry", 0),
              0u);
    EXPECT_EQ(kvp::SystemErrorText(987654), "Unknown error 987654");
}

}  // namespace
