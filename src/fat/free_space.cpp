#include "fat/free_space.h"

#include <algorithm>
#include <vector>

#include "device/sector_reader.h"
#include "fat/boot_sector.h"
#include "fat/fat_table.h"

namespace norvale {
namespace {

constexpr uint32_t kBootBlockBytes = 4096;

}  // namespace

Result CountFatFreeBytes(SectorReader& reader, uint64_t partitionStartLba,
                         uint64_t partitionSectors, uint64_t& freeBytes) {
    freeBytes = 0;
    if (!reader.IsOpen()) return kErrInvalidHandle;
    const uint32_t mediumSector = reader.MediumSectorSize();
    const uint32_t count = std::max<uint32_t>(1, kBootBlockBytes / mediumSector);
    std::vector<uint8_t> boot(size_t{count} * mediumSector);
    uint32_t got = 0;
    Result r = reader.ReadSectors(count, boot.data(), partitionStartLba, mediumSector, got);
    if (got == 0) return r != kOk ? r : kErrReadFault;
    boot.resize(size_t{got} * mediumSector);
    if (!IsFatBootSector(boot)) return kErrUnsupportedLayout;

    FatGeometry g = LoadGeometry(boot, partitionStartLba, partitionSectors, mediumSector);
    if (g.bytesPerSector != mediumSector) {
        // The volume counts its own sectors: restate the partition start in them.
        g = LoadGeometry(boot, partitionStartLba * mediumSector / g.bytesPerSector,
                         partitionSectors, mediumSector);
    }
    FatTable table(reader, g);
    if (r = table.Load(); r != kOk) return r;
    if (!table.HasWindow()) return kErrReadFault;  // no FAT to count

    uint64_t freeClusters = 0;
    for (uint32_t c = 2; IsDataCluster(g, c); ++c) {
        uint32_t value = 0;
        if (r = table.ReadFatEntry(c, value); r != kOk) return r;
        // FAT32 keeps four reserved bits above the entry; they do not make a cluster used.
        if ((g.kind == FatKind::Fat32 ? value & 0x0FFFFFFF : value) == 0) ++freeClusters;
    }
    freeBytes = freeClusters * g.clusterBytes;
    return kOk;
}

}  // namespace norvale
