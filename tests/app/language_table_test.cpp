// The language table: choosing the language through config.ini, reading language files with
// the first text of a key winning, lookups that never fail, switching languages, and the
// language files that ship with the program.

#include "app/language_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <set>

#include "app/program_paths.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::TempDir;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class LanguageTableTest : public ::testing::Test {
  protected:
    TempDir dir_;
    std::string config_ = dir_ / "config.ini";
    std::string languages_ = dir_ / "Languages";

    void SetUp() override { ASSERT_EQ(::mkdir(languages_.c_str(), 0755), 0); }
    void Language(const std::string& name, const std::string& text) {
        Write(languages_ + "/" + name + ".ini", text);
    }
    std::unique_ptr<LanguageTable> Loaded() {
        auto table = std::make_unique<LanguageTable>(config_, languages_);
        table->Load();
        return table;
    }
};

TEST_F(LanguageTableTest, WithoutConfigEnglishIsActiveAndNothingIsOffered) {
    Language("English", "[Messages]\nMSG0401=Error\n");
    LanguageTable table(config_, languages_);
    table.Load();
    EXPECT_EQ(table.CurrentLanguage(), "English");
    EXPECT_TRUE(table.Languages().empty());
    EXPECT_EQ(table.Text("Messages", "MSG0401"), "Error");
    EXPECT_EQ(table.LanguageFilePath(), languages_ + "/English.ini");
}

TEST_F(LanguageTableTest, MissingTextsAreEmptyAndInsertedWhereTheyWereAskedFor) {
    LanguageTable table(config_, languages_);  // no language file at all
    table.Load();
    TextSection& messages = table.Section("Messages");
    EXPECT_FALSE(messages.Contains("MSG0403"));
    EXPECT_EQ(messages.Text("MSG0403"), "");
    EXPECT_TRUE(messages.Contains("MSG0403"));
    EXPECT_EQ(messages.Entries().at("MSG0403"), "");
    // The same section object every time.
    EXPECT_EQ(&table.Section("Messages"), &messages);
    EXPECT_EQ(table.Section("Messages").Name(), "Messages");
}

TEST_F(LanguageTableTest, ConfigChoosesTheLanguageAndListsTheOfferedOnesInOrder) {
    Write(config_,
          "[DEFAULT]\ndefaultlanguage=Deutsch\n[languages]\nDeutsch=Deutsch (Deutschland)\n"
          "English=English\nKlingon\n");
    Language("Deutsch", "[MainWnd]\nBtnScan=Durchsuchen\n");
    LanguageTable table(config_, languages_);
    table.Load();
    EXPECT_EQ(table.CurrentLanguage(), "Deutsch");
    const auto offered = table.Languages();
    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[0].name, "Deutsch");
    EXPECT_EQ(offered[0].displayText, "Deutsch (Deutschland)");
    EXPECT_EQ(offered[1].name, "English");
    EXPECT_EQ(offered[2].name, "Klingon");  // no "=": the whole line is name and text
    EXPECT_EQ(offered[2].displayText, "Klingon");
    EXPECT_EQ(table.Text("MainWnd", "BtnScan"), "Durchsuchen");
}

TEST_F(LanguageTableTest, FirstTextOfAKeyWinsAlsoAcrossRepeatedSections) {
    Language("English",
             "[Messages]\nMSG0401=Error\nMSG0401=Later\nBare line\n[MainWnd]\nBtnScan=Scan\n"
             "[Messages]\nMSG0401=Third\nMSG0402=Confirm\n[messages]\nMSG0401=Other case\n");
    LanguageTable table(config_, languages_);
    table.Load();
    EXPECT_EQ(table.Text("Messages", "MSG0401"), "Error");
    EXPECT_EQ(table.Text("Messages", "MSG0402"), "Confirm");
    EXPECT_EQ(table.Text("Messages", "Bare line"), "Bare line");
    // Section names of language files are compared exactly.
    EXPECT_EQ(table.Text("messages", "MSG0401"), "Other case");
}

