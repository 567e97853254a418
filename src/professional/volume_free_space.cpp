#include "professional/volume_free_space.h"

#include "device/disk_enumerator.h"
#include "device/sector_reader.h"
#include "fat/free_space.h"
#include "ntfs/free_space.h"

namespace norvale {

uint64_t VolumeFreeBytesOnMedium(int diskNumber, uint64_t startLba) {
    uint64_t bytes = 0;
    SectorReader reader;
    if (reader.OpenPhysicalDisk(diskNumber) == kOk) {
        const uint64_t sectors =
            reader.TotalSectors() > startLba ? reader.TotalSectors() - startLba : 0;
        if (CountFatFreeBytes(reader, startLba, sectors, bytes) == kOk) return bytes;
        if (CountNtfsFreeBytes(reader, startLba, sectors, bytes) == kOk) return bytes;
    }
    return GetVolumeFreeBytesAt(diskNumber, startLba, bytes) == kOk ? bytes : 0;
}

}  // namespace norvale
