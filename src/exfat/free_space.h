#pragma once
// The free space of an exFAT volume as its own allocation bitmap states it, for volumes no
// system has mounted: a saved scan is matched to its partition by the volume's free space.

#include <cstdint>

#include "device/result.h"

namespace norvale {

class SectorReader;

// Free bytes of the exFAT volume at `partitionStartLba` (`partitionSectors` long, 0 for up to
// the medium's end; both in the medium's sectors): heap clusters whose bitmap bit is clear, times
// the cluster size. Clusters a short bitmap does not cover count as used. kOk only for a valid
// exFAT volume whose bitmap was read; kErrUnsupportedLayout when there is no exFAT boot region
// or no bitmap, the read error when the medium fails; `bytes` is then 0. The bitmap is read in
// pieces: memory stays small whatever the volume's size.
Result CountExfatFreeBytes(SectorReader& reader, uint64_t startLba, uint64_t sectors,
                           uint64_t& bytes);

}  // namespace norvale
