#include "exfat/entry_set.h"

#include <algorithm>
#include <array>

#include "device/bytes.h"
#include "engine/text_codec.h"

namespace norvale {
namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kFileTimeEpochDays = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(unsigned y, unsigned m) {
    static constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30,
                                                       31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool InUse(uint8_t type) {
    return (type & kExfatInUseBit) != 0;
}

// The checksum of a set as its creator computed it: the bytes with every type's in-use bit set.
uint16_t LiveSetChecksum(std::span<const uint8_t> set) {
    uint16_t sum = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        uint8_t byte = set[i];
        if (i % kExfatEntryBytes == 0) byte |= kExfatInUseBit;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
    }
    return sum;
}

}  // namespace

bool IsKnownExfatEntryType(uint8_t type) {
    switch (type & ~kExfatInUseBit) {
        case kExfatEndOfDirectory:
            return type == kExfatEndOfDirectory;  // 0x80 is no entry type
        case kExfatTypeBitmap & 0x7F:
        case kExfatTypeUpcase & 0x7F:
        case kExfatTypeLabel & 0x7F:
        case kExfatTypeFile & 0x7F:
        case kExfatTypeVolumeGuid & 0x7F:
        case kExfatTypeTexfatPadding & 0x7F:
        case kExfatTypeAccessControl & 0x7F:
        case kExfatTypeStream & 0x7F:
        case kExfatTypeName & 0x7F:
        case kExfatTypeVendorExtension & 0x7F:
        case kExfatTypeVendorAllocation & 0x7F:
            return true;
        default:
            return false;
    }
}

uint16_t EntrySetChecksum(std::span<const uint8_t> set) {
    uint16_t sum = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    }
    return sum;
}

EntrySetStatus DecodeEntrySet(std::span<const uint8_t> entries, ExfatFileEntry& out,
                              size_t& entriesUsed) {
    entriesUsed = 1;
    if (entries.size() < kExfatEntryBytes) return EntrySetStatus::kTruncated;
    const uint8_t* primary = entries.data();
    if (primary[0] != kExfatTypeFile && primary[0] != kExfatTypeDeletedFile) {
        return EntrySetStatus::kNotAFileEntry;
    }
    const bool deleted = primary[0] == kExfatTypeDeletedFile;
    const uint8_t secondaries = primary[1];
    if (secondaries < kExfatMinSecondaries || secondaries > kExfatMaxSecondaries) {
        return EntrySetStatus::kBadSecondaryCount;
    }
    const size_t setBytes = (size_t{secondaries} + 1) * kExfatEntryBytes;
    if (setBytes > entries.size()) return EntrySetStatus::kTruncated;
    const std::span<const uint8_t> set = entries.first(setBytes);

    for (size_t i = 1; i <= secondaries; ++i) {
        const uint8_t type = set[i * kExfatEntryBytes];
        if (type == kExfatEndOfDirectory || (type & kExfatSecondaryBit) == 0) {
            return EntrySetStatus::kBadSecondaryCount;
        }
        if (InUse(type) == deleted) return EntrySetStatus::kMixedState;
    }

    const uint16_t stored = Le16(primary + 2);
    if (EntrySetChecksum(set) != stored && !(deleted && LiveSetChecksum(set) == stored)) {
        return EntrySetStatus::kBadChecksum;
    }

    const uint8_t* stream = primary + kExfatEntryBytes;
    if ((stream[0] | kExfatInUseBit) != kExfatTypeStream) return EntrySetStatus::kBadName;
    const uint32_t nameLength = stream[3];
    if (nameLength == 0) return EntrySetStatus::kBadName;
    const uint32_t nameEntries =
        (nameLength + kExfatNameCharsPerEntry - 1) / kExfatNameCharsPerEntry;
    if (nameEntries > uint32_t{secondaries} - 1) return EntrySetStatus::kBadName;
    std::u16string name;
    name.reserve(nameLength);
    for (uint32_t n = 0; n < nameEntries; ++n) {
        const uint8_t* e = primary + (2 + size_t{n}) * kExfatEntryBytes;
        if ((e[0] | kExfatInUseBit) != kExfatTypeName) return EntrySetStatus::kBadName;
        for (uint32_t c = 0; c < kExfatNameCharsPerEntry && name.size() < nameLength; ++c) {
            const auto ch = static_cast<char16_t>(Le16(e + 2 + 2 * c));
            if (ch == 0) return EntrySetStatus::kBadName;
            name.push_back(ch);
        }
    }

    ExfatFileEntry f;
    f.deleted = deleted;
    f.secondaryCount = secondaries;
    f.attributes = Le16(primary + 4);
    f.isFolder = (f.attributes & kExfatAttrDirectory) != 0;
    f.createdTime = ExfatTimeToFileTime(Le32(primary + 8), primary[20], primary[22]);
    f.modifiedTime = ExfatTimeToFileTime(Le32(primary + 12), primary[21], primary[23]);
    f.accessedTime = ExfatTimeToFileTime(Le32(primary + 16), 0, primary[24]);
    f.noFatChain = (stream[1] & kExfatFlagNoFatChain) != 0;
    f.dataLength = Le64(stream + 24);
    f.validDataLength = std::min(Le64(stream + 8), f.dataLength);
    f.firstCluster = Le32(stream + 20);
    f.name = Utf16ToUtf8(name);
    out = std::move(f);
    entriesUsed = size_t{secondaries} + 1;
    return EntrySetStatus::kOk;
}

