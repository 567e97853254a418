// Names from the medium on the terminal: whatever a card's directory holds, the list, the tree
// and the failure lines show control characters as escapes, and a name longer than the item
// field keeps its extension, so it stays a photo for --type in every scan mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/terminal_text.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::CliPath;
using testing::RunShell;
using testing::TempDir;

TEST(TerminalText, ControlCharactersAndBrokenUtf8BecomeEscapes) {
    using cli::TerminalText;
    EXPECT_EQ(TerminalText("Fjord \xC3\xA9t\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80.jpg"),
              "Fjord \xC3\xA9t\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80.jpg");
    EXPECT_EQ(TerminalText("a\x1b]0;title\x07z"), "a\\x1b]0;title\\x07z");
    EXPECT_EQ(TerminalText("\r\n\t\x7f"), "\\r\\n\\t\\x7f");
    EXPECT_EQ(TerminalText(std::string("nul\0x", 5)), "nul\\x00x");
    EXPECT_EQ(TerminalText("c1 \xC2\x9B"
                           "2J \xC2\x85"),
              "c1 \\u009b2J \\u0085");
    // Bytes that are no UTF-8: stray continuation, overlong '/', surrogate, cut sequence.
    EXPECT_EQ(TerminalText("\x80 \xC0\xAF \xED\xA0\x80 \xE6\x97"),
              "\\x80 \\xc0\\xaf \\xed\\xa0\\x80 \\xe6\\x97");
}

// Raw bytes a terminal acts on, as they would appear in output.
bool HasRawControl(const std::string& out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<uint8_t>(out[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
        if (c == 0xC2 && i + 1 < out.size() && (static_cast<uint8_t>(out[i + 1]) & 0xE0) == 0x80) {
            return true;  // U+0080..U+009F
        }
    }
    return false;
}

class HostileNames : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "mdel"}) {
            if (!testing::HaveTool(tool)) GTEST_SKIP() << tool << " missing";
        }
        ASSERT_EQ(RunShell("mkfs.fat -C -F 16 '" + card_ + "' 32768 >/dev/null"), 0);
        for (int i = 0; i < 100; ++i) stem_ += "\xE6\x97\xA5";  // 300 bytes
        testing::WriteFileBytes(dir_ / "jpeg",
                                {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I',  'F',
                                 0,    1,    2,    3,    4, 5,    6,   7,   0xFF, 0xD9});
        // mtools refuses control characters and cuts names at 255 bytes: placeholders go in
        // and are replaced in the long-name entries.
        for (const std::string& name :
             {std::string("QQQQQQQQQQQQx.jpg"), std::string(100, 'S') + ".jpg"}) {
            ASSERT_EQ(Mtools("mcopy -i '" + card_ + "' '" + dir_ / "jpeg" + "' '::/" + name + "'"),
                      0);
        }
        ASSERT_EQ(Mtools("mdel -i '" + card_ + "' '::/QQQQQQQQQQQQx.jpg' '::/" +
                         std::string(100, 'S') + ".jpg'"),
                  0);
        std::vector<uint8_t> bytes = testing::ReadFileBytes(card_);
        const char16_t hostile[12] = {0x1B, ']',  '0',  ';',  'p',  'w',
                                      'n',  0x07, '\r', '\n', 0x7F, 0x9B};
        static constexpr size_t kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        size_t next = 0, wide = 0;
        for (size_t e = 0; e + 32 <= bytes.size(); e += 32) {
            if (bytes[e + 11] != 0x0F) continue;
            for (size_t k : kUnits) {
                if (bytes[e + k + 1] != 0) continue;
                char16_t unit = bytes[e + k];
                if (unit == 'Q' && next < 12) {
                    unit = hostile[next++];
                } else if (unit == 'S') {
                    unit = 0x65E5;  // three bytes in UTF-8
                    ++wide;
                } else {
                    continue;
                }
                bytes[e + k] = static_cast<uint8_t>(unit);
                bytes[e + k + 1] = static_cast<uint8_t>(unit >> 8);
            }
        }
        ASSERT_EQ(next, 12u);
        ASSERT_EQ(wide, 100u);
        testing::WriteFileBytes(card_, bytes);
    }
    static int Mtools(const std::string& command) {
        return RunShell("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + command + " 2>&1");
    }
    int Cli(const std::string& args, std::string* out) {
        return RunShell("'" + CliPath() + "' " + args + " 2>&1", out);
    }

    testing::IsolatedHome home_;
    TempDir dir_;
    std::string card_ = dir_ / "card.img";
    std::string stem_;
    const std::string shown_ = "\\x1b]0;pwn\\x07\\r\\n\\x7f\\u009bx.jpg";
};

TEST_F(HostileNames, ListTreeAndFailuresShowEscapesAndLongNamesStayPhotos) {
    // The long name's stored form: its stem cut to whole characters, its extension kept.
    const std::string longShown = stem_.substr(0, 255) + ".jpg";
    for (const char* mode : {"deleted", "full"}) {
        SCOPED_TRACE(mode);
        std::string out;
        ASSERT_EQ(Cli("list -q --mode " + std::string(mode) + " '" + card_ + "'", &out), 0) << out;
        EXPECT_FALSE(HasRawControl(out)) << out;
        EXPECT_NE(out.find(shown_), std::string::npos) << out;
        EXPECT_NE(out.find(longShown), std::string::npos) << out;

        ASSERT_EQ(
            Cli("list -q --type photo --mode " + std::string(mode) + " '" + card_ + "'", &out), 0);
        EXPECT_NE(out.find(longShown), std::string::npos) << out;
        EXPECT_NE(out.find("photo"), std::string::npos) << out;
    }

    std::string tree;
    ASSERT_EQ(Cli("list -q --tree '" + card_ + "'", &tree), 0) << tree;
    EXPECT_FALSE(HasRawControl(tree)) << tree;
    EXPECT_NE(tree.find(shown_ + "  (deleted)"), std::string::npos) << tree;
    EXPECT_NE(tree.find(longShown + "  (deleted)"), std::string::npos) << tree;

    // A file where the photo folder must go: every photo fails, and each failure line names
    // the item escaped and the folder it was meant for.
    const std::string dest = dir_ / "back";
    ASSERT_EQ(RunShell("mkdir -p '" + dest + "' && touch '" + dest + "/photo'"), 0);
    std::string out;
    EXPECT_EQ(Cli("recover -q --type photo '" + card_ + "' --to '" + dest + "'", &out), 1);
    EXPECT_FALSE(HasRawControl(out)) << out;
    EXPECT_NE(out.find("failed: " + shown_ + " -> " + dest + "/photo: "), std::string::npos) << out;
}

}  // namespace
}  // namespace norvale
