#include "device/rescue_map.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <limits>

namespace norvale {

namespace {

bool HasStatus(std::string_view statuses, BlockStatus s) {
    return statuses.find(static_cast<char>(s)) != std::string_view::npos;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Splits a line into at most `max` fields separated by blanks; a '#' starts a trailing comment.
// Returns the number of fields, or max + 1 when there are more.
size_t SplitFields(std::string_view line, std::string_view* fields, size_t max) {
    size_t n = 0;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsSpace(line[i])) ++i;
        if (i == line.size() || line[i] == '#') break;
        size_t start = i;
        while (i < line.size() && !IsSpace(line[i]) && line[i] != '#') ++i;
        if (n == max) return max + 1;
        fields[n++] = line.substr(start, i - start);
    }
    return n;
}

// A non-negative C integer literal: 0x hex, 0-prefixed octal or decimal, no sign.
bool ParseNumber(std::string_view s, uint64_t& value) {
    if (s.empty()) return false;
    unsigned base = 10;
    size_t i = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (s.size() > 1 && s[0] == '0') {
        base = 8;
        i = 1;
    }
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = unsigned(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = unsigned(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = unsigned(c - 'A' + 10);
        } else {
            return false;
        }
        if (digit >= base) return false;
        if (v > (std::numeric_limits<uint64_t>::max() - digit) / base) return false;
        v = v * base + digit;
    }
    value = v;
    return true;
}

bool Fail(MapParseError* error, size_t line, std::string message) {
    if (error) {
        error->line = line;
        error->message = std::move(message);
    }
    return false;
}

const char* StatusComment(char status) {
    switch (status) {
        case '?':
            return "# Copying non-tried blocks...";
        case '*':
            return "# Trimming failed blocks...";
        case '/':
            return "# Scraping failed blocks...";
        case '-':
            return "# Retrying bad sectors...";
        case 'F':
            return "# Filling specified blocks...";
        case 'G':
            return "# Generating approximate mapfile...";
        default:
            return "# Finished";
    }
}

}  // namespace

RescueMap::RescueMap(uint64_t size) {
    Append(size, BlockStatus::kNonTried);
}

void RescueMap::Append(uint64_t size, BlockStatus status) {
    if (size == 0) return;
    if (!blocks_.empty() && blocks_.back().status == status) {
        blocks_.back().size += size;
        return;
    }
    blocks_.push_back({Extent(), size, status});
}

void RescueMap::MergeAround(size_t first, size_t last) {
    // Merges equal neighbours among blocks[first - 1 .. last + 1].
    size_t lo = first > 0 ? first - 1 : 0;
    size_t hi = std::min(last + 1, blocks_.size() - 1);
    size_t out = lo;
    for (size_t i = lo + 1; i <= hi; ++i) {
        if (blocks_[i].status == blocks_[out].status) {
            blocks_[out].size += blocks_[i].size;
        } else {
            blocks_[++out] = blocks_[i];
        }
    }
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(out + 1),
                  blocks_.begin() + static_cast<std::ptrdiff_t>(hi + 1));
}

void RescueMap::SetStatus(uint64_t pos, uint64_t size, BlockStatus status) {
    const uint64_t extent = Extent();
    if (size == 0 || pos >= extent) return;
    const uint64_t end = size > extent - pos ? extent : pos + size;

    // The first block that ends after pos.
    auto first = std::upper_bound(blocks_.begin(), blocks_.end(), pos,
                                  [](uint64_t p, const MapBlock& b) { return p < b.End(); });
    if (first->status == status && first->End() >= end) return;
    if (first->pos == pos && end < first->End() && first != blocks_.begin() &&
        (first - 1)->status == status) {
        (first - 1)->size += end - pos;
        first->size -= end - pos;
        first->pos = end;
        return;
    }

    // The last block that starts before end.
    auto last = std::lower_bound(first, blocks_.end(), end,
                                 [](const MapBlock& b, uint64_t e) { return b.pos < e; }) -
                1;
    MapBlock replacement[3];
    size_t count = 0;
    if (first->pos < pos) replacement[count++] = {first->pos, pos - first->pos, first->status};
    replacement[count++] = {pos, end - pos, status};
    if (last->End() > end) replacement[count++] = {end, last->End() - end, last->status};

    const size_t index = static_cast<size_t>(first - blocks_.begin());
    const size_t replaced = static_cast<size_t>(last - first) + 1;
    if (replaced >= count) {
        std::copy(replacement, replacement + count, first);
        blocks_.erase(first + static_cast<std::ptrdiff_t>(count), last + 1);
    } else {
        std::copy(replacement, replacement + replaced, first);
        blocks_.insert(first + static_cast<std::ptrdiff_t>(replaced), replacement + replaced,
                       replacement + count);
    }
    MergeAround(index, index + count - 1);
}

