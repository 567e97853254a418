#include "fat/boot_sector.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "device/bytes.h"
#include "device/volume_signature.h"

namespace norvale {
namespace {

constexpr size_t kBootSectorBytes = 512;
constexpr char kFat32Type[] = "FAT32   ";
constexpr size_t kTypeOffset = 0x52;

// Boot fields read through these so that a short buffer reads as zeros instead of past its end.
uint8_t Byte(std::span<const uint8_t> b, size_t off) {
    return off < b.size() ? b[off] : 0;
}
uint16_t Field16(std::span<const uint8_t> b, size_t off) {
    return off + 2 <= b.size() ? Le16(b.data() + off) : 0;
}
uint32_t Field32(std::span<const uint8_t> b, size_t off) {
    return off + 4 <= b.size() ? Le32(b.data() + off) : 0;
}

bool HasFat32Type(std::span<const uint8_t> b) {
    return kTypeOffset + 8 <= b.size() && std::memcmp(b.data() + kTypeOffset, kFat32Type, 8) == 0;
}

bool IsClusterSizePowerOfTwo(uint32_t spc) {
    return spc >= 1 && spc <= 128 && (spc & (spc - 1)) == 0;
}

bool HasSignature(std::span<const uint8_t> b) {
    return b[510] == 0x55 && b[511] == 0xAA;
}

bool Test16(std::span<const uint8_t> b) {
    return b[0x10] != 0 && (Field16(b, 0x13) != 0 || Field32(b, 0x20) != 0) &&
           IsClusterSizePowerOfTwo(b[0x0D]) && Field16(b, 0x16) >= 1 && HasSignature(b);
}

bool Test32(std::span<const uint8_t> b) {
    return HasFat32Type(b) && b[0x10] != 0 && Field32(b, 0x20) != 0 &&
           IsClusterSizePowerOfTwo(b[0x0D]) && Field32(b, 0x24) != 0 && HasSignature(b);
}

uint32_t ClampTo32(uint64_t v) {
    return static_cast<uint32_t>(std::min<uint64_t>(v, std::numeric_limits<uint32_t>::max()));
}

// Converts a sector count between sector sizes without overflowing on large counts.
uint64_t RescaleSectors(uint64_t sectors, uint32_t fromSize, uint32_t toSize) {
    if (fromSize == toSize) return sectors;
    return sectors / toSize * fromSize + sectors % toSize * fromSize / toSize;
}

// Highest cluster count each entry width can address before the reserved values begin.
uint32_t MaxClustersOf(FatKind kind) {
    switch (kind) {
        case FatKind::Fat12:
            return 0xFF5;
        case FatKind::Fat16:
            return 0xFFF5;
        case FatKind::Fat32:
            return 0x0FFFFFF5;
    }
    return 0;
}

uint64_t FatEntryCapacity(FatKind kind, uint64_t fatBytes) {
    switch (kind) {
        case FatKind::Fat12:
            return fatBytes * 2 / 3;
        case FatKind::Fat16:
            return fatBytes / 2;
        case FatKind::Fat32:
            return fatBytes / 4;
    }
    return 0;
}

}  // namespace

bool IsFatBootSector(std::span<const uint8_t> sector) {
    if (sector.size() < kBootSectorBytes) return false;
    const auto b = sector.first(kBootSectorBytes);
    if (IsBitLockerBootSector(b)) return false;

    const uint32_t bytesPerSector = Field16(b, 0x0B);
    const uint32_t sectorsPerCluster = b[0x0D];
    if (bytesPerSector == 0 || bytesPerSector % 512 != 0 || sectorsPerCluster == 0) return false;

    const uint32_t fatSize = Field16(b, 0x16) != 0 ? Field16(b, 0x16) : Field32(b, 0x24);
    const uint32_t totalSectors = Field32(b, 0x20) != 0 ? Field32(b, 0x20) : Field16(b, 0x13);
    // Unsigned 32-bit on purpose: a layout larger than the volume wraps to a huge count and is
    // refused as not FAT.
    const uint32_t clusters = (totalSectors - Field16(b, 0x11) * 32u / bytesPerSector -
                               b[0x10] * fatSize - Field16(b, 0x0E)) /
                              sectorsPerCluster;
    // FAT12 and FAT16 counts try the 16-bit layout first; a FAT32 count tries FAT32 first.
    if (clusters < 65525) return Test16(b) || Test32(b);
    if (clusters < 0x0FFFFFF0) return Test32(b) || Test16(b);
    return false;
}

FatGeometry LoadGeometry(std::span<const uint8_t> bootBlock, uint64_t partitionStartLba,
                         uint64_t partitionSectors, uint32_t deviceSectorSize) {
    const auto& b = bootBlock;
    FatGeometry g;
    g.partitionStartLba = partitionStartLba;

    const uint32_t deviceSize = deviceSectorSize != 0 ? deviceSectorSize : 512;
    const uint32_t bootSize = Field16(b, 0x0B);
    g.bytesPerSector =
        (bootSize != 0 && bootSize % 512 == 0 && bootSize <= 32768) ? bootSize : deviceSize;
    g.partitionSectors = RescaleSectors(partitionSectors, deviceSize, g.bytesPerSector);

    g.sectorsPerCluster = Byte(b, 0x0D);
    g.reservedSectors = Field16(b, 0x0E);
    g.numberOfFats = Byte(b, 0x10);
    g.totalSectors = Field32(b, 0x20) != 0 ? Field32(b, 0x20) : Field16(b, 0x13);
    g.isFat32 = HasFat32Type(b);
    g.fatStartLba = partitionStartLba + g.reservedSectors;
    g.clusterBytes = g.sectorsPerCluster * g.bytesPerSector;

    if (g.isFat32) {
        g.fatSectors = Field32(b, 0x24);
        g.rootDirSectors = 0;
        g.rootCluster = Field32(b, 0x2C);
    } else {
        g.fatSectors = Field16(b, 0x16);
        // The fixed root holds exactly the entry count the boot sector states; assuming a fixed
        // size would shift every cluster address of a volume formatted with another count.
        const uint32_t rootEntries = Field16(b, 0x11);
        g.rootDirSectors = (rootEntries * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
        g.rootCluster = 0;
    }
    g.dataStart = ClampTo32(uint64_t{g.reservedSectors} + uint64_t{g.numberOfFats} * g.fatSectors +
                            g.rootDirSectors);

    const uint64_t stated = (g.sectorsPerCluster != 0 && g.totalSectors > g.dataStart)
                                ? (g.totalSectors - g.dataStart) / g.sectorsPerCluster
                                : 0;
    // The width of the FAT entries follows from the cluster count alone, as every FAT driver
    // decides it; the type string is only a label (FAT32 aside, whose layout it selects).
    g.kind = g.isFat32 ? FatKind::Fat32 : (stated < 4085 ? FatKind::Fat12 : FatKind::Fat16);

    uint64_t count = std::min<uint64_t>(stated, MaxClustersOf(g.kind));
    const uint64_t capacity = FatEntryCapacity(g.kind, uint64_t{g.fatSectors} * g.bytesPerSector);
    count = std::min<uint64_t>(count, capacity > 2 ? capacity - 2 : 0);
    if (g.partitionSectors != 0) {
        const uint64_t fit = (g.sectorsPerCluster != 0 && g.partitionSectors > g.dataStart)
                                 ? (g.partitionSectors - g.dataStart) / g.sectorsPerCluster
                                 : 0;
        count = std::min(count, fit);
    }
    g.clusterCount = static_cast<uint32_t>(count);
    return g;
}

bool FatGeometryFitsMedium(const FatGeometry& g) {
    if (g.sectorsPerCluster == 0 || g.reservedSectors == 0 || g.numberOfFats == 0) return false;
    if (uint64_t{g.sectorsPerCluster} * g.bytesPerSector > kLargestFatClusterBytes) return false;
    const uint64_t dataStart =
        uint64_t{g.reservedSectors} + uint64_t{g.numberOfFats} * g.fatSectors + g.rootDirSectors;
    if (g.partitionSectors != 0 && dataStart + g.sectorsPerCluster > g.partitionSectors)
        return false;
    // Formatters size the FAT for the clusters the volume has, with a little to spare. A FAT
    // many times larger than its clusters need means the cluster size or the FAT size is not
    // the volume's (a cluster of 0x80 sectors written over one of 1): following it would put
    // every folder and file in the wrong place.
    const uint64_t stated =
        g.totalSectors > dataStart ? (g.totalSectors - dataStart) / g.sectorsPerCluster : 0;
    const uint64_t entriesPerSector = FatEntryCapacity(g.kind, g.bytesPerSector);
    if (entriesPerSector != 0) {
        const uint64_t neededSectors = (stated + 2 + entriesPerSector - 1) / entriesPerSector;
        if (uint64_t{g.fatSectors} > neededSectors * kFatOversizeFactor + kFatSpareSectors)
            return false;
    }
    // LoadGeometry bounds the count by the stated size, the FAT and the partition: a volume
    // with no cluster in it holds nothing to read.
    return g.clusterCount != 0;
}

uint64_t ClusterToLba(const FatGeometry& g, uint32_t cluster) {
    if (cluster == 0 && !g.isFat32) {
        return g.partitionStartLba + (g.dataStart - std::min(g.dataStart, g.rootDirSectors));
    }
    if (cluster < 2) return kNoLba;
    return g.partitionStartLba + g.dataStart + uint64_t{cluster - 2} * g.sectorsPerCluster;
}

uint64_t RootDirectoryLba(const FatGeometry& g) {
    return ClusterToLba(g, g.isFat32 ? g.rootCluster : 0);
}

uint32_t FixedRootBytes(const FatGeometry& g) {
    return g.isFat32 ? 0 : g.rootDirSectors * g.bytesPerSector;
}

}  // namespace norvale
