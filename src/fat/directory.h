#pragma once
// FAT directory entries: decoding of 8.3 and long names, times, and the plausibility tests
// for one entry, for the start of a subdirectory and for a whole directory block.
// Pure functions over bytes. Entry functions take exactly 32 bytes; the block tests take any
// length and never read past it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace norvale {

inline constexpr size_t kDirEntryBytes = 32;
inline constexpr uint8_t kEntryEnd = 0x00;      // first byte: no more entries in this directory
inline constexpr uint8_t kEntryDeleted = 0xE5;  // first byte of a deleted entry
inline constexpr uint8_t kAttrReadOnly = 0x01;
inline constexpr uint8_t kAttrVolumeLabel = 0x08;
inline constexpr uint8_t kAttrLongName = 0x0F;
inline constexpr uint8_t kAttrDirectory = 0x10;
inline constexpr uint8_t kAttrArchive = 0x20;
// Flag in the sequence byte of the piece that holds the end of a long name (stored first).
inline constexpr uint8_t kLastLongNamePiece = 0x40;

using DirEntryBytes = std::span<const uint8_t, kDirEntryBytes>;

// Entry `index` of a block; the caller guarantees (index + 1) * 32 <= block.size().
inline DirEntryBytes EntryAt(std::span<const uint8_t> block, size_t index) {
    return DirEntryBytes(block.data() + index * kDirEntryBytes, kDirEntryBytes);
}

// The fields of a short (8.3) entry, undecoded.
struct ShortEntry {
    std::array<uint8_t, 11> rawName{};  // base name and extension, space padded
    uint8_t attributes = 0;
    uint16_t clusterHigh = 0;  // FAT32 only
    uint16_t clusterLow = 0;
    uint32_t fileSize = 0;

    bool IsDeleted() const { return rawName[0] == kEntryDeleted; }
    bool IsEnd() const { return rawName[0] == kEntryEnd; }
    bool IsLongName() const { return attributes == kAttrLongName; }
    bool IsDirectory() const { return !IsLongName() && (attributes & kAttrDirectory) != 0; }
    bool IsVolumeLabel() const { return attributes == kAttrVolumeLabel; }
    // The high word counts on FAT32 only; FAT12/16 keep other data there.
    uint32_t FirstCluster(bool fat32) const {
        return fat32 ? (uint32_t{clusterHigh} << 16) | clusterLow : clusterLow;
    }
};
ShortEntry DecodeShortEntry(DirEntryBytes entry);

// The 8.3 name as shown: trailing spaces dropped, "." and the extension for files only (a
// directory keeps its base name), ASCII letters lowered, other bytes read in code page 437
// and given as UTF-8. A first byte 0xE5 (deleted) shows as "!"; 0x05 stands for a real 0xE5.
std::string DecodeShortName(DirEntryBytes entry, bool asDirectory);

// The long-name checksum of the 11 name bytes of an 8.3 entry.
uint8_t LfnChecksum(std::span<const uint8_t, 11> shortName);
inline uint8_t LfnChecksum(DirEntryBytes entry) {
    return LfnChecksum(entry.first<11>());
}

// Collects the pieces of one long name in the order a directory walk meets them (last piece
// first). Sequence numbers and checksums are not used: deleted pieces have lost theirs.
struct LongNameState {
    std::array<char16_t, 261> units{};
    size_t position = 260;  // first unit of the name so far; 260 when nothing is pending
};
// The longest UTF-8 a long name can decode to: 260 units of three bytes each.
inline constexpr size_t kMaxLongNameBytes = 780;
// Adds one long-name entry. False when the name would exceed the 20 pieces the format allows;
// the pieces gathered so far stay pending.
bool AssembleLongName(LongNameState& state, DirEntryBytes entry);
bool HasLongName(const LongNameState& state);
// The whole pending name as UTF-8 (at most kMaxLongNameBytes, "" when none), and resets the
// state.
std::string TakeLongName(LongNameState& state);
void DropLongName(LongNameState& state);

// The three times of an entry as FILETIME values (100 ns since 1601-01-01), 0 for a field that
// does not form a valid calendar time. The on-disk times are local wall-clock times without a
// zone; they are kept as they are, as if they were UTC, so showing the value in UTC gives back
// the clock reading the camera or computer wrote.
struct EntryTimes {
    uint64_t created = 0;
    uint64_t accessed = 0;
    uint64_t modified = 0;
};
EntryTimes DecodeEntryTimes(DirEntryBytes entry);

// True when the entry at the start of `entryAndNext` could be a real directory entry. Up to 64
// bytes are read (the following entry decides whether a "." entry opens a subdirectory);
// fewer than 32 bytes give false.
bool IsPlausibleEntry(std::span<const uint8_t> entryAndNext);

// True when the first 64 bytes hold the "." and ".." entries that open every subdirectory.
bool IsDotEntryPair(std::span<const uint8_t> block);
// True when the buffer reads as a block of 32-byte directory entries (true below 32 bytes).
bool IsDirectoryBlock(std::span<const uint8_t> block);
// True for a sector of at least 32 bytes that opens a subdirectory or reads as a block of
// directory entries: what the full scan hands the folder rebuilder, and where a carved file
// ends.
bool IsFatStructureSector(std::span<const uint8_t> sector);

}  // namespace norvale