void RescueMap::Resize(uint64_t size) {
    const uint64_t extent = Extent();
    if (size >= extent) {
        Append(size - extent, BlockStatus::kNonTried);
        return;
    }
    while (!blocks_.empty() && blocks_.back().pos >= size) blocks_.pop_back();
    if (!blocks_.empty()) blocks_.back().size = size - blocks_.back().pos;
    currentPos = std::min(currentPos, size);
}

bool RescueMap::NextArea(uint64_t from, std::string_view statuses, MapBlock& out) const {
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), from,
                               [](uint64_t p, const MapBlock& b) { return p < b.End(); });
    for (; it != blocks_.end(); ++it) {
        if (!HasStatus(statuses, it->status)) continue;
        const uint64_t start = std::max(from, it->pos);
        out = {start, it->End() - start, it->status};
        return true;
    }
    return false;
}

uint64_t RescueMap::BytesWith(std::string_view statuses) const {
    uint64_t total = 0;
    for (const MapBlock& b : blocks_)
        if (HasStatus(statuses, b.status)) total += b.size;
    return total;
}

uint64_t RescueMap::WrittenExtent() const {
    for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it)
        if (it->status != BlockStatus::kNonTried) return it->End();
    return 0;
}

bool ParseRescueMap(std::string_view text, RescueMap& out, MapParseError* error) {
    RescueMap map;
    bool haveStatusLine = false;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) nl = text.size();
        const std::string_view line = text.substr(start, nl - start);
        start = nl + 1;
        ++lineNumber;

        std::string_view f[3];
        const size_t n = SplitFields(line, f, 3);
        if (n == 0) continue;  // blank or comment
        if (n > 3) return Fail(error, lineNumber, "too many fields");

        if (!haveStatusLine) {
            // pos status [pass]
            if (n < 2) return Fail(error, lineNumber, "status line needs a position and status");
            uint64_t pos = 0;
            if (!ParseNumber(f[0], pos)) return Fail(error, lineNumber, "bad current position");
            if (f[1].size() != 1 || kCurrentStatusChars.find(f[1][0]) == std::string_view::npos)
                return Fail(error, lineNumber, "unknown current status");
            uint64_t pass = 1;
            if (n == 3 && (!ParseNumber(f[2], pass) || pass == 0 ||
                           pass > uint64_t(std::numeric_limits<int>::max())))
                return Fail(error, lineNumber, "bad pass number");
            map.currentPos = pos;
            map.currentStatus = f[1][0];
            map.currentPass = static_cast<int>(pass);
            haveStatusLine = true;
            continue;
        }

        if (n != 3) return Fail(error, lineNumber, "block line needs position, size and status");
        uint64_t pos = 0, size = 0;
        if (!ParseNumber(f[0], pos)) return Fail(error, lineNumber, "bad block position");
        if (!ParseNumber(f[1], size)) return Fail(error, lineNumber, "bad block size");
        if (f[2].size() != 1 || kBlockStatusChars.find(f[2][0]) == std::string_view::npos)
            return Fail(error, lineNumber, "unknown block status");
        if (size == 0) return Fail(error, lineNumber, "block of size 0");
        if (size > std::numeric_limits<uint64_t>::max() - pos)
            return Fail(error, lineNumber, "block reaches past the largest position");
        if (map.Blocks().empty()) {
            map.Append(pos, BlockStatus::kNonTried);  // nothing known before the first block
        } else if (pos != map.Extent()) {
            return Fail(error, lineNumber,
                        pos < map.Extent() ? "block overlaps the one before it"
                                           : "gap between this block and the one before it");
        }
        map.Append(size, static_cast<BlockStatus>(f[2][0]));
    }
    if (!haveStatusLine) return Fail(error, 0, "no status line");
    out = std::move(map);
    return true;
}

std::string FormatRescueMap(const RescueMap& map) {
    std::string text;
    text.reserve(256 + map.Blocks().size() * 32);
    text += "# Mapfile. Created by Norvale Card Data Recovery\n";
    text += StatusComment(map.currentStatus);
    text += "\n# current_pos  current_status  current_pass\n";
    char line[96];
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", map.currentPos,
                  map.currentStatus, map.currentPass);
    text += line;
    text += "#      pos        size  status\n";
    for (const MapBlock& b : map.Blocks()) {
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", b.pos, b.size,
                      static_cast<char>(b.status));
        text += line;
    }
    return text;
}

}  // namespace norvale
