#pragma once
// Conversions between the UTF-8 the program uses everywhere and the UTF-16 some stored
// formats keep. Invalid input is replaced with U+FFFD, never rejected.

#include <string>
#include <string_view>

namespace norvale {

std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
// Case-insensitive comparison of ASCII letters (other bytes compare as they are).
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view s);

}  // namespace norvale
