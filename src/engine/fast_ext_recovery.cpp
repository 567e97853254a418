#include "engine/fast_ext_recovery.h"

namespace norvale {

Result CFastExtRecovery::OpenImage(const std::string&, uint16_t) {
    return kOk;
}

Result CFastExtRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                  uint64_t partitionSectorCount, uint16_t) {
    disk_.Close();
    Result r = disk_.OpenPhysicalDisk(diskNumber);
    partitionStartLba_ = partitionStartLba;
    partitionSectorCount_ = partitionSectorCount;
    return r;
}

}  // namespace norvale
