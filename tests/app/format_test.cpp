// Sizes, durations and file times as every window shows them: the rule boundaries.

#include "app/format.h"

#include <gtest/gtest.h>

namespace norvale {
namespace {

TEST(FormatSize, EachUnitStartsAtItsPowerOfTwo) {
    EXPECT_EQ(FormatSize(0), "0 Bytes");
    EXPECT_EQ(FormatSize(1023), "1023 Bytes");
    EXPECT_EQ(FormatSize(1024), "1.00 KB");
    EXPECT_EQ(FormatSize((1 << 20) - 1), "1024.00 KB");  // rounds up but keeps its unit
    EXPECT_EQ(FormatSize(1 << 20), "1.00 MB");
    EXPECT_EQ(FormatSize(int64_t(3) << 29), "1.50 GB");
    EXPECT_EQ(FormatSize(int64_t(1) << 40), "1.00 TB");
    EXPECT_EQ(FormatSize(int64_t(5000) << 40), "5000.00 TB");
    EXPECT_EQ(FormatSize(-5), "-5 Bytes");
}

TEST(FormatDuration, EachUnitStartsAtItsBoundary) {
    EXPECT_EQ(FormatDuration(0), "0 Sec");
    EXPECT_EQ(FormatDuration(59), "59 Sec");
    EXPECT_EQ(FormatDuration(60), "1 Min 0 Sec");
    EXPECT_EQ(FormatDuration(3599), "59 Min 59 Sec");
    EXPECT_EQ(FormatDuration(3600), "1 Hour 0 Min");
    EXPECT_EQ(FormatDuration(3600 * 30 + 61), "30 Hour 1 Min");
}

TEST(FormatFileTime, CalendarTimeWithoutLeadingZerosOnMonthAndDay) {
    // 2024-03-07 09:05:00 UTC; FILETIME counts 100 ns from 1601.
    const uint64_t unix = 1709802300;
    EXPECT_EQ(FormatFileTime((unix + 11644473600ULL) * 10000000ULL), "2024-3-7 09:05:00");
    EXPECT_EQ(FormatFileTime(0), "1601-1-1 00:00:00");
    EXPECT_EQ(FormatFileTime(11644473600ULL * 10000000ULL + 9999999), "1970-1-1 00:00:00");
}

}  // namespace
}  // namespace norvale
