#pragma once
// LZNT1, the compression NTFS applies to the compression units of a compressed file. Pure
// function over bytes; the engines read a unit's stored clusters and decode them here.

#include <cstdint>
#include <span>

namespace norvale {

inline constexpr uint32_t kLznt1ChunkBytes = 4096;

// Decodes an LZNT1 stream (chunks of at most 4 KiB of output, each with its 2-byte header) into
// `out`, one 4 KiB slot per chunk; what a short chunk leaves of its slot stays as it was (callers
// pass zeroed output). The stream ends at a zero header, at its end, or when `out` is full.
// False when the stream is damaged: a chunk or back reference that would reach outside its
// bounds. Never reads outside `in` nor writes outside `out`.
bool DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace norvale
