#pragma once
// Helpers of the FAT parser tests: volumes made by mkfs.fat and mtools, opened through the
// real sector reader, and a small directory lister built only on the parsers under test.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/sector_reader.h"
#include "fat/boot_sector.h"
#include "fat/directory.h"
#include "fat/fat_table.h"

namespace norvale::testing {

bool HaveFatTools();  // mkfs.fat, fsck.fat and the mtools commands the tests use

// Formats a new image of `sizeKiB` KiB at `path` with `mkfs.fat -C <args>`; false on failure.
bool MakeFatImage(const std::string& path, const std::string& mkfsArgs, uint64_t sizeKiB);
// Runs one mtools command (for example "mcopy -i IMG src ::/dst") with the checks mtools makes
// on geometry turned off and times taken as UTC; false when it fails.
bool Mtools(const std::string& command, std::string* output = nullptr);
// The cluster chain mtools reports for a file of the image, in chain order.
std::vector<uint32_t> MtoolsChain(const std::string& image, const std::string& path);

// A volume opened through the sector reader the engines use.
struct OpenedVolume {
    SectorReader reader;
    FatGeometry geometry;
    std::unique_ptr<FatTable> table;
};
std::unique_ptr<OpenedVolume> OpenVolume(std::unique_ptr<ISectorSource> source,
                                         uint32_t windowBytes = FatTable::kWindowBytes);
std::unique_ptr<OpenedVolume> OpenImage(const std::string& path,
                                        uint32_t windowBytes = FatTable::kWindowBytes);
std::unique_ptr<OpenedVolume> OpenBytes(std::vector<uint8_t> bytes,
                                        uint32_t windowBytes = FatTable::kWindowBytes);

// The bytes of the directory whose first cluster is `cluster` (0 = the fixed root of
// FAT12/16), its clusters followed through the FAT.
std::vector<uint8_t> ReadDirectory(OpenedVolume& v, uint32_t cluster);
std::vector<uint32_t> WalkChain(FatTable& table, uint32_t first);

struct ListedEntry {
    std::string name;  // long name when one precedes the entry, else the 8.3 name
    ShortEntry entry;
    EntryTimes times;
    uint32_t firstCluster = 0;
};
// The plausible file and folder entries of one directory (not "." and ".."), deleted ones
// included when asked.
std::vector<ListedEntry> ListDirectory(const std::vector<uint8_t>& bytes, bool fat32,
                                       bool withDeleted);

// Every entry below the root by path ("/DCIM/IMG_0001.JPG" shown as "/dcim/img_0001.jpg"),
// folders entered once each; deleted entries and the content of deleted folders when asked.
std::map<std::string, ListedEntry> ListTree(OpenedVolume& v, bool withDeleted);

// The first 4096 bytes of a file.
std::vector<uint8_t> ReadBootBlock(const std::string& path);

}  // namespace norvale::testing
