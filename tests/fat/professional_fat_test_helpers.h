#pragma once
// Helpers of the professional FAT scanner tests: cards made with mkfs.fat and mtools that are
// then formatted or damaged, the sector pass the professional coordinator runs, and the
// engine's tree by path.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/sector_reader.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "fat/professional_fat_recovery.h"
#include "support/test_support.h"

namespace norvale::testing {

// A card image made by mkfs.fat and filled with mtools; remembers what it wrote, by path in
// lower case ("/dcim/100canon/img_0001.jpg"), which is how 8.3 names come back.
class FatCard {
  public:
    FatCard(const std::string& mkfsArgs, uint64_t sizeKiB);
    bool Put(const std::string& path, std::vector<uint8_t> bytes);
    bool Mkdir(const std::string& path);
    bool Del(const std::string& path);
    // Formats the image again in place (a quick format: the data area is left as it was).
    bool Reformat(const std::string& mkfsArgs);
    // A copy of the image at `path` (the written files are shared).
    bool CopyTo(const std::string& path) const;

    TempDir dir;
    std::string image;
    bool ok = false;
    std::map<std::string, std::vector<uint8_t>> written;  // deleted files are dropped
};

// Overwrites `count` 512-byte sectors of an image from `first` on with zeros.
void WipeSectors(const std::string& image, uint64_t first, uint64_t count);

// What the coordinator's pass reported.
struct ProPass {
    Result begin = kErrGenFailure;
    Result probe = kErrGenFailure;
    Result finish = kErrGenFailure;
    uint64_t dotSectors = 0;
    uint64_t directorySectors = 0;
};

// The pass CProfessionalRecovery runs: BeginScan, ProbeBootSector, then every sector of the
// source in order, read in 64 KiB chunks: OnDotSector when IsDotEntryPair holds, else
// OnDirectorySector when IsDirectoryBlock holds; then FinishScan.
ProPass RunProPass(CProfessionalFatRecovery& engine, SectorReader& source,
                   const char* logName = nullptr, uint64_t firstLba = 0,
                   uint64_t endLba = UINT64_MAX);

// Opens the image in a new engine and runs the pass into a new scan-log folder. Null when the
// image cannot be opened.
std::unique_ptr<CProfessionalFatRecovery> ProScanImage(const std::string& image,
                                                       ProPass* pass = nullptr);

// Every item the engine lists, by its path from the root ("LostFolder5/100canon/img_0001.jpg"),
// walking folders as the result tree does (children of a folder listed at its level + 1).
std::map<std::string, RecoveredItem> ListTreeOf(IFileRecoveryParse& engine);

// Recovers `item` to `path` and returns what was written there (empty on failure).
std::vector<uint8_t> RecoverItemBytes(IFileRecoveryParse& engine, const RecoveredItem& item,
                                      const std::string& path, Result* result = nullptr);

std::string Lower(std::string s);

// Directory entries made by hand, dated 2020-05-05 12:00 (a plausible time).
using EntryBytes = std::vector<uint8_t>;  // 32 bytes per entry, entries back to back
// An 8.3 entry; `name11` is the 11 space-padded name bytes ("FILE1   TXT").
EntryBytes ShortEntryOf(const char* name11, uint8_t attributes, uint32_t cluster, uint32_t size);
// "." and ".." opening a subdirectory at `self` whose parent is `parent` (0: the root).
EntryBytes DotPairOf(uint32_t self, uint32_t parent);
// The long-name pieces of `name` for the 8.3 entry `name11`, in on-disk order (last piece
// first); they go right before that entry.
EntryBytes LongNameOf(const std::string& name, const char* name11);
// A medium of `sectors` zeroed 512-byte sectors with `bytes` written at sector `lba`.
void PutAt(std::vector<uint8_t>& medium, uint64_t lba, const std::vector<uint8_t>& bytes,
           size_t offsetInSector = 0);
// A FAT32 boot sector of 512-byte sectors whose cluster 2 lies at `dataStart`.
std::vector<uint8_t> Fat32BootSector(uint32_t sectorsPerCluster, uint32_t dataStart,
                                     uint32_t totalSectors);

}  // namespace norvale::testing
