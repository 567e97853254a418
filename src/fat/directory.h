#pragma once
// FAT directory entries: decoding of 8.3 and long names, times, and the plausibility tests
// for one entry, for the start of a subdirectory and for a whole directory block.

#include <cstdint>
#include <span>

namespace norvale {

// True when the first 64 bytes hold the "." and ".." entries that open every subdirectory.
bool IsDotEntryPair(std::span<const uint8_t> block);
// True when the buffer reads as a block of 32-byte directory entries (true below 32 bytes).
bool IsDirectoryBlock(std::span<const uint8_t> block);

}  // namespace norvale
