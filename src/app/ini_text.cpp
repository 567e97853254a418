#include "app/ini_text.h"

#include <cstdint>

namespace norvale {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// One line of the text: [begin, end) without its line break, `next` where the following line
// starts.
struct LineSpan {
    size_t begin = 0;
    size_t end = 0;
    size_t next = 0;
};

// Cuts the line starting at `pos`; "\r\n", "\n" and a lone "\r" all end a line.
LineSpan NextLine(std::string_view text, size_t pos) {
    LineSpan line{pos, pos, pos};
    size_t i = pos;
    while (i < text.size() && text[i] != '\n' && text[i] != '\r') ++i;
    line.end = i;
    if (i < text.size()) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            i += 2;
        else
            i += 1;
    }
    line.next = i;
    return line;
}

enum class LineKind { kSkip, kHeader, kEntry };

struct ClassifiedLine {
    LineKind kind = LineKind::kSkip;
    std::string_view name;  // section name of a header
    std::string_view key;
    std::string_view value;
    bool hasSeparator = false;
};

ClassifiedLine Classify(std::string_view raw) {
    ClassifiedLine out;
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';') return out;
    if (line.front() == '[') {
        const size_t close = line.rfind(']');
        if (close == 0 || close == std::string_view::npos) return out;  // damaged header
        out.kind = LineKind::kHeader;
        out.name = Trim(line.substr(1, close - 1));
        return out;
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        out.key = line;
    } else {
        out.key = Trim(line.substr(0, eq));
        out.value = Trim(line.substr(eq + 1));
        out.hasSeparator = true;
    }
    if (out.key.empty()) return out;
    out.kind = LineKind::kEntry;
    return out;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size());
    const size_t units = bytes.size() / 2;
    auto unitAt = [&](size_t i) -> uint32_t {
        const auto b0 = uint8_t(bytes[2 * i]);
        const auto b1 = uint8_t(bytes[2 * i + 1]);
        return bigEndian ? (uint32_t(b0) << 8 | b1) : (uint32_t(b1) << 8 | b0);
    };
    constexpr uint32_t kReplacement = 0xFFFD;
    for (size_t i = 0; i < units; ++i) {
        const uint32_t u = unitAt(i);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < units) {
                const uint32_t low = unitAt(i + 1);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
            AppendUtf8(out, kReplacement);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::string_view LineEnding(std::string_view text) {
    return text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
}

bool EndsWithLineBreak(std::string_view text) {
    return !text.empty() && (text.back() == '\n' || text.back() == '\r');
}

}  // namespace

std::string IniTextToUtf8(std::string_view bytes) {
    if (bytes.size() >= 3 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB &&
        uint8_t(bytes[2]) == 0xBF)
        return std::string(bytes.substr(3));
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE)
        return Utf16ToUtf8(bytes.substr(2), false);
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFE && uint8_t(bytes[1]) == 0xFF)
        return Utf16ToUtf8(bytes.substr(2), true);
    return std::string(bytes);
}

IniDocument ParseIni(std::string_view text) {
    IniDocument doc;
    IniSection* current = nullptr;
    for (size_t pos = 0; pos < text.size();) {
        const LineSpan span = NextLine(text, pos);
        pos = span.next;
        const ClassifiedLine line = Classify(text.substr(span.begin, span.end - span.begin));
        if (line.kind == LineKind::kHeader) {
            doc.sections.push_back(IniSection{std::string(line.name), {}});
            current = &doc.sections.back();
        } else if (line.kind == LineKind::kEntry && current) {
            current->entries.push_back(
                IniEntry{std::string(line.key), std::string(line.value), line.hasSeparator});
        }
    }
    return doc;
}

bool IniNamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

std::optional<std::string> IniValue(const IniDocument& doc, std::string_view section,
                                    std::string_view key) {
    for (const IniSection& s : doc.sections) {
        if (!IniNamesEqual(s.name, section)) continue;
        for (const IniEntry& e : s.entries) {
            if (!e.hasSeparator || !IniNamesEqual(e.key, key)) continue;
            std::string_view v = e.value;
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            return std::string(v);
        }
    }
    return std::nullopt;
}

std::string SetIniValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value) {
    const std::string_view eol = LineEnding(text);
    bool inTarget = false;
    bool targetSeen = false;
    size_t insertAt = std::string_view::npos;  // just after the target section's last line

    for (size_t pos = 0; pos < text.size();) {
        const LineSpan span = NextLine(text, pos);
        pos = span.next;
        const ClassifiedLine line = Classify(text.substr(span.begin, span.end - span.begin));
        if (line.kind == LineKind::kHeader) {
            if (inTarget) break;
            if (!targetSeen && IniNamesEqual(line.name, section)) {
                inTarget = targetSeen = true;
                insertAt = span.next;
            }
            continue;
        }
        if (!inTarget || line.kind != LineKind::kEntry) continue;
        insertAt = span.next;
        if (line.hasSeparator && IniNamesEqual(line.key, key)) {
            std::string out(text.substr(0, span.begin));
            // Keep the line's indentation and its key's spelling; only the text changes.
            const size_t keyOffset = size_t(line.key.data() - text.data());
            out.append(text.substr(span.begin, keyOffset - span.begin));
            out.append(line.key).append("=").append(value);
            out.append(text.substr(span.end));
            return out;
        }
    }

    const std::string entry = std::string(key) + "=" + std::string(value) + std::string(eol);
    if (targetSeen) {
        std::string out(text.substr(0, insertAt));
        if (!out.empty() && !EndsWithLineBreak(out)) out.append(eol);
        out.append(entry);
        out.append(text.substr(insertAt));
        return out;
    }
    std::string out(text);
    if (!out.empty()) {
        if (!EndsWithLineBreak(out)) out.append(eol);
        out.append(eol);
    }
    out.append("[").append(section).append("]").append(eol).append(entry);
    return out;
}

}  // namespace norvale
