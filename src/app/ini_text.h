#pragma once
// INI text as the program's configuration and language files use it: "[section]" lines and
// "key=text" entries. Parsing and editing are pure functions over text, so damaged or hostile
// files are handled without touching the disk.
//
// Grammar (what the Windows profile functions accept, minus their buffer limits):
// - lines end with "\n", "\r\n" or "\r"; a UTF-8 byte-order mark is skipped, UTF-16 text with a
//   byte-order mark is read as such (see IniTextToUtf8);
// - spaces and tabs around a line, a key and a text are dropped;
// - empty lines and lines starting with ";" are comments;
// - "[name]" opens a section (the name runs to the last "]" of the line); a "[" line without
//   "]" is damaged and skipped; entries before the first section belong to none and are skipped;
// - "key=text" splits at the first "="; a line without "=" is an entry whose key is the whole
//   line; an entry with an empty key is skipped.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvale {

struct IniEntry {
    std::string key;
    std::string value;          // empty when the line has no "="
    bool hasSeparator = false;  // the line had a "="

    // The text of the entry as language files and the language list read it: the part after
    // "=", or the whole line when there is no "=".
    const std::string& Text() const { return hasSeparator ? value : key; }
};

struct IniSection {
    std::string name;
    std::vector<IniEntry> entries;  // in file order, duplicates kept
};

struct IniDocument {
    std::vector<IniSection> sections;  // in file order; a repeated header gives a second section
};

// Text of an INI file as UTF-8: drops a UTF-8 byte-order mark and converts UTF-16 (little or
// big endian, recognised by its byte-order mark) to UTF-8; anything else is returned as it is.
// Unpaired surrogates become U+FFFD.
std::string IniTextToUtf8(std::string_view bytes);

// Parses INI text (already UTF-8). Never fails: damaged lines are skipped.
IniDocument ParseIni(std::string_view text);

// Whether two section or key names are equal without regard to ASCII case, as the profile
// functions compare them in configuration files.
bool IniNamesEqual(std::string_view a, std::string_view b);

// A configuration value read the way the profile functions read it: the first entry named
// `key` (any case) with a "=" in the sections named `section` (any case), in file order, with
// one pair of matching surrounding quotes removed. Empty when there is none.
std::optional<std::string> IniValue(const IniDocument& doc, std::string_view section,
                                    std::string_view key);

// Returns `text` with `key`=`value` set in `section`, changing nothing else: the first such
// entry of the first such section is rewritten (keeping its key's spelling); else the entry is
// added after the section's last entry; else the section is appended. `value` must not hold a
// line break (callers check); the file's own line ending is kept.
std::string SetIniValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value);

}  // namespace norvale
