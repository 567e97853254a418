#pragma once
// The free space by which a saved full scan is matched to its partition. It is read from the
// volume's own allocation map (the FAT, NTFS's $Bitmap: the registered file systems'
// countFreeBytes, in registration order), so any write to the card, mounted or not, makes a
// saved scan stale; a volume of another kind falls back to what the mounted file system reports.

#include <cstdint>

namespace norvale {

// Free bytes of the volume at `startLba` of disk `diskNumber`; 0 when nothing can tell.
uint64_t VolumeFreeBytesOnMedium(int diskNumber, uint64_t startLba);

}  // namespace norvale
