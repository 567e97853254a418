#pragma once
// Short texts for sizes, durations and file times, shared by every view.

#include <cstdint>
#include <string>

namespace norvale {

// "1023 Bytes", "1.00 KB", "4.50 GB", "1.00 TB".
std::string FormatSize(int64_t bytes);
// "59 Sec", "1 Min 0 Sec", "1 Hour 0 Min".
std::string FormatDuration(int64_t seconds);
// A FILETIME as calendar time, unchanged (no local-time conversion): "2024-3-7 09:05:00".
std::string FormatFileTime(uint64_t fileTime);

}  // namespace norvale
