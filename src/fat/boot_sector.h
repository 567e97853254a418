#pragma once
// FAT volume geometry from the boot sector, the boot-sector test detection asks (FAT's probe in
// the file-system registry), and the cluster-to-sector arithmetic both FAT engines share.
// Everything here is a pure function over bytes; nothing reads the medium.

#include <cstdint>
#include <span>

namespace norvale {

// Width of the entries of the file allocation table.
enum class FatKind : uint8_t { Fat12, Fat16, Fat32 };

// One volume's layout. All sector numbers count sectors of `bytesPerSector` bytes. Values come
// from the medium and may be nonsense on a damaged volume: they never size an allocation and
// the sector reader refuses addresses past the medium.
struct FatGeometry {
    uint64_t partitionStartLba = 0;  // absolute LBA of the volume's first sector; 0 for an image
    uint64_t partitionSectors = 0;   // sectors of the partition or image (0 when unknown)
    uint32_t bytesPerSector = 512;
    uint32_t sectorsPerCluster = 0;
    uint32_t dataStart = 0;    // sector of cluster 2, relative to the partition start
    uint32_t rootCluster = 0;  // FAT32 root cluster; 0 on FAT12/16 (cluster 0 = the fixed root)
    bool isFat32 = false;      // FAT32 layout: chosen by the type string at 0x52 alone
    uint64_t fatStartLba = 0;  // absolute LBA of the first FAT copy, the only one read
    uint32_t clusterBytes = 0;

    FatKind kind = FatKind::Fat16;  // FAT12 or FAT16 by cluster count on the 16-bit layout
    uint32_t reservedSectors = 0;
    uint32_t numberOfFats = 0;
    uint32_t fatSectors = 0;      // sectors of one FAT copy
    uint32_t rootDirSectors = 0;  // the fixed root of FAT12/16 (entry count x 32, rounded up)
    uint32_t totalSectors =
        0;  // the volume size the boot sector states (32-bit field, else 16-bit)
    // Data clusters that exist: numbers 2 .. clusterCount + 1. Limited by what the boot sector
    // states, by what the FAT can describe and by what the partition holds, so any cluster
    // beyond it is a broken link, never a place to read.
    uint32_t clusterCount = 0;
};

// The LBA ClusterToLba gives for a cluster number that addresses nothing.
inline constexpr uint64_t kNoLba = ~uint64_t{0};

// True when the first 512 bytes of `sector` are a FAT12/16/32 boot sector. A BitLocker volume
// is refused first. A buffer shorter than 512 bytes is refused.
bool IsFatBootSector(std::span<const uint8_t> sector);

// Derives the geometry from the boot block (the partition's first bytes; fields missing from a
// short buffer read as 0). `partitionSectors` counts sectors of `deviceSectorSize` bytes; it is
// converted to the boot sector's sector size. The boot sector's bytes per sector replace the
// device's value only when they are a multiple of 512 up to 32768; `partitionStartLba` must be
// given in units of the resulting sector size (the two agree on every real medium). Never fails.
FatGeometry LoadGeometry(std::span<const uint8_t> bootBlock, uint64_t partitionStartLba,
                         uint64_t partitionSectors, uint32_t deviceSectorSize);

// Largest cluster any FAT driver writes (256 KiB, with 4 KiB sectors); a boot sector that
// states more cannot be right.
inline constexpr uint32_t kLargestFatClusterBytes = 256 * 1024;
// How much larger than its clusters need a FAT may be before the geometry is not believed.
inline constexpr uint64_t kFatOversizeFactor = 4;
inline constexpr uint64_t kFatSpareSectors = 16;

// True when the geometry can be that of a real volume on its medium: the cluster is not larger
// than kLargestFatClusterBytes, there are reserved sectors and FAT copies, and the FATs, the
// fixed root and at least one cluster fit in the partition (g.partitionSectors, when known).
// The FAT is not many times larger than the clusters need (kFatOversizeFactor). A boot sector
// with absurd fields (a FAT of 0xFFFFFFFF sectors, 255 copies, a cluster size written over
// another) fails it.
bool FatGeometryFitsMedium(const FatGeometry& g);

// Last cluster number of the data area (clusterCount + 1); 1 when the volume has no clusters.
inline uint32_t LastCluster(const FatGeometry& g) {
    return g.clusterCount + 1;
}
inline bool IsDataCluster(const FatGeometry& g, uint32_t cluster) {
    return cluster >= 2 && cluster <= LastCluster(g);
}

// Absolute LBA of `cluster`. On FAT12/16 cluster 0 is the fixed root directory. Cluster 1, and
// cluster 0 on FAT32, address nothing and give kNoLba. The arithmetic is 64-bit throughout, so
// a large cluster number never wraps back into the volume.
uint64_t ClusterToLba(const FatGeometry& g, uint32_t cluster);

// Where the root directory starts, and the size of the fixed FAT12/16 root in bytes (0 on FAT32,
// whose root is a cluster chain starting at rootCluster).
uint64_t RootDirectoryLba(const FatGeometry& g);
uint32_t FixedRootBytes(const FatGeometry& g);

}  // namespace norvale
