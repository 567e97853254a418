#include "fat/directory.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "device/bytes.h"
#include "engine/text_codec.h"

namespace norvale {
namespace {

// Code page 437, the OEM code page FAT short names are written in unless a system says
// otherwise; bytes 0x80-0xFF as Unicode.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Times of live files outside this range are taken as garbage rather than a directory entry.
constexpr uint64_t kEarliestPlausibleTime = 0x01B41E2A18D64000;  // 1990-01-01 00:00:00
constexpr uint64_t kLatestPlausibleTime = 0x01F7630BE39D8000;    // 2050-01-01 00:00:00

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// Where the 13 UTF-16 characters of a long-name entry lie.
constexpr size_t kLongNameCharOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr size_t kPiecesUnits = 13;
constexpr unsigned kMaxLongNamePieces = 20;  // 255 characters in pieces of 13
constexpr size_t kLongNameEnd = 260;

void AppendCp437(std::string& out, uint8_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    out += Utf16ToUtf8(std::u16string_view(&kCp437High[c - 0x80], 1));
}

// Length of a space-padded name field: cut at a NUL, trailing spaces dropped.
size_t FieldLength(const uint8_t* field, size_t width) {
    size_t n = std::find(field, field + width, uint8_t{0}) - field;
    while (n > 0 && field[n - 1] == ' ') --n;
    return n;
}

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// A DOS date and a time of day as FILETIME, 0 when they do not form a valid calendar time.
uint64_t ToFileTime(uint16_t date, unsigned hour, unsigned minute, unsigned second,
                    unsigned millis) {
    const unsigned year = 1980 + (date >> 9);
    const unsigned month = (date >> 5) & 0x0F;
    const unsigned day = date & 0x1F;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return 0;
    if (hour > 23 || minute > 59 || second > 59) return 0;
    const int64_t seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
                            second + kSecondsFrom1601To1970;
    return static_cast<uint64_t>(seconds) * kTicksPerSecond + uint64_t{millis} * 10'000;
}

uint64_t ToFileTime(uint16_t date, uint16_t time, unsigned extraSeconds, unsigned millis) {
    return ToFileTime(date, time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2 + extraSeconds,
                      millis);
}

bool InPlausibleRange(uint64_t t) {
    return t >= kEarliestPlausibleTime && t <= kLatestPlausibleTime;
}

// A zero creation stamp or access date means "not recorded", which the format allows and
// older drivers and some cameras write; only a recorded value that is no valid time counts
// against the entry.
bool CreationNotRecorded(DirEntryBytes e) {
    return Le16(&e[14]) == 0 && Le16(&e[16]) == 0;
}
bool AccessNotRecorded(DirEntryBytes e) {
    return Le16(&e[18]) == 0;
}

bool HasCreationTime(DirEntryBytes e) {
    return CreationNotRecorded(e) || DecodeEntryTimes(e).created != 0;
}

bool TimesPlausible(DirEntryBytes e) {
    const EntryTimes t = DecodeEntryTimes(e);
    if (!InPlausibleRange(t.modified)) return false;
    if (!CreationNotRecorded(e) && !InPlausibleRange(t.created)) return false;
    if (!AccessNotRecorded(e) && !InPlausibleRange(t.accessed)) return false;
    return true;
}

// A live entry starting with 0x05 stands for a name whose first byte really is 0xE5.
bool IsFirstByteEscape(DirEntryBytes e, size_t i) {
    return i == 0 && (e[0] == kEntryDeleted || e[0] == 0x05);
}

bool NameBytesPlausible(DirEntryBytes e) {
    static constexpr std::string_view kForbidden = "\\/:*?\"<>|.";
    for (size_t i = 0; i < 11; ++i) {
        if (IsFirstByteEscape(e, i)) continue;
        const uint8_t c = e[i];
        if (c < 0x20 || (c >= 'a' && c <= 'z')) return false;
        if (kForbidden.find(static_cast<char>(c)) != std::string_view::npos) return false;
    }
    return true;
}

// No character after padding inside a field: "AB C" is no name a driver writes.
bool PaddingOnlyAtEnd(const uint8_t* field, size_t width) {
    bool padded = false;
    for (size_t i = 0; i < width; ++i) {
        if (field[i] == ' ') {
            padded = true;
        } else if (padded) {
            return false;
        }
    }
    return true;
}

// Double-byte code pages put a lead byte >= 0x80 before each trail byte; a lone high byte
// in bytes 0-9 is noise.
bool HighBytesPaired(DirEntryBytes e) {
    size_t i = e[0] == kEntryDeleted ? 1 : 0;
    while (i <= 9) {
        if (e[i] >= 0x80) {
            if (e[i + 1] < 0x80) return false;
            i += 2;
        } else {
            ++i;
        }
    }
    return true;
}

bool ShortEntryLooksWritten(DirEntryBytes e) {
    if (e[11] != kAttrVolumeLabel && !HasCreationTime(e)) return false;
    for (size_t i = 0; i < 11; ++i) {
        if (IsFirstByteEscape(e, i)) continue;
        if (e[i] < 0x20 || e[i] == '.') return false;
    }
    // Volume labels are free text over all eleven bytes ("NIKON D750"); only names are padded.
    if (e[11] != kAttrVolumeLabel && !(PaddingOnlyAtEnd(&e[0], 8) && PaddingOnlyAtEnd(&e[8], 3))) {
        return false;
    }
    return HighBytesPaired(e);
}

// Every entry after a long-name piece must belong to the same name until its short entry,
// whose checksum must match unless deletion changed its first byte.
bool LongNameRunConsistent(std::span<const uint8_t> block, size_t first, size_t count) {
    const uint8_t checksum = EntryAt(block, first)[13];
    size_t pieces = 0;
    for (size_t j = first + 1; j < count; ++j) {
        const DirEntryBytes f = EntryAt(block, j);
        if (!IsPlausibleEntry(block.subspan(j * kDirEntryBytes))) return false;
        if (f[11] == kAttrLongName) {
            if (f[13] != checksum) return false;
            if (++pieces >= kMaxLongNamePieces) return true;
            continue;
        }
        return f[0] == kEntryDeleted || LfnChecksum(f) == checksum;
    }
    return true;
}

}  // namespace

ShortEntry DecodeShortEntry(DirEntryBytes entry) {
    ShortEntry s;
    std::copy_n(entry.begin(), 11, s.rawName.begin());
    s.attributes = entry[11];
    s.clusterHigh = Le16(&entry[20]);
    s.clusterLow = Le16(&entry[26]);
    s.fileSize = Le32(&entry[28]);
    return s;
}

std::string DecodeShortName(DirEntryBytes entry, bool asDirectory) {
    std::string out;
    auto append = [&](size_t i) {
        uint8_t c = entry[i];
        if (i == 0 && c == kEntryDeleted) {
            out += '!';
            return;
        }
        if (i == 0 && c == 0x05) c = kEntryDeleted;
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
        AppendCp437(out, c);
    };
    const size_t baseLength = FieldLength(&entry[0], 8);
    for (size_t i = 0; i < baseLength; ++i) append(i);
    if (!asDirectory && entry[8] != ' ') {
        const size_t extLength = FieldLength(&entry[8], 3);
        if (extLength > 0) {
            out += '.';
            for (size_t i = 8; i < 8 + extLength; ++i) append(i);
        }
    }
    return out;
}

uint8_t LfnChecksum(std::span<const uint8_t, 11> shortName) {
    uint8_t sum = 0;
    for (uint8_t c : shortName) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + c);
    return sum;
}

