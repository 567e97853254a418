#include "ntfs/boot_sector.h"

#include <cstring>

#include "device/bytes.h"

namespace norvale {
namespace {

constexpr uint32_t kMaxClusterBytes = 2u << 20;  // what NTFS writers offer at most (2 MiB)

bool IsPowerOfTwo(uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

}  // namespace

uint32_t NtfsSectorsPerCluster(uint8_t value) {
    if (value >= 1 && value <= 0x80) return IsPowerOfTwo(value) ? value : 0;
    // Volumes with clusters above 64 KiB on 512-byte sectors store -log2(sectors per cluster).
    const int8_t exponent = static_cast<int8_t>(value);
    if (exponent >= -12 && exponent <= -8) return 1u << -exponent;
    return 0;
}

uint32_t NtfsStructureBytes(int8_t value, uint32_t clusterBytes) {
    if (value > 0) {
        const uint64_t bytes = uint64_t(uint8_t(value)) * clusterBytes;
        return bytes <= 0x80000000u ? static_cast<uint32_t>(bytes) : 0;
    }
    if (value < 0 && value >= -31 && value <= -8) return 1u << -value;
    return 0;
}

bool IsNtfsBootSector(std::span<const uint8_t> sector) {
    if (sector.size() < 512) return false;
    const uint8_t* s = sector.data();
    if (std::memcmp(s + 3, "NTFS    ", 8) != 0) return false;
    if (Le16(s + 0x0B) % 512 != 0) return false;
    if (Le16(s + 0x0E) != 0) return false;
    if (NtfsSectorsPerCluster(s[0x0D]) == 0) return false;
    if (Le64(s + 0x28) == 0) return false;
    for (size_t off : {0x10, 0x11, 0x12, 0x13, 0x14, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23}) {
        if (s[off] != 0) return false;
    }
    return s[0x1FE] == 0x55 && s[0x1FF] == 0xAA;
}

Result LoadNtfsGeometry(std::span<const uint8_t> bootSector, uint64_t partitionStartLba,
                        uint64_t partitionSectors, uint32_t deviceSectorSize, NtfsGeometry& out) {
    if (!IsNtfsBootSector(bootSector) || deviceSectorSize == 0) return kErrInvalidParameter;
    const uint8_t* s = bootSector.data();
    NtfsGeometry g;
    g.bytesPerSector = Le16(s + 0x0B) ? Le16(s + 0x0B) : 512;
    if (!IsPowerOfTwo(g.bytesPerSector) || g.bytesPerSector > 4096) return kErrInvalidParameter;
    g.sectorsPerCluster = NtfsSectorsPerCluster(s[0x0D]);
    const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * g.bytesPerSector;
    if (clusterBytes > kMaxClusterBytes) return kErrInvalidParameter;
    g.clusterBytes = static_cast<uint32_t>(clusterBytes);

    // The caller counts in the device's sectors; everything below counts in the volume's.
    const unsigned __int128 startByte = (unsigned __int128)partitionStartLba * deviceSectorSize;
    if (startByte % g.bytesPerSector != 0) return kErrInvalidParameter;
    g.partitionStartLba = static_cast<uint64_t>(startByte / g.bytesPerSector);
    g.partitionSectors = static_cast<uint64_t>((unsigned __int128)partitionSectors *
                                               deviceSectorSize / g.bytesPerSector);

    g.totalSectors = Le64(s + 0x28);
    g.totalClusters = g.totalSectors / g.sectorsPerCluster;
    g.mftLcn = Le64(s + 0x30);
    g.mftMirrorLcn = Le64(s + 0x38);
    if (g.mftLcn >= g.totalClusters) return kErrInvalidParameter;
    g.mftStartLba = g.partitionStartLba + g.mftLcn * g.sectorsPerCluster;

    const uint32_t recordBytes = NtfsStructureBytes(static_cast<int8_t>(s[0x40]), g.clusterBytes);
    if (IsPowerOfTwo(recordBytes) && recordBytes >= 512 && recordBytes <= 0x10000 &&
        recordBytes >= g.bytesPerSector) {
        g.recordBytes = recordBytes;
    } else {
        g.recordBytes = g.bytesPerSector == 512 ? 1024 : g.bytesPerSector;
    }
    g.sectorsPerRecord = g.recordBytes / g.bytesPerSector;
    // The MFT must begin inside the medium the volume lies on, however large the volume says
    // it is.
    if (g.partitionSectors != 0 &&
        (g.mftLcn > g.partitionSectors / g.sectorsPerCluster ||
         g.mftLcn * g.sectorsPerCluster + g.sectorsPerRecord > g.partitionSectors)) {
        return kErrInvalidParameter;
    }
    const uint32_t indexBytes = NtfsStructureBytes(static_cast<int8_t>(s[0x44]), g.clusterBytes);
    g.indexBlockBytes = IsPowerOfTwo(indexBytes) && indexBytes <= 0x10000 ? indexBytes : 4096;
    out = g;
    return kOk;
}

}  // namespace norvale
