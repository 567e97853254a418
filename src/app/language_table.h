#pragma once
// The texts of the active language and the configuration that chooses it.
//
// config.ini (writable, in ConfigHome()) names the active language in [Default]
// DefaultLanguage (default "English") and offers languages in [Languages] as "name=display
// text". The language files are read-only INI files shipped with the program:
// <languages folder>/<name>.ini, one section per window ("MainWnd", "ScanWnd", "MessageBox",
// ...) and "Messages" for the message texts, each entry "control or message key=text".
//
// Every lookup succeeds: an absent section is created empty, an absent key is inserted with an
// empty text. Windows therefore show an empty string where a language file lacks a text.
//
// Thread safety: one table may be used from the user-interface thread and from worker threads
// at once; every access takes the table's lock. Sections live as long as their table: a reload
// (SetLanguage) empties and refills them in place, so a window may keep a section it took.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/ini_text.h"
#include "device/result.h"

namespace norvale {

class LanguageTable;

// One section's key -> text map (keys compared case-sensitively).
class TextSection {
  public:
    TextSection(const TextSection&) = delete;
    TextSection& operator=(const TextSection&) = delete;

    // The text of `key`; an absent key is inserted with an empty text, which is returned.
    std::string Text(const std::string& key);
    // A copy of the entries, in key order, for applying the section to a window.
    std::map<std::string, std::string> Entries() const;
    bool Contains(const std::string& key) const;
    const std::string& Name() const { return name_; }

  private:
    friend class LanguageTable;
    TextSection(std::string name, std::mutex* lock) : name_(std::move(name)), lock_(lock) {}

    std::string name_;
    std::mutex* lock_;  // the owning table's lock
    std::map<std::string, std::string> texts_;
};

struct OfferedLanguage {
    std::string name;         // the language file's base name
    std::string displayText;  // what the language menu shows
};

class LanguageTable {
  public:
    static constexpr const char* kDefaultLanguage = "English";
    // The language name is read into a buffer of 64 characters, terminator included.
    static constexpr size_t kMaxLanguageNameChars = 63;

    // A table over `configPath` (config.ini) and `languagesDir` (with or without trailing
    // "/"). Nothing is read until Load().
    LanguageTable(std::string configPath, std::string languagesDir);
    ~LanguageTable();
    LanguageTable(const LanguageTable&) = delete;
    LanguageTable& operator=(const LanguageTable&) = delete;

    // The process-wide table over ConfigFilePath() and LanguagesDirectory(), loaded on first
    // use.
    static LanguageTable& Instance();
    // Drops the process-wide table so the next Instance() loads again (tests). Sections taken
    // from the dropped table must no longer be used.
    static void ResetInstance();

    // Reads config.ini (active language, offered languages) and the active language file.
    void Load();

    // The section `name`, created empty when absent. Valid for the table's lifetime.
    TextSection& Section(const std::string& name);
    // Shorthand for Section(section).Text(key).
    std::string Text(const std::string& section, const std::string& key);

    // Writes `name` as DefaultLanguage into config.ini and reads the active language and its
    // texts again. A name that cannot name a language file or be written into config.ini
    // (see IsSafeLanguageName, or a line break) is refused with kErrInvalidParameter and
    // nothing changes; so is a config.ini that exists but cannot be read (kErrAccessDenied),
    // which is never replaced. A failed write returns its error and the texts are read again
    // from what config.ini holds.
    Result SetLanguage(const std::string& name);

    std::string CurrentLanguage() const;
    std::vector<OfferedLanguage> Languages() const;
    const std::string& ConfigPath() const { return configPath_; }
    const std::string& LanguagesDir() const { return languagesDir_; }
    // The file the active language's texts come from.
    std::string LanguageFilePath() const;

  private:
    void ReadCurrentLanguageLocked(const IniDocument& config);
    void LoadTextsLocked();

    const std::string configPath_;
    const std::string languagesDir_;  // always ends with "/"
    mutable std::mutex lock_;
    std::string current_;
    std::vector<OfferedLanguage> languages_;
    std::map<std::string, std::unique_ptr<TextSection>> sections_;
};

// Fills `sections` from a parsed language file: every entry of every section, the first text
// of a key winning over later ones (also across repeated sections of one name). Lines without
// "=" keep the whole line as key and text.
void MergeLanguageTexts(const IniDocument& doc,
                        std::map<std::string, std::map<std::string, std::string>>& sections);

// Whether `name` may name a language file: not empty, no "/", no byte 0, not "." or "..".
bool IsSafeLanguageName(const std::string& name);

// What a new config.ini holds: English active, the shipped languages offered.
const char* DefaultConfigText();
// Writes DefaultConfigText() to `path` (making its folder) when no file is there. kOk when the
// file exists or was written.
Result EnsureConfigFile(const std::string& path);

// Reads a small text file: regular files only (a FIFO or device given as a configuration file
// is not read) of at most `limit` bytes. Empty when it cannot be read or is larger.
std::optional<std::string> ReadSmallTextFile(const std::string& path, size_t limit = 4 << 20);
// Replaces `path` with `text` through "<path>.tmp" and a rename, making the folder first.
Result WriteTextFileReplacing(const std::string& path, const std::string& text);

}  // namespace norvale