bool AssembleLongName(LongNameState& state, DirEntryBytes entry) {
    // 20 pieces hold the longest name the format allows (255 characters); a 21st is not a name.
    if (state.position < kPiecesUnits) return false;
    state.position -= kPiecesUnits;
    for (size_t k = 0; k < kPiecesUnits; ++k) {
        state.units[state.position + k] =
            static_cast<char16_t>(Le16(&entry[kLongNameCharOffsets[k]]));
    }
    return true;
}

bool HasLongName(const LongNameState& state) {
    return state.position < kLongNameEnd;
}

void DropLongName(LongNameState& state) {
    state.position = kLongNameEnd;
}

std::string TakeLongName(LongNameState& state) {
    const size_t start = std::min(state.position, kLongNameEnd);
    size_t end = start;
    while (end < kLongNameEnd && state.units[end] != 0) ++end;
    std::string name = Utf16ToUtf8(std::u16string_view(state.units.data() + start, end - start));
    state.position = kLongNameEnd;
    // The whole name: where it must be shortened (an item's name field, a destination's name
    // limit) the extension is kept, which a cut here would already have lost.
    return name;
}

EntryTimes DecodeEntryTimes(DirEntryBytes entry) {
    EntryTimes t;
    const unsigned hundredths = entry[13];
    t.created =
        ToFileTime(Le16(&entry[16]), Le16(&entry[14]), hundredths / 100, (hundredths % 100) * 10);
    t.accessed = ToFileTime(Le16(&entry[18]), 0, 0, 0, 0);
    t.modified = ToFileTime(Le16(&entry[24]), Le16(&entry[22]), 0, 0);
    return t;
}

