#include "engine/text_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "engine/result_store.h"

namespace norvale {
namespace {

TEST(TextCodec, RoundTripsEveryPlaneIncludingSurrogatePairs) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7/";  // a é € 📷 /
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83D, 0xDCF7, u'/'}));
    EXPECT_EQ(Utf16ToUtf8(wide), text);
}

TEST(TextCodec, MalformedInputBecomesReplacementCharacters) {
    // Stray continuation, overlong "/", encoded surrogate, cut-off sequence.
    EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("ab\xE2\x82"), u"ab\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // past U+10FFFF
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
}

TEST(TextCodec, NoCaseOrderFoldsAsciiLettersToLowerCase) {
    std::vector<std::string> names{"b", "_x", "B2", "A", "a1", "Z", "\xC3\xA9"};
    std::stable_sort(names.begin(), names.end(), [](const std::string& x, const std::string& y) {
        return CompareNoCase(x, y) < 0;
    });
    // "_" (0x5F) sorts before letters once they are lower-cased; bytes past ASCII come last.
    EXPECT_EQ(names, (std::vector<std::string>{"_x", "A", "a1", "b", "B2", "Z", "\xC3\xA9"}));
    EXPECT_TRUE(EqualsNoCase("IMG_0001.JPG", "img_0001.jpg"));
    EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
    EXPECT_EQ(ToLowerAscii("DCIM/\xC3\x89"), "dcim/\xC3\x89");
}

}  // namespace
}  // namespace norvale

namespace norvale {
namespace {

TEST(ScanLogNames, StartAndLocalTimeWithTheMinuteInTwoPlaces) {
    const std::string name = ScanLogName("Fast_", 2048);
    // year, month, day and hour unpadded; the minute right-aligned in two places (" 7").
    EXPECT_TRUE(
        std::regex_match(name, std::regex(R"(Fast_2048_20\d{2}\d{1,2}\d{1,2}\d{1,2}[ \d]\d)")))
        << name;
    EXPECT_EQ(ScanLogName("File_Type_", 0).rfind("File_Type_0_", 0), 0u);
}

}  // namespace
}  // namespace norvale
