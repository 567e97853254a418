#pragma once
// The NTFS boot-sector test detection asks (NTFS's probe in the file-system registry), and the
// volume geometry both NTFS engines work from. Pure functions over bytes; nothing reads the medium.

#include <cstdint>
#include <span>

#include "device/result.h"

namespace norvale {

// One volume's layout as its boot sector states it. Sector numbers are absolute LBAs counted
// in `bytesPerSector` units. The values come from the medium: LoadNtfsGeometry refuses the
// ones no NTFS writer produces, and none of them sizes an allocation.
struct NtfsGeometry {
    uint64_t partitionStartLba = 0;  // the volume's first sector on the device
    uint64_t partitionSectors = 0;   // sectors the partition or image holds (0: unknown)
    uint32_t bytesPerSector = 512;
    uint32_t sectorsPerCluster = 8;
    uint32_t clusterBytes = 4096;
    uint64_t totalSectors = 0;   // the volume's own size (boot sector 0x28)
    uint64_t totalClusters = 0;  // clusters the volume holds: any LCN at or past it is refused
    uint64_t mftLcn = 0;
    uint64_t mftMirrorLcn = 0;
    uint64_t mftStartLba = 0;  // sector of MFT record 0
    // MFT record size: from the boot sector's clusters-per-record byte when it gives a size
    // this reader can use (a power of two from 512 to 64 KiB, at least one sector), otherwise
    // two sectors on 512-byte sectors and one sector on larger ones.
    uint32_t recordBytes = 1024;
    uint32_t sectorsPerRecord = 2;
    uint32_t indexBlockBytes = 4096;  // size of an "INDX" block (informational)
};

// True when the first 512 bytes of `sector` are an NTFS boot sector: OEM id "NTFS    ", bytes
// per sector a multiple of 512 (0 allowed), no reserved sectors, a power-of-two cluster size
// (1 to 128 sectors, or the negative exponent form -8 .. -12 that volumes with clusters above
// 64 KiB use), a nonzero total-sector count, the FAT-only fields zero and the 0x55 0xAA
// signature. A buffer shorter than 512 bytes is refused.
bool IsNtfsBootSector(std::span<const uint8_t> sector);

// Sectors per cluster that a boot sector's byte at 0x0D stands for; 0 when it is not one of
// the values IsNtfsBootSector accepts.
uint32_t NtfsSectorsPerCluster(uint8_t value);

// Size in bytes that a clusters-per-record (0x40) or clusters-per-index-block (0x44) byte
// gives: positive values count clusters, negative ones are -log2 of the size. 0 when the byte
// gives no size (0, or an exponent outside 2^8 .. 2^31).
uint32_t NtfsStructureBytes(int8_t value, uint32_t clusterBytes);

// Fills `out` from the boot sector. `partitionStartLba` and `partitionSectors` count sectors
// of `deviceSectorSize` bytes; they are converted to the boot sector's sector size (bytes per
// sector 0 reads as 512). kErrInvalidParameter when the sector fails IsNtfsBootSector, when
// bytes per sector is not 512, 1024, 2048 or 4096, when the cluster is larger than 2 MiB, when
// the partition start is not a whole number of the volume's sectors, or when the MFT would
// begin past the volume's end or outside the partition (when its size is known); `out` is then
// left as it was.
Result LoadNtfsGeometry(std::span<const uint8_t> bootSector, uint64_t partitionStartLba,
                        uint64_t partitionSectors, uint32_t deviceSectorSize, NtfsGeometry& out);

}  // namespace norvale
