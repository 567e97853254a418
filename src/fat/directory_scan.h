#pragma once
// Reading loose directory sectors of a FAT volume whose tree can no longer be walked: the
// files and folders one block of entries names, whether it opens a subdirectory, where a long
// name runs off its end, and which sector can carry such a name on. Pure functions over bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fat/directory.h"

namespace norvale {

// One file or folder entry of a block ("." and ".." are not listed).
struct FoundDirEntry {
    size_t offset = 0;  // byte offset of the 8.3 entry inside the block
    std::string name;   // the long name when one precedes the entry, else the 8.3 name
    ShortEntry entry;
    bool isFolder = false;
};

struct DirectoryBlockScan {
    std::vector<FoundDirEntry> entries;  // in block order
    bool opensFolder = false;  // the block starts with the "." and ".." pair of a subdirectory
    uint32_t selfCluster = 0;  // the cluster the "." entry names, when it opens a folder
    bool startsWithVolumeLabel = false;  // the first sector of a root directory
    bool endMarker = false;              // an entry starting with 0x00 ended the directory
    // The block ends inside a long name: its pieces from tailOffset on still wait for their
    // 8.3 entry, which the directory's next sector holds.
    bool hasTail = false;
    size_t tailOffset = 0;
    uint8_t tailChecksum = 0;
};

// Walks the 32-byte entries of `block` as a directory walk does: implausible entries are
// skipped and drop a pending long name, long-name pieces are gathered, an entry starting with
// 0x00 ends the walk. Files are entries with the archive bit, folders entries with the
// directory bit; volume labels and entries without a name are left out.
DirectoryBlockScan ScanDirectoryBlock(std::span<const uint8_t> block);

// The first sector of a subdirectory as the scans test it before trusting its "..": "." and a
// space at 0, ".." at 32. The clusters are read with both words.
struct DotSectorInfo {
    bool opensFolder = false;
    bool volumeLabelFirst = false;  // the first entry is a volume label (a root directory)
    uint32_t selfCluster = 0;       // the "." entry's cluster
    uint32_t parentCluster = 0;     // the ".." entry's cluster (0: the root)
};
DotSectorInfo ReadDotSector(std::span<const uint8_t> sector);

// True when `sector` can carry on a long name whose pieces ended the previous sector with
// `checksum`: its first entry is a piece of the same name, or the 8.3 entry the name belongs
// to. A deleted first entry has lost what would tell; it is accepted only with `acceptDeleted`
// (the sector lies right after the name's pieces).
bool ContinuesLongName(std::span<const uint8_t> sector, uint8_t checksum, bool acceptDeleted);

// The checksum a sector's first entry offers to a long name cut off before it: the piece's
// checksum byte, or the checksum of a live 8.3 name. False when the first entry offers none.
bool LongNameLinkOf(std::span<const uint8_t> sector, uint8_t& checksum);

}  // namespace norvale
