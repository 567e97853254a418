#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

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

// What a person on Linux reads for an operating-system error is what Linux itself says
// (strerror), whichever number the result keeps.
TEST(ResultNumbers, SystemErrorsReadInLinuxWords) {
    for (int err : {ENOENT, EACCES, ENOSPC, EIO, EINVAL, ENAMETOOLONG, EEXIST, ENOTEMPTY, EBUSY,
                    ENOMEM, EMFILE, EPIPE, ENOMEDIUM, EOPNOTSUPP}) {
        EXPECT_EQ(ResultText(FromErrno(err)), std::strerror(err)) << err;
    }
    std::set<std::string> texts;
    const Result known[] = {kErrInvalidFunction, kErrFileNotFound, kErrPathNotFound,
                            kErrTooManyOpenFiles, kErrAccessDenied, kErrInvalidHandle,
                            kErrNotEnoughMemory, kErrNotReady, kErrCrc, kErrSectorNotFound,
                            kErrWriteFault, kErrReadFault, kErrGenFailure, kErrSharingViolation,
                            kErrHandleEof, kErrNotSupported, kErrFileExists, kErrInvalidParameter,
                            kErrBrokenPipe, kErrDiskFull, kErrInsufficientBuffer, kErrInvalidName,
                            kErrDirNotEmpty, kErrBusy, kErrAlreadyExists, kErrFilenameTooLong,
                            kErrMoreData, kErrDirectoryName, kErrIoDevice, kErrNoMediaInDrive};
    for (Result r : known) {
        const std::string text = ResultText(r);
        EXPECT_TRUE(texts.insert(text).second) << text;
        // The phrasing of another platform's messages.
        for (const char* foreign : {"The system cannot", "is incorrect", "Access is denied",
                                    "There is not enough", "The file name is too long"}) {
            EXPECT_EQ(text.find(foreign), std::string::npos) << text;
        }
    }
}

}  // namespace
}  // namespace norvale
