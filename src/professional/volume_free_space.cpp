#include "professional/volume_free_space.h"

#include "device/disk_enumerator.h"
#include "device/sector_reader.h"
#include "engine/file_system_registry.h"

namespace norvale {

uint64_t VolumeFreeBytesOnMedium(int diskNumber, uint64_t startLba) {
    uint64_t bytes = 0;
    SectorReader reader;
    if (reader.OpenPhysicalDisk(diskNumber) == kOk) {
        const uint64_t sectors =
            reader.TotalSectors() > startLba ? reader.TotalSectors() - startLba : 0;
        // Each registered file system's reader refuses a volume of another kind.
        for (const FileSystemDescriptor& fs : RegisteredFileSystems()) {
            if (fs.countFreeBytes && fs.countFreeBytes(reader, startLba, sectors, bytes) == kOk)
                return bytes;
        }
    }
    return GetVolumeFreeBytesAt(diskNumber, startLba, bytes) == kOk ? bytes : 0;
}

}  // namespace norvale