bool IsDotEntryPair(std::span<const uint8_t> b) {
    if (b.size() < 2 * kDirEntryBytes) return false;
    return b[0] == '.' && (b[11] & kAttrDirectory) && Le32(&b[28]) == 0 && b[32] == '.' &&
           b[33] == '.' && (b[43] & kAttrDirectory) && Le32(&b[60]) == 0;
}

bool IsPlausibleEntry(std::span<const uint8_t> entryAndNext) {
    if (entryAndNext.size() < kDirEntryBytes) return false;
    if (IsDotEntryPair(entryAndNext)) return true;
    const DirEntryBytes e = EntryAt(entryAndNext, 0);
    const uint8_t attr = e[11];
    const uint32_t size = Le32(&e[28]);
    const uint16_t high = Le16(&e[20]);
    const uint16_t low = Le16(&e[26]);
    const bool deleted = e[0] == kEntryDeleted;
    const bool directory = (attr & kAttrDirectory) != 0;

    if (!directory && size == 0 && (high != 0 || low != 0)) return false;
    if (attr == kAttrVolumeLabel) {
        if (size != 0 || high != 0 || low != 0) return false;
    } else if ((attr & kAttrVolumeLabel) && attr != kAttrLongName) {
        return false;
    }
    if ((directory && (attr & kAttrReadOnly)) || attr >= 0x40) return false;

    if (attr == kAttrLongName) {
        if (!deleted && (e[0] & ~0x40) > kMaxLongNamePieces) return false;
    } else {
        if (!deleted && !directory && !TimesPlausible(e)) return false;
        if (attr != kAttrVolumeLabel && !NameBytesPlausible(e)) return false;
    }

    if (!deleted && directory && size != 0) return false;
    if (attr == kAttrLongName) return low == 0;
    return attr == kAttrVolumeLabel || (attr & (kAttrDirectory | kAttrArchive)) != 0;
}

bool IsFatStructureSector(std::span<const uint8_t> sector) {
    // The first sector of a subdirectory opens with "." and "..", names that the plausibility
    // test of ordinary entries refuses: it is tested on its own.
    return sector.size() >= kDirEntryBytes && (IsDotEntryPair(sector) || IsDirectoryBlock(sector));
}

bool IsDirectoryBlock(std::span<const uint8_t> block) {
    if (block.size() < kDirEntryBytes) return true;
    const size_t count = block.size() / kDirEntryBytes;
    for (size_t i = 0; i < count; ++i) {
        const DirEntryBytes e = EntryAt(block, i);
        if (e[0] == kEntryEnd) {
            // After the end marker a directory is all zeros; anything else is other data.
            if (i == 0) return false;
            const auto rest = block.subspan(i * kDirEntryBytes);
            return std::all_of(rest.begin(), rest.end(), [](uint8_t c) { return c == 0; });
        }
        if (!IsPlausibleEntry(block.subspan(i * kDirEntryBytes))) return false;
        if (std::memcmp(&e[1], &e[17], 14) == 0) return false;  // a repeating pattern
        if (e[11] == kAttrLongName) {
            if (!LongNameRunConsistent(block, i, count)) return false;
        } else if (!ShortEntryLooksWritten(e)) {
            return false;
        }
    }
    return true;
}

}  // namespace norvale
