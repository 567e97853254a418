#include <gtest/gtest.h>

#include <cerrno>

#include "device/result.h"

namespace norvale {
namespace {

TEST(ResultNumbers, OperatingSystemErrorsKeepTheirClassicNumbers) {
    EXPECT_EQ(FromErrno(0), kOk);
    EXPECT_EQ(FromErrno(ENOENT), 2);
    EXPECT_EQ(FromErrno(EACCES), 5);
    EXPECT_EQ(FromErrno(ENOMEM), 8);
    EXPECT_EQ(FromErrno(EINVAL), 87);
    EXPECT_EQ(FromErrno(ENOSPC), 112);
    EXPECT_EQ(FromErrno(EEXIST), 183);
    EXPECT_EQ(FromErrno(123456), kErrGenFailure);
}

TEST(ResultNumbers, EveryKnownNumberHasItsOwnText) {
    EXPECT_EQ(ResultText(kOk), "Success");
    EXPECT_NE(ResultText(kErrReadFault), ResultText(kErrWriteFault));
    EXPECT_EQ(ResultText(424242), "Error 424242");
    EXPECT_NE(ResultText(kScanCancelled).find("Stopped"), std::string::npos);
}

}  // namespace
}  // namespace norvale
