#include "app/format.h"

#include <cstdio>
#include <ctime>

namespace norvale {

std::string FormatSize(int64_t n) {
    char buf[64];
    constexpr double kKiB = 1024.0;
    if (n >= (int64_t(1) << 40)) {
        std::snprintf(buf, sizeof buf, "%.2f TB", double(n) / (kKiB * kKiB * kKiB * kKiB));
    } else if (n >= (int64_t(1) << 30)) {
        std::snprintf(buf, sizeof buf, "%.2f GB", double(n) / (kKiB * kKiB * kKiB));
    } else if (n >= (int64_t(1) << 20)) {
        std::snprintf(buf, sizeof buf, "%.2f MB", double(n) / (kKiB * kKiB));
    } else if (n >= 1024) {
        std::snprintf(buf, sizeof buf, "%.2f KB", double(n) / kKiB);
    } else {
        std::snprintf(buf, sizeof buf, "%lld Bytes", static_cast<long long>(n));
    }
    return buf;
}

std::string FormatDuration(int64_t s) {
    char buf[64];
    if (s > 3599) {
        std::snprintf(buf, sizeof buf, "%lld Hour %lld Min", static_cast<long long>(s / 3600),
                      static_cast<long long>((s % 3600) / 60));
    } else if (s > 59) {
        std::snprintf(buf, sizeof buf, "%lld Min %lld Sec", static_cast<long long>(s / 60),
                      static_cast<long long>(s % 60));
    } else {
        std::snprintf(buf, sizeof buf, "%lld Sec", static_cast<long long>(s));
    }
    return buf;
}

std::string FormatFileTime(uint64_t fileTime) {
    // FILETIME counts 100 ns ticks from 1601-01-01; 11644473600 s separate it from 1970.
    constexpr int64_t kEpochDelta = 11644473600LL;
    int64_t seconds = int64_t(fileTime / 10000000ULL) - kEpochDelta;
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!::gmtime_r(&t, &tm)) return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d-%d-%d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

}  // namespace norvale