TEST_F(LanguageTableTest, SetLanguageRewritesConfigAndRefillsTheSectionsInPlace) {
    Write(config_,
          "; keep me\n[Default]\nDefaultLanguage=English\n\n[Languages]\n"
          "English=English\nDeutsch=Deutsch\n");
    Language("English", "[Messages]\nMSG0401=Error\nMSG0999=Only English\n");
    Language("Deutsch", "[Messages]\nMSG0401=Fehler\n[MenuWnd]\nitem_exit=Beenden\n");
    LanguageTable table(config_, languages_);
    table.Load();
    TextSection& messages = table.Section("Messages");
    ASSERT_EQ(messages.Text("MSG0401"), "Error");

    ASSERT_EQ(table.SetLanguage("Deutsch"), kOk);
    EXPECT_EQ(table.CurrentLanguage(), "Deutsch");
    EXPECT_EQ(messages.Text("MSG0401"), "Fehler");  // the section taken earlier
    EXPECT_FALSE(messages.Contains("MSG0999"));     // texts of English are gone
    EXPECT_EQ(table.Text("MenuWnd", "item_exit"), "Beenden");
    EXPECT_EQ(Slurp(config_),
              "; keep me\n[Default]\nDefaultLanguage=Deutsch\n\n[Languages]\n"
              "English=English\nDeutsch=Deutsch\n");

    // A fresh table reads the same choice.
    EXPECT_EQ(Loaded()->CurrentLanguage(), "Deutsch");
}

TEST_F(LanguageTableTest, SetLanguageMakesTheConfigFileAndItsFolder) {
    config_ = dir_ / "new/folder/config.ini";
    Language("Deutsch", "[Messages]\nMSG0401=Fehler\n");
    LanguageTable table(config_, languages_);
    table.Load();
    ASSERT_EQ(table.SetLanguage("Deutsch"), kOk);
    EXPECT_EQ(Slurp(config_), "[Default]\nDefaultLanguage=Deutsch\n");
    EXPECT_EQ(table.Text("Messages", "MSG0401"), "Fehler");
}

TEST_F(LanguageTableTest, NamesThatCannotNameALanguageFileAreRefused) {
    Write(config_, "[Default]\nDefaultLanguage=English\n");
    LanguageTable table(config_, languages_);
    table.Load();
    const std::string bad[] = {"", "..", "../English", "a\nb", "a\rb", std::string("a\0b", 3)};
    for (const std::string& name : bad)
        EXPECT_EQ(table.SetLanguage(name), kErrInvalidParameter) << name;
    EXPECT_EQ(Slurp(config_), "[Default]\nDefaultLanguage=English\n");
    EXPECT_EQ(table.CurrentLanguage(), "English");
}

