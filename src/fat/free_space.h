#pragma once
// The free space of a FAT volume as its own allocation table states it. A saved scan of a
// partition is offered for resuming only while the volume's free space is unchanged, so the
// answer must come from the medium itself: an unmounted card has no file-system driver to ask.

#include <cstdint>

#include "device/result.h"

namespace norvale {

class SectorReader;

// Free bytes of the FAT volume at `partitionStartLba` (in the reader's sectors): the clusters
// whose FAT entry is 0, times the cluster size. `partitionSectors` (in the reader's sectors,
// 0 when unknown) bounds the clusters counted to what the partition holds. Returns
// kErrUnsupportedLayout when the first sector is not a FAT boot sector, the reader's error (or
// kErrReadFault) when the boot sector or a FAT sector cannot be read; `freeBytes` is then 0.
// Memory stays at one FAT window of at most 16 MiB whatever the volume's size.
Result CountFatFreeBytes(SectorReader& reader, uint64_t partitionStartLba,
                         uint64_t partitionSectors, uint64_t& freeBytes);

}  // namespace norvale
