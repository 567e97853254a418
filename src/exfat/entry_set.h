#pragma once
// exFAT directory entries: the entry types, the file entry set (file, stream extension and
// file name entries) decoded into one ExfatFileEntry, the set checksum, timestamps, and the
// directory-block recogniser the full pass and the carver's boundaries use. Pure functions over
// bytes; nothing here reads the medium or follows a cluster.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace norvale {

inline constexpr size_t kExfatEntryBytes = 32;

// Entry types as the medium stores them. Bit 7 is the in-use bit: a deleted entry keeps its
// type with bit 7 clear (0x85 -> 0x05, 0xC0 -> 0x40, 0xC1 -> 0x41). 0x00 ends the directory.
inline constexpr uint8_t kExfatEndOfDirectory = 0x00;
inline constexpr uint8_t kExfatInUseBit = 0x80;
inline constexpr uint8_t kExfatSecondaryBit = 0x40;  // TypeCategory: secondary entry
inline constexpr uint8_t kExfatBenignBit = 0x20;     // TypeImportance: benign entry

inline constexpr uint8_t kExfatTypeBitmap = 0x81;
inline constexpr uint8_t kExfatTypeUpcase = 0x82;
inline constexpr uint8_t kExfatTypeLabel = 0x83;
inline constexpr uint8_t kExfatTypeFile = 0x85;
inline constexpr uint8_t kExfatTypeVolumeGuid = 0xA0;
inline constexpr uint8_t kExfatTypeTexfatPadding = 0xA1;
inline constexpr uint8_t kExfatTypeAccessControl = 0xA2;  // Windows CE access control table
inline constexpr uint8_t kExfatTypeStream = 0xC0;
inline constexpr uint8_t kExfatTypeName = 0xC1;
inline constexpr uint8_t kExfatTypeVendorExtension = 0xE0;
inline constexpr uint8_t kExfatTypeVendorAllocation = 0xE1;

inline constexpr uint8_t kExfatTypeDeletedFile = 0x05;
inline constexpr uint8_t kExfatTypeDeletedStream = 0x40;
inline constexpr uint8_t kExfatTypeDeletedName = 0x41;
inline constexpr uint8_t kExfatTypeEmptyLabel = 0x03;  // a label entry of a volume without label

// File attributes.
inline constexpr uint16_t kExfatAttrReadOnly = 0x01;
inline constexpr uint16_t kExfatAttrHidden = 0x02;
inline constexpr uint16_t kExfatAttrSystem = 0x04;
inline constexpr uint16_t kExfatAttrDirectory = 0x10;
inline constexpr uint16_t kExfatAttrArchive = 0x20;

// Stream extension flags.
inline constexpr uint8_t kExfatFlagAllocationPossible = 0x01;
inline constexpr uint8_t kExfatFlagNoFatChain = 0x02;

// Secondary entries of a file set: a stream extension plus 1..17 name entries.
inline constexpr uint8_t kExfatMinSecondaries = 2;
inline constexpr uint8_t kExfatMaxSecondaries = 18;
inline constexpr uint32_t kExfatNameCharsPerEntry = 15;
inline constexpr uint32_t kExfatMaxNameChars = 255;

// True for a type byte any exFAT directory may hold, in use or deleted (including 0x00).
bool IsKnownExfatEntryType(uint8_t type);

// The set checksum over `set` (whole 32-byte entries), skipping bytes 2-3 of the first entry
// where the checksum itself is kept. The bytes are taken as they are.
uint16_t EntrySetChecksum(std::span<const uint8_t> set);

// One file or folder as its entry set describes it.
struct ExfatFileEntry {
    bool deleted = false;
    bool isFolder = false;
    uint16_t attributes = 0;
    std::string name;  // UTF-8, the whole name
    uint64_t validDataLength = 0;
    uint64_t dataLength = 0;
    uint32_t firstCluster = 0;  // as stored: 0 for an empty file; not checked against the heap
    bool noFatChain = false;    // the clusters are contiguous from firstCluster
    uint64_t createdTime = 0, modifiedTime = 0, accessedTime = 0;  // FILETIME, UTC; 0 unknown
    uint8_t secondaryCount = 0;
};

enum class EntrySetStatus {
    kOk,
    kNotAFileEntry,      // the first entry is neither 0x85 nor 0x05
    kTruncated,          // the set runs past the bytes given
    kBadSecondaryCount,  // outside 2..18, or too few for the stream and name entries
    kBadChecksum,
    kBadName,     // no stream entry, NameLength 0, or more characters than the name entries
    kMixedState,  // some entries of the set in use, others deleted
};

// Decodes the file entry set at the start of `entries`, which runs to the end of what the caller
// holds (a cluster or a directory buffer). On kOk fills `out` and sets `entriesUsed` to the
// set's entries (1 + secondary count); on failure `entriesUsed` is 1 (skip the first entry and
// look again) and `out` is unspecified. The checksum of a deleted set is accepted both as the
// bytes stand and with the in-use bits set again: drivers that delete only clear the type's bit
// 7 and leave the checksum of the live set.
EntrySetStatus DecodeEntrySet(std::span<const uint8_t> entries, ExfatFileEntry& out,
                              size_t& entriesUsed);

// One set found in a directory block.
struct ExfatSetAt {
    ExfatFileEntry entry;
    size_t offset = 0;   // byte offset of the set's file entry in the block
    size_t entries = 0;  // entries the set spans (1 + secondary count)
};

// Every file entry set of `bytes` (whole directory clusters, or a directory read into one
// buffer), live and deleted, in the order they lie. Entries that start no valid set are passed
// over one at a time, so a damaged set hides nothing that follows it; the end-of-directory mark
// does not stop the walk (a directory's old entries may lie past it after a shrink or a
// format). A set cut off by the end of `bytes` is not reported: a caller that reads a directory
// cluster by cluster joins the clusters first.
std::vector<ExfatSetAt> DecodeDirectoryBlock(std::span<const uint8_t> bytes);

// A timestamp (local date and time, 2-second resolution), its 10 ms increment (0..199) and its
// UTC offset byte (bit 7: valid; bits 0-6: signed quarter hours east of UTC) as a FILETIME in
// UTC. Without a valid offset the time is taken as UTC. 0 for an impossible date or time.
uint64_t ExfatTimeToFileTime(uint32_t timestamp, uint8_t tenMsIncrement, uint8_t utcOffset);

// True when `sector` (512 bytes or more; whole entries only, a trailing part is ignored) is
// part of an exFAT directory: every entry's type byte is one exFAT knows, every end-of-directory
// entry is entirely zero, and at least one file entry set, in use or deleted, lies wholly inside
// with a valid checksum and a sound stream and name. Random and compressed data do not pass.
// A block in which every set straddles an edge (sets of long names are up to 608 bytes) is not
// recognised: where that matters, pass a larger block (a cluster).
bool IsExfatDirectorySector(std::span<const uint8_t> sector);

}  // namespace norvale
