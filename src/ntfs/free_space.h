#pragma once
// The free space of an NTFS volume read from the volume itself (its $Bitmap), for volumes no
// system has mounted: a saved scan is matched to its partition by the volume's free space, and
// an unmounted volume has no free space the system could report.

#include <cstdint>

#include "device/result.h"

namespace norvale {

class SectorReader;

// Free bytes of the NTFS volume at `partitionStartLba` (`partitionSectors` long, 0 for up to the
// medium's end; both in the medium's sectors): clear bits of $Bitmap for the volume's clusters x
// cluster bytes. Clusters the bitmap does not cover count as used. kErrUnsupportedLayout when
// the partition holds no NTFS volume this reader can follow (boot sector, $MFT or $Bitmap), the
// read error when the medium fails. The bitmap is read in pieces: memory stays small whatever
// the volume's size.
Result CountNtfsFreeBytes(SectorReader& reader, uint64_t partitionStartLba,
                          uint64_t partitionSectors, uint64_t& freeBytes);

}  // namespace norvale