std::vector<ExfatSetAt> DecodeDirectoryBlock(std::span<const uint8_t> bytes) {
    std::vector<ExfatSetAt> sets;
    const size_t count = bytes.size() / kExfatEntryBytes;
    for (size_t i = 0; i < count;) {
        const uint8_t type = bytes[i * kExfatEntryBytes];
        if (type != kExfatTypeFile && type != kExfatTypeDeletedFile) {
            ++i;
            continue;
        }
        ExfatSetAt found;
        size_t used = 1;
        const auto rest = bytes.subspan(i * kExfatEntryBytes, (count - i) * kExfatEntryBytes);
        if (DecodeEntrySet(rest, found.entry, used) == EntrySetStatus::kOk) {
            found.offset = i * kExfatEntryBytes;
            found.entries = used;
            sets.push_back(std::move(found));
        }
        i += used;
    }
    return sets;
}

uint64_t ExfatTimeToFileTime(uint32_t timestamp, uint8_t tenMsIncrement, uint8_t utcOffset) {
    const unsigned doubleSeconds = timestamp & 0x1F;
    const unsigned minute = (timestamp >> 5) & 0x3F;
    const unsigned hour = (timestamp >> 11) & 0x1F;
    const unsigned day = (timestamp >> 16) & 0x1F;
    const unsigned month = (timestamp >> 21) & 0x0F;
    const unsigned year = 1980 + (timestamp >> 25);
    if (doubleSeconds > 29 || minute > 59 || hour > 23 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month)) {
        return 0;
    }
    const int64_t days = DaysFromCivil(year, month, day) + kFileTimeEpochDays;
    int64_t seconds =
        days * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + int64_t{doubleSeconds} * 2;
    if (utcOffset & 0x80) {
        int offset = utcOffset & 0x7F;
        if (offset & 0x40) offset -= 0x80;
        seconds -= int64_t{offset} * 15 * 60;  // local = UTC + offset
    }
    uint64_t ticks = static_cast<uint64_t>(seconds) * kTicksPerSecond;
    if (tenMsIncrement <= 199) ticks += uint64_t{tenMsIncrement} * 100000;
    return ticks;
}

bool IsExfatDirectorySector(std::span<const uint8_t> sector) {
    if (sector.size() < 512) return false;
    const size_t count = sector.size() / kExfatEntryBytes;
    // Only a file entry makes a directory sector of it: most sectors of a medium (zeros, file
    // data) hold none, and are answered from the entries' first bytes alone.
    bool anyFile = false;
    for (size_t i = 0; i < count && !anyFile; ++i) {
        const uint8_t type = sector[i * kExfatEntryBytes];
        anyFile = type == kExfatTypeFile || type == kExfatTypeDeletedFile;
    }
    if (!anyFile) return false;
    bool foundSet = false;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = sector.data() + i * kExfatEntryBytes;
        if (!IsKnownExfatEntryType(e[0])) return false;
        if (e[0] == kExfatEndOfDirectory) {
            for (size_t b = 1; b < kExfatEntryBytes; ++b) {
                if (e[b] != 0) return false;
            }
            continue;
        }
        if (!foundSet && (e[0] == kExfatTypeFile || e[0] == kExfatTypeDeletedFile)) {
            ExfatFileEntry f;
            size_t used = 0;
            const auto rest = sector.subspan(i * kExfatEntryBytes, (count - i) * kExfatEntryBytes);
            // DecodeEntrySet cuts ValidDataLength to DataLength; a sound set needs no cutting.
            if (DecodeEntrySet(rest, f, used) == EntrySetStatus::kOk &&
                Le64(e + kExfatEntryBytes + 8) <= f.dataLength) {
                foundSet = true;
            }
        }
    }
    return foundSet;
}

}  // namespace norvale
