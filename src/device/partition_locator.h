#pragma once
// Finds one partition in the partition table of a disk or a whole-disk image, for copying that
// partition alone out of a source the disk enumerator does not list (an image file, a loop
// device).

#include <cstdint>
#include <string>

#include "device/result.h"

namespace norvale {

struct PartitionExtent {
    uint64_t startLba = 0;     // in 512-byte sectors from the start of the disk
    uint64_t sectorCount = 0;  // in 512-byte sectors
};

// Partition `number` (numbered as the kernel numbers them: 1-4 primary, 5 on logical) of the
// MBR or GPT table at the start of `path`. kErrFileNotFound when the table has no such
// partition, kErrNotSupported when `path` holds no partition table, kErrInvalidParameter for an
// extended partition (a container, not a volume).
Result FindPartitionInTable(const std::string& path, int number, PartitionExtent& out);

}  // namespace norvale