TEST_F(LanguageTableTest, ConfigThatCannotBeReadIsNeverReplaced) {
    ASSERT_EQ(::mkdir(config_.c_str(), 0755), 0);  // a folder where the file should be
    LanguageTable table(config_, languages_);
    table.Load();
    EXPECT_EQ(table.CurrentLanguage(), "English");
    EXPECT_NE(table.SetLanguage("Deutsch"), kOk);
    struct stat st {};
    ASSERT_EQ(::stat(config_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(LanguageTableTest, ALanguageNameLeavingTheFolderReadsNothing) {
    // config.ini pointing outside the languages folder: the file there is not read.
    Write(dir_ / "secret.ini", "[Messages]\nMSG0401=read outside\n");
    Write(config_, "[Default]\nDefaultLanguage=../secret\n");
    LanguageTable table(config_, languages_);
    table.Load();
    EXPECT_EQ(table.CurrentLanguage(), "../secret");
    EXPECT_EQ(table.Text("Messages", "MSG0401"), "");
}

TEST_F(LanguageTableTest, LongLanguageNamesAreCutAtSixtyThreeCharacters) {
    std::string name;
    for (int i = 0; i < 70; ++i) name += "\xC3\xA4";  // "ä", two bytes each
    Write(config_, "[Default]\nDefaultLanguage=" + name + "\n");
    const std::string current = Loaded()->CurrentLanguage();
    EXPECT_EQ(current, name.substr(0, 63 * 2));
}

TEST_F(LanguageTableTest, DamagedLanguageFilesGiveWhatTheyHoldAndNoFault) {
    std::string junk = "[Messages]\nMSG0401=Error\n";
    for (int i = 0; i < 20000; ++i) junk.push_back(char((i * 7919) & 0xFF));
    Language("English", junk);
    LanguageTable table(config_, languages_);
    table.Load();
    EXPECT_EQ(table.Text("Messages", "MSG0401"), "Error");

    // Larger than any language file: not read at all.
    Language("English", "[Messages]\nMSG0401=Error\n" + std::string(5 << 20, 'x'));
    EXPECT_EQ(Loaded()->Text("Messages", "MSG0401"), "");
}

TEST_F(LanguageTableTest, AFifoInPlaceOfALanguageFileDoesNotBlock) {
    ASSERT_EQ(::mkfifo((languages_ + "/English.ini").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(config_.c_str(), 0600), 0);
    LanguageTable table(config_, languages_);
    table.Load();  // would hang if either were opened for reading as a file
    EXPECT_EQ(table.CurrentLanguage(), "English");
    EXPECT_EQ(table.Text("Messages", "MSG0401"), "");
}

TEST_F(LanguageTableTest, Utf16LanguageFilesAreRead) {
    std::string text("\xFF\xFE", 2);
    for (char c : std::string("[Messages]\r\nMSG0401=Fehler\r\n")) {
        text.push_back(c);
        text.push_back('\0');
    }
    Language("English", text);
    EXPECT_EQ(Loaded()->Text("Messages", "MSG0401"), "Fehler");
}

TEST(ConfigFile, DefaultsAreWrittenOnceAndOfferTheShippedLanguages) {
    TempDir dir;
    const std::string path = dir / "Kestrune/config.ini";
    ASSERT_EQ(EnsureConfigFile(path), kOk);
    EXPECT_EQ(Slurp(path), DefaultConfigText());
    Write(path, "[Default]\nDefaultLanguage=Deutsch\n");
    ASSERT_EQ(EnsureConfigFile(path), kOk);
    EXPECT_EQ(Slurp(path), "[Default]\nDefaultLanguage=Deutsch\n");

    const IniDocument doc = ParseIni(DefaultConfigText());
    EXPECT_EQ(IniValue(doc, "Default", "DefaultLanguage"), "English");
    int offered = 0;
    for (const IniSection& s : doc.sections) {
        if (s.name != "Languages") continue;
        for (const IniEntry& e : s.entries) {
            ++offered;
            struct stat st {};
            EXPECT_EQ(
                ::stat((testing::SourceDir() + "/src/ui/Languages/" + e.key + ".ini").c_str(), &st),
                0)
                << e.key << " is offered but not shipped";
        }
    }
    EXPECT_GE(offered, 2);
}

TEST(ConfigFile, TheProcessWideTableReadsTheUsersConfigFolder) {
    IsolatedHome home;
    LanguageTable::ResetInstance();
    Write(home.Path() + "/config.ini", "");  // not the one: only XDG_CONFIG_HOME counts
    ASSERT_EQ(::mkdir(home.ConfigHome().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((home.ConfigHome() + "/Kestrune").c_str(), 0755), 0);
    Write(home.ConfigHome() + "/Kestrune/config.ini", "[Default]\nDefaultLanguage=Deutsch\n");
    LanguageTable& table = LanguageTable::Instance();
    EXPECT_EQ(table.ConfigPath(), home.ConfigHome() + "/Kestrune/config.ini");
    EXPECT_EQ(table.CurrentLanguage(), "Deutsch");
    EXPECT_EQ(&LanguageTable::Instance(), &table);
    LanguageTable::ResetInstance();
}

// --- The shipped language files ---

using Sections = std::map<std::string, std::map<std::string, std::string>>;

Sections ShippedLanguage(const std::string& name) {
    const std::string path = testing::SourceDir() + "/src/ui/Languages/" + name + ".ini";
    Sections sections;
    MergeLanguageTexts(ParseIni(IniTextToUtf8(Slurp(path))), sections);
    return sections;
}

// The printf conversions of a text, in order ("%c", "%d", "%s"; "%%" is no conversion).
std::vector<std::string> Conversions(const std::string& text) {
    std::vector<std::string> out;
    static const std::regex conversion("%(%|[-+ #0-9.]*(I64)?[a-zA-Z])");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), conversion);
         it != std::sregex_iterator(); ++it) {
        if (it->str() != "%%") out.push_back(it->str());
    }
    return out;
}

TEST(ShippedLanguages, EveryLanguageHasTheSameKeysAndFormats) {
    const Sections english = ShippedLanguage("English");
    ASSERT_FALSE(english.empty());
    for (const char* other : {"Deutsch"}) {
        const Sections translated = ShippedLanguage(other);
        ASSERT_EQ(translated.size(), english.size()) << other;
        for (const auto& [section, texts] : english) {
            ASSERT_TRUE(translated.count(section)) << other << " lacks [" << section << "]";
            const auto& theirs = translated.at(section);
            for (const auto& [key, text] : texts) {
                ASSERT_TRUE(theirs.count(key)) << other << " lacks " << section << "/" << key;
                EXPECT_FALSE(theirs.at(key).empty()) << other << " " << section << "/" << key;
                EXPECT_EQ(Conversions(theirs.at(key)), Conversions(text))
                    << other << " " << section << "/" << key;
            }
            EXPECT_EQ(theirs.size(), texts.size()) << other << " [" << section << "]";
        }
    }
}

TEST(ShippedLanguages, FormatsTakeTheValuesTheirCallersPass) {
    const Sections english = ShippedLanguage("English");
    const auto& m = english.at("Messages");
    using V = std::vector<std::string>;
    EXPECT_EQ(Conversions(m.at("MSG0701")), V{"%c"});
    EXPECT_EQ(Conversions(m.at("MSG0702")), V{"%d"});
    EXPECT_EQ(Conversions(m.at("MSG0802")), V{"%s"});
    EXPECT_EQ(Conversions(m.at("MSG1102")), (V{"%d", "%d", "%d", "%d"}));
    EXPECT_EQ(Conversions(m.at("MSG1201")), V{"%c"});
    EXPECT_EQ(Conversions(m.at("MSG1202")), V{"%d"});
    EXPECT_EQ(Conversions(m.at("MSG1203")), V{"%s"});
    EXPECT_EQ(Conversions(m.at("MSG0224")), V{"%s"});
    EXPECT_EQ(Conversions(m.at("MSG1230")), V{"%d"});
    // The results counts: the files listed, then the files and folders the scan found.
    EXPECT_EQ(Conversions(m.at("MSG1304")), (V{"%s", "%s"}));
    EXPECT_EQ(Conversions(m.at("MSG1305")), (V{"%s", "%s"}));
    // A number, a mode, a table kind or a path.
    const std::vector<std::string> oneText = {"MSG1303", "MSG1307", "MSG1321", "MSG1325",
                                              "MSG1326", "MSG1327", "MSG1328", "MSG1343"};
    for (const std::string& key : oneText) EXPECT_EQ(Conversions(m.at(key)), V{"%s"}) << key;
    // Every other message is shown as it is or followed by a value: no conversion at all.
    for (const auto& [key, text] : m) {
        static const std::set<std::string> formats = {"MSG0701", "MSG0702", "MSG0802", "MSG1102",
                                                      "MSG1201", "MSG1202", "MSG1203", "MSG0224",
                                                      "MSG1230", "MSG1304", "MSG1305"};
        if (!formats.count(key) &&
            std::find(oneText.begin(), oneText.end(), key) == oneText.end()) {
            EXPECT_TRUE(Conversions(text).empty()) << key;
        }
    }
}

}  // namespace
}  // namespace norvale
