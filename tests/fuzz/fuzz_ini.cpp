// Configuration and language files: any bytes must parse without fault; the first text of a
// key wins; setting the active language rewrites only that entry and reads back as written.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "app/ini_text.h"
#include "app/language_table.h"

using namespace norvale;

namespace {

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

void CheckShape(const IniDocument& doc) {
    for (const IniSection& s : doc.sections) {
        if (HasLineBreak(s.name)) std::abort();
        for (const IniEntry& e : s.entries) {
            if (e.key.empty() || HasLineBreak(e.key) || HasLineBreak(e.value)) std::abort();
            if (!e.hasSeparator && !e.value.empty()) std::abort();
        }
    }
}

void CheckFirstKeyWins(const IniDocument& doc) {
    std::map<std::string, std::map<std::string, std::string>> merged;
    MergeLanguageTexts(doc, merged);
    for (const auto& [section, texts] : merged) {
        for (const auto& [key, text] : texts) {
            const IniEntry* first = nullptr;
            for (const IniSection& s : doc.sections) {
                if (s.name != section) continue;
                for (const IniEntry& e : s.entries) {
                    if (e.key == key) {
                        first = &e;
                        break;
                    }
                }
                if (first) break;
            }
            if (!first || first->Text() != text) std::abort();
        }
    }
}

// Sections other than [Default] keep their entries when the active language is written.
void CheckSetValue(std::string_view text, const IniDocument& before, std::string_view value) {
    const std::string after = SetIniValue(text, "Default", "DefaultLanguage", value);
    const IniDocument doc = ParseIni(after);
    CheckShape(doc);
    const auto read = IniValue(doc, "Default", "DefaultLanguage");
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    if (!read || (!quoted && *read != value)) std::abort();
    size_t j = 0;
    for (const IniSection& s : before.sections) {
        if (IniNamesEqual(s.name, "Default")) continue;
        while (j < doc.sections.size() && IniNamesEqual(doc.sections[j].name, "Default")) ++j;
        if (j >= doc.sections.size() || doc.sections[j].name != s.name ||
            doc.sections[j].entries.size() != s.entries.size())
            std::abort();
        for (size_t k = 0; k < s.entries.size(); ++k) {
            const IniEntry& a = s.entries[k];
            const IniEntry& b = doc.sections[j].entries[k];
            if (a.key != b.key || a.value != b.value || a.hasSeparator != b.hasSeparator)
                std::abort();
        }
        ++j;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = IniTextToUtf8(bytes);
    const IniDocument doc = ParseIni(text);
    CheckShape(doc);
    CheckFirstKeyWins(doc);

    // A language name taken from the input: its first line, without blanks at either end.
    std::string value(text.substr(0, std::min<size_t>(text.find_first_of("\r\n"), 40)));
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t' ||
                              value.front() == '\v' || value.front() == '\f'))
        value.erase(value.begin());
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\v' ||
                              value.back() == '\f'))
        value.pop_back();
    CheckSetValue(text, doc, value);
    return 0;
}
