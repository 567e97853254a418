#include "exfat/boot_region.h"

#include <cstring>

#include "device/bytes.h"

namespace norvale {
namespace {

constexpr uint32_t kLastClusterCount = 0xFFFFFFF5;  // cluster numbers above are FAT markers

}  // namespace

bool ParseExfatBootSector(std::span<const uint8_t> sector, ExfatBootRegion& out) {
    if (sector.size() < 512) return false;
    const uint8_t* p = sector.data();
    if (std::memcmp(p + 3, "EXFAT   ", 8) != 0) return false;
    for (int i = 11; i < 64; ++i) {
        if (p[i] != 0) return false;
    }
    if (p[510] != 0x55 || p[511] != 0xAA) return false;

    ExfatBootRegion b;
    b.volumeLength = Le64(p + 72);
    b.fatOffset = Le32(p + 80);
    b.fatLength = Le32(p + 84);
    b.clusterHeapOffset = Le32(p + 88);
    b.clusterCount = Le32(p + 92);
    b.rootCluster = Le32(p + 96);
    b.volumeSerial = Le32(p + 100);
    b.volumeFlags = Le16(p + 106);
    b.bytesPerSectorShift = p[108];
    b.sectorsPerClusterShift = p[109];
    b.numberOfFats = p[110];
    b.percentInUse = p[112];

    if (b.bytesPerSectorShift < 9 || b.bytesPerSectorShift > 12) return false;
    if (b.sectorsPerClusterShift > 25 - b.bytesPerSectorShift) return false;
    if (b.numberOfFats != 1 && b.numberOfFats != 2) return false;
    // A volume is at least 1 MiB; the FAT starts after the two boot regions.
    if (b.volumeLength < (uint64_t{1} << (20 - b.bytesPerSectorShift))) return false;
    if (b.fatOffset < 2 * kExfatBootRegionSectors || b.fatLength == 0) return false;
    const uint64_t fatsEnd = uint64_t{b.fatOffset} + uint64_t{b.fatLength} * b.numberOfFats;
    if (fatsEnd > b.clusterHeapOffset || b.clusterHeapOffset >= b.volumeLength) return false;
    if (b.clusterCount == 0 || b.clusterCount > kLastClusterCount) return false;
    const uint64_t heapClusters =
        (b.volumeLength - b.clusterHeapOffset) >> b.sectorsPerClusterShift;
    if (b.clusterCount > heapClusters) return false;
    // Each FAT has a 4-byte entry for clusters 0 .. clusterCount + 1.
    const uint64_t fatBytes = uint64_t{b.fatLength} << b.bytesPerSectorShift;
    if ((uint64_t{b.clusterCount} + 2) * 4 > fatBytes) return false;
    if (!b.IsHeapCluster(b.rootCluster)) return false;
    out = b;
    return true;
}

uint32_t ExfatBootChecksum(std::span<const uint8_t> firstElevenSectors, uint32_t bytesPerSector) {
    const uint64_t length = uint64_t{bytesPerSector} * kExfatChecksummedSectors;
    if (bytesPerSector == 0 || firstElevenSectors.size() < length) return 0;
    uint32_t sum = 0;
    for (uint64_t i = 0; i < length; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + firstElevenSectors[i];
    }
    return sum;
}

bool IsExfatBootRegion(std::span<const uint8_t> bytes) {
    ExfatBootRegion b;
    if (!ParseExfatBootSector(bytes, b)) return false;
    const uint32_t sectorBytes = b.BytesPerSector();
    const uint64_t regionBytes = uint64_t{sectorBytes} * kExfatBootRegionSectors;
    if (bytes.size() < regionBytes) return true;
    const uint32_t sum = ExfatBootChecksum(bytes, sectorBytes);
    const uint8_t* checksumSector = bytes.data() + uint64_t{sectorBytes} * kExfatChecksummedSectors;
    for (uint32_t i = 0; i < sectorBytes; i += 4) {
        if (Le32(checksumSector + i) != sum) return false;
    }
    return true;
}

}  // namespace norvale
