#include "cli/terminal_text.h"

#include <cstdint>
#include <cstdio>

namespace norvale::cli {
namespace {

void AppendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%0*x", prefix, digits, value);
    out += buf;
}

// Length of the valid UTF-8 sequence at `s[i]` and its code point; 0 when the bytes there
// are no such sequence (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut).
size_t Utf8SequenceAt(std::string_view s, size_t i, uint32_t& cp) {
    const auto b = [&](size_t k) { return static_cast<uint8_t>(s[i + k]); };
    const uint8_t lead = b(0);
    size_t len;
    uint32_t min;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::string TerminalText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        const size_t len = Utf8SequenceAt(s, i, cp);
        if (len == 0) {
            AppendHex(out, "\\x", static_cast<uint8_t>(s[i]), 2);
            ++i;
            continue;
        }
        if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp < 0x20 || cp == 0x7F) {
            AppendHex(out, "\\x", cp, 2);
        } else if (cp >= 0x80 && cp <= 0x9F) {
            AppendHex(out, "\\u", cp, 4);
        } else {
            out.append(s.substr(i, len));
        }
        i += len;
    }
    return out;
}

}  // namespace norvale::cli
