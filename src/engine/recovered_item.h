#pragma once
// RecoveredItem: one found file or folder, exactly as it is stored in a scan's data file
// (346 bytes, packed, little-endian). The same bytes live in memory, in the log files and in
// the vectors the queries return, so this struct is a file format and is checked field by field.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace norvale {

enum EngineKind : int32_t {
    kEngineFastNtfs = 0,
    kEngineFastFat = 1,
    kEngineProfessionalNtfs = 2,
    kEngineProfessionalFat = 3,
    kEngineFileType = 4,
    kEngineFastExfat = 5,
    kEngineProfessionalExfat = 6,
};

// The name a found file's engine goes by in listings people and scripts read: "fat-deleted",
// "ntfs-deleted", "exfat-deleted", "fat-full", "ntfs-full", "exfat-full", "carved"; "unknown"
// for a value no engine writes (a damaged data file).
const char* EngineKindName(int32_t kind);

inline constexpr size_t kItemNameBytes = 260;

// The fields are unaligned: copy one into a local before binding a reference to it (gtest's
// EXPECT_EQ, std::min, emplace_back and set::insert all take references).
#pragma pack(push, 1)
struct RecoveredItem {
    uint16_t sourceTag;         // source tag: partition position number or image tag
    int32_t engineKind;         // EngineKind of the writer
    int32_t isFolder;           // 1 folder, 0 file
    int32_t isDeleted;          // 1 when the entry or a folder above it was deleted
    int32_t contentValid;       // 1 when the first data sector agrees with the extension
    int32_t recordIndex;        // 1-based position in the data file
    int32_t objectKey;          // first cluster, MFT record number; carved files: see below
    int32_t clusterBytes;       // bytes per cluster; -1 for carved files and lost folders
    uint64_t createdTime;       // FILETIME
    uint64_t accessedTime;      // FILETIME
    uint64_t modifiedTime;      // FILETIME
    uint64_t fileSize;          // bytes
    uint64_t dataAreaStart;     // FAT: first data sector relative to the partition start
                                // carved files: see below
    uint64_t location;          // sector of the entry / MFT record / carved start
    uint64_t partitionStart;    // LBA of the volume's first sector
    char name[kItemNameBytes];  // UTF-8, NUL-terminated

    // Carved files (engineKind kEngineFileType) found in two pieces: objectKey holds the
    // sectors of the first piece, which begins at `location`, and dataAreaStart the LBA where
    // the second piece begins; it holds the rest of fileSize. objectKey 0 (as every carved file
    // stored before had): one piece, dataAreaStart unused.

    std::string_view Name() const { return {name, ::strnlen(name, kItemNameBytes)}; }
    // Copies `n` into name as FitItemName shortens it; it always ends with a NUL.
    void SetName(std::string_view n);
};
#pragma pack(pop)

static_assert(sizeof(RecoveredItem) == 346);
static_assert(offsetof(RecoveredItem, sourceTag) == 0);
static_assert(offsetof(RecoveredItem, engineKind) == 2);
static_assert(offsetof(RecoveredItem, isFolder) == 6);
static_assert(offsetof(RecoveredItem, isDeleted) == 10);
static_assert(offsetof(RecoveredItem, contentValid) == 14);
static_assert(offsetof(RecoveredItem, recordIndex) == 18);
static_assert(offsetof(RecoveredItem, objectKey) == 22);
static_assert(offsetof(RecoveredItem, clusterBytes) == 26);
static_assert(offsetof(RecoveredItem, createdTime) == 30);
static_assert(offsetof(RecoveredItem, accessedTime) == 38);
static_assert(offsetof(RecoveredItem, modifiedTime) == 46);
static_assert(offsetof(RecoveredItem, fileSize) == 54);
static_assert(offsetof(RecoveredItem, dataAreaStart) == 62);
static_assert(offsetof(RecoveredItem, location) == 70);
static_assert(offsetof(RecoveredItem, partitionStart) == 78);
static_assert(offsetof(RecoveredItem, name) == 86);
static_assert(std::endian::native == std::endian::little, "the log format is little-endian");

#pragma pack(push, 1)
struct DirInfoEntry {
    int32_t folderKey;    // the folder's objectKey
    int32_t recordIndex;  // the folder's own record
    char name[kItemNameBytes];
};
#pragma pack(pop)
static_assert(sizeof(DirInfoEntry) == 268);
static_assert(offsetof(DirInfoEntry, recordIndex) == 4);
static_assert(offsetof(DirInfoEntry, name) == 8);

// A decoded name as the 260-byte name field can hold it: unchanged when it has at most 259
// bytes; otherwise the stem is cut at a UTF-8 character boundary and the extension (the last
// ".xxx", up to 32 bytes) is kept, so that the item's kind and the type filters still see it.
// A name without such an extension is cut at its end. Every engine's names go through here.
std::string FitItemName(std::string_view name);

// Copies `src` into a 260-byte name field as FitItemName shortens it: zero-filled, never half a
// character, always NUL-terminated.
void CopyItemName(char (&dst)[kItemNameBytes], std::string_view src);

}  // namespace norvale
