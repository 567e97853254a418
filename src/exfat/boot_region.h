#pragma once
// exFAT volume geometry from the boot region, the boot-region checksum and the probe the
// file-system registry uses to recognise an exFAT volume. Pure functions over bytes.

#include <cstdint>
#include <span>

namespace norvale {

// Sectors of the main boot region: boot sector, 8 extended boot sectors, OEM parameters,
// reserved sector, checksum sector. The backup region follows with the same layout.
inline constexpr uint32_t kExfatBootRegionSectors = 12;
// Sectors the boot checksum covers (all but the checksum sector).
inline constexpr uint32_t kExfatChecksummedSectors = 11;
// Bytes of the volume the registry hands to IsExfatBootRegion.
inline constexpr uint32_t kExfatProbeBytes = 16 * 1024;

// The boot sector's fields. Sector numbers are relative to the volume's first sector and count
// sectors of BytesPerSector() bytes. ParseExfatBootSector only fills it from a sector it
// accepts, so every value is consistent with the volume length, but a caller still checks
// cluster numbers taken from elsewhere against clusterCount.
struct ExfatBootRegion {
    uint64_t volumeLength = 0;       // sectors
    uint32_t fatOffset = 0;          // sector of the first FAT
    uint32_t fatLength = 0;          // sectors of one FAT
    uint32_t clusterHeapOffset = 0;  // sector of cluster 2
    uint32_t clusterCount = 0;       // heap clusters: numbers 2 .. clusterCount + 1
    uint32_t rootCluster = 0;
    uint32_t volumeSerial = 0;
    uint16_t volumeFlags = 0;  // bit 0: second FAT active; bit 1: volume dirty
    uint8_t bytesPerSectorShift = 0;
    uint8_t sectorsPerClusterShift = 0;
    uint8_t numberOfFats = 0;
    uint8_t percentInUse = 0;  // 0xFF when unknown

    uint32_t BytesPerSector() const { return uint32_t{1} << bytesPerSectorShift; }
    uint32_t ClusterBytes() const {
        return uint32_t{1} << (bytesPerSectorShift + sectorsPerClusterShift);
    }
    // True for a cluster number of the heap (2 .. clusterCount + 1).
    bool IsHeapCluster(uint64_t cluster) const {
        return cluster >= 2 && cluster - 2 < clusterCount;
    }
    // Volume-relative sector of a heap cluster (>= 2); callers check IsHeapCluster first.
    uint64_t ClusterToSector(uint32_t cluster) const {
        return uint64_t{clusterHeapOffset} +
               (static_cast<uint64_t>(cluster - 2) << sectorsPerClusterShift);
    }
    // Volume-relative byte offset of a heap cluster (>= 2).
    uint64_t ClusterToByte(uint32_t cluster) const {
        return ClusterToSector(cluster) << bytesPerSectorShift;
    }
    // Sector of the FAT in use (the second one when VolumeFlags says so and there are two).
    uint64_t ActiveFatSector() const {
        return uint64_t{fatOffset} +
               ((volumeFlags & 1) && numberOfFats == 2 ? uint64_t{fatLength} : 0);
    }
};

// Parses the first sector of an exFAT volume (at least 512 bytes): the OEM name "EXFAT   ",
// the 53 zero bytes where FAT keeps its BIOS parameter block, the 0x55AA signature, sector
// shift 9..12 and a cluster of at most 32 MiB, one or two FATs inside the volume and before
// the heap, a cluster count the heap and the FAT can hold, and the root directory in the heap.
// `out` is written only when the sector is accepted.
bool ParseExfatBootSector(std::span<const uint8_t> sector, ExfatBootRegion& out);

// The boot checksum over the 11 sectors before the checksum sector, skipping VolumeFlags and
// PercentInUse (which change while the volume is in use). `firstElevenSectors` must hold at
// least 11 x bytesPerSector bytes; fewer give 0.
uint32_t ExfatBootChecksum(std::span<const uint8_t> firstElevenSectors, uint32_t bytesPerSector);

// The probe over a volume's first bytes (the registry hands 16 KiB): the boot sector parses
// and, when `bytes` covers the 12 sectors of the boot region, every 32-bit word of the checksum
// sector repeats the computed checksum. With 4 KiB sectors 16 KiB does not reach the checksum
// sector: the structural checks then stand alone.
bool IsExfatBootRegion(std::span<const uint8_t> bytes);

}  // namespace norvale
