#pragma once
// Signatures a volume's first sector carries that decide how it may be read at all, before any
// file system claims it. Pure functions over bytes: nothing here reads a medium.

#include <cstdint>
#include <span>

namespace norvale {

// True for the boot sector of a BitLocker-encrypted volume ("-FVE-FS-" signature or the
// BitLocker-To-Go marker at 0x1E0); such a volume is never read as FAT. Bytes missing from a
// short span never match.
bool IsBitLockerBootSector(std::span<const uint8_t> sector);

}  // namespace norvale
