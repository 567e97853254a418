// INI text as configuration and language files use it: what a line means, damaged lines,
// encodings, and editing one value without disturbing the rest of the file.

#include "app/ini_text.h"

#include <gtest/gtest.h>

#include <string>

namespace norvale {
namespace {

TEST(IniParse, SectionsAndEntriesInFileOrderWithBlanksTrimmed) {
    const IniDocument doc = ParseIni(
        "stray=before any section\n"
        "  [ MainWnd ]  \r\n"
        "\tBtnScan =  Scan  \r\n"
        "; a comment\n"
        "\n"
        "Title=a=b\r"
        "[Messages]\n"
        "MSG0401=Error");
    ASSERT_EQ(doc.sections.size(), 2u);
    EXPECT_EQ(doc.sections[0].name, "MainWnd");
    ASSERT_EQ(doc.sections[0].entries.size(), 2u);
    EXPECT_EQ(doc.sections[0].entries[0].key, "BtnScan");
    EXPECT_EQ(doc.sections[0].entries[0].value, "Scan");
    EXPECT_EQ(doc.sections[0].entries[1].key, "Title");
    EXPECT_EQ(doc.sections[0].entries[1].value, "a=b");  // split at the first "="
    EXPECT_EQ(doc.sections[1].name, "Messages");
    ASSERT_EQ(doc.sections[1].entries.size(), 1u);
    EXPECT_EQ(doc.sections[1].entries[0].value, "Error");  // last line without line break
}

TEST(IniParse, LineWithoutSeparatorIsAnEntryWhoseTextIsTheWholeLine) {
    const IniDocument doc = ParseIni("[Languages]\nEnglish=English\nKlingon\n");
    ASSERT_EQ(doc.sections[0].entries.size(), 2u);
    const IniEntry& bare = doc.sections[0].entries[1];
    EXPECT_FALSE(bare.hasSeparator);
    EXPECT_EQ(bare.key, "Klingon");
    EXPECT_EQ(bare.Text(), "Klingon");
}

TEST(IniParse, DamagedLinesAreSkippedAndDoNotEndTheSection) {
    const IniDocument doc = ParseIni("[A]\nx=1\n[broken header\n=no key\n[]\ny=2\n[B]]\nz=3\n");
    ASSERT_EQ(doc.sections.size(), 3u);
    EXPECT_EQ(doc.sections[0].name, "A");
    ASSERT_EQ(doc.sections[0].entries.size(), 1u);
    EXPECT_EQ(doc.sections[1].name, "");  // "[]" is a header, just an unnamed one
    EXPECT_EQ(doc.sections[1].entries[0].key, "y");
    EXPECT_EQ(doc.sections[2].name, "B]");  // the name runs to the last "]"
}

TEST(IniParse, HostileBytesParseWithoutFault) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(char((i * 131) & 0xFF));
    junk += std::string(100000, '[');
    junk += std::string("\0=\0\n[\0]\n\0\0=x", 12);
    const IniDocument doc = ParseIni(junk);
    for (const IniSection& s : doc.sections)
        for (const IniEntry& e : s.entries) EXPECT_FALSE(e.key.empty());
}

TEST(IniEncoding, ByteOrderMarksAreHonoured) {
    EXPECT_EQ(IniTextToUtf8("\xEF\xBB\xBF[A]\n"), "[A]\n");
    // "[Ä]" followed by U+1F600 as a surrogate pair, little endian.
    const std::string le("\xFF\xFE[\0\xC4\0]\0\x3D\xD8\x00\xDE", 12);
    EXPECT_EQ(IniTextToUtf8(le), "[\xC3\x84]\xF0\x9F\x98\x80");
    const std::string be("\xFE\xFF\0x\0=\0y", 8);
    EXPECT_EQ(IniTextToUtf8(be), "x=y");
    // A lone surrogate and an odd trailing byte.
    const std::string broken("\xFF\xFE\x00\xD8\x41\x00\x7A", 7);
    EXPECT_EQ(IniTextToUtf8(broken),
              "\xEF\xBF\xBD"
              "A");
    EXPECT_EQ(IniTextToUtf8("plain"), "plain");
}

TEST(IniValue, NamesCompareWithoutCaseAndQuotesAreRemoved) {
    const IniDocument doc = ParseIni(
        "[default]\nDefaultLanguage\nDEFAULTLANGUAGE=\"Deutsch\"\n[Default]\nDefaultLanguage=x\n");
    EXPECT_EQ(IniValue(doc, "Default", "DefaultLanguage"), "Deutsch");
    EXPECT_FALSE(IniValue(doc, "Default", "Other").has_value());
    EXPECT_EQ(IniValue(ParseIni("[D]\nk='\n"), "D", "k"), "'");  // one quote is no pair
}

TEST(IniSetValue, RewritesOnlyTheFirstMatchingEntryKeepingTheRest) {
    const std::string text =
        "; my settings\r\n[Default]\r\n  defaultlanguage = English  \r\nOther=1\r\n\r\n"
        "[Languages]\r\nEnglish=English\r\n";
    const std::string out = SetIniValue(text, "DEFAULT", "DefaultLanguage", "Deutsch");
    EXPECT_EQ(out,
              "; my settings\r\n[Default]\r\n  defaultlanguage=Deutsch\r\nOther=1\r\n\r\n"
              "[Languages]\r\nEnglish=English\r\n");
}

TEST(IniSetValue, AddsTheEntryAtTheEndOfItsSection) {
    const std::string out =
        SetIniValue("[Default]\nOther=1\n\n; next\n[Languages]\nEnglish=English", "Default",
                    "DefaultLanguage", "Deutsch");
    EXPECT_EQ(out,
              "[Default]\nOther=1\nDefaultLanguage=Deutsch\n\n; next\n[Languages]\n"
              "English=English");
    // Section at the end of a file without final line break.
    EXPECT_EQ(SetIniValue("[Default]", "Default", "K", "v"), "[Default]\nK=v\n");
}

TEST(IniSetValue, AppendsTheSectionWhenMissing) {
    EXPECT_EQ(SetIniValue("", "Default", "DefaultLanguage", "English"),
              "[Default]\nDefaultLanguage=English\n");
    EXPECT_EQ(SetIniValue("[Languages]\nEnglish=English", "Default", "DefaultLanguage", "X"),
              "[Languages]\nEnglish=English\n\n[Default]\nDefaultLanguage=X\n");
}

}  // namespace
}  // namespace norvale
