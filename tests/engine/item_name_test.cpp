// Names longer than the item's 260-byte name field: shortened once, for every engine, so that
// the extension (and with it the kind and the type filters) survives.
#include <gtest/gtest.h>

#include <string>

#include "engine/output_naming.h"
#include "engine/recovered_item.h"

namespace norvale {
namespace {

// True when `s` is whole UTF-8 characters (no sequence cut short at either end).
bool WholeCharacters(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<uint8_t>(s[i]);
        const size_t len = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : 4;
        if ((lead & 0xC0) == 0x80 || i + len > s.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

TEST(ItemNames, LongNamesKeepTheirExtensionAndWholeCharacters) {
    struct Case {
        std::string name;
        std::string ending;  // what the stored name must end with
    } cases[] = {
        // 100 three-byte characters: 300 bytes before the extension.
        {[] {
             std::string s;
             for (int i = 0; i < 100; ++i) s += "\xE6\x97\xA5";
             return s;
         }() +
             ".jpg",
         ".jpg"},
        // Four-byte characters and a second dot: only the last extension counts.
        {[] {
             std::string s;
             for (int i = 0; i < 80; ++i) s += "\xF0\x9F\x98\x80";
             return s;
         }() +
             ".holiday.JPEG",
         ".JPEG"},
        {std::string(400, 'a') + ".mp3", "a.mp3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecoveredItem item{};
        item.SetName(c.name);
        const std::string stored(item.Name());
        EXPECT_LE(stored.size(), kItemNameBytes - 1);
        EXPECT_GE(stored.size(), kItemNameBytes - 4);  // cut no more than one character short
        EXPECT_TRUE(stored.ends_with(c.ending)) << stored;
        EXPECT_TRUE(WholeCharacters(stored));
        const std::string stem = stored.substr(0, stored.rfind('.'));
        EXPECT_TRUE(c.name.starts_with(stem));
        EXPECT_EQ(CategoryOf(stored), CategoryOf(c.name));
        EXPECT_EQ(stored, FitItemName(c.name));
    }
}

TEST(ItemNames, NamesThatFitOrHaveNoExtensionAreOnlyCutAtTheEnd) {
    const std::string fits = std::string(255, 'b') + ".png";  // exactly 259 bytes
    EXPECT_EQ(FitItemName(fits), fits);
    EXPECT_EQ(FitItemName("IMG_0001.JPG"), "IMG_0001.JPG");

    std::string noExtension;
    for (int i = 0; i < 130; ++i) noExtension += "\xC3\xA9";  // 260 bytes of two-byte characters
    EXPECT_EQ(FitItemName(noExtension), noExtension.substr(0, 258));

    // A "extension" too long to be one, and a dot only at the start: cut like any text.
    const std::string longTail = "a." + std::string(300, 'x');
    EXPECT_EQ(FitItemName(longTail), longTail.substr(0, 259));
    const std::string dotFirst = "." + std::string(300, 'x');
    EXPECT_EQ(FitItemName(dotFirst), dotFirst.substr(0, 259));

    DirInfoEntry folder{};
    CopyItemName(folder.name, std::string(300, 'f') + ".d");
    EXPECT_EQ(std::string(folder.name), std::string(257, 'f') + ".d");
}

}  // namespace
}  // namespace norvale
