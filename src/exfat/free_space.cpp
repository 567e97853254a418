#include "exfat/free_space.h"

#include "exfat/exfat_volume.h"

namespace norvale {

Result CountExfatFreeBytes(SectorReader& reader, uint64_t startLba, uint64_t sectors,
                           uint64_t& bytes) {
    bytes = 0;
    ExfatVolume volume;
    if (Result r = volume.Open(reader, startLba, sectors); r != kOk) return r;
    uint64_t freeClusters = 0;
    if (Result r = volume.CountFreeClusters(freeClusters); r != kOk) return r;
    bytes = freeClusters * volume.Boot().ClusterBytes();
    return kOk;
}

}  // namespace norvale
