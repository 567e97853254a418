#pragma once
// The chunked read and write loops used by the image copier and the result store. All move in
// pieces of at most 64 KiB per system call.

#include <cstdint>
#include <span>
#include <string>

#include "device/result.h"
#include "device/sector_source.h"

namespace norvale {

// A read position on a source, for the copier's sequential reads.
struct SourceCursor {
    ISectorSource* source = nullptr;
    uint64_t position = 0;  // bytes
};

// Reads out.size() bytes of `source` at byte `offset` in pieces of at most 64 KiB. A failed
// piece or one that delivers nothing (the end of the source) ends the loop with 30; `got` is
// the number of bytes that arrived, also on failure.
Result ReadSourceBytes(ISectorSource& source, uint64_t offset, std::span<uint8_t> out, size_t& got);

// Reads count * sectorSize bytes from the cursor without a range check, advancing it by what
// arrived. A failed or empty piece ends with 30; sectorsRead = whole sectors that arrived.
// A sector size of 0, a null buffer with count > 0, or a request of 4 GiB or more is refused
// with 87 before any I/O (sectorsRead 0).
Result ReadAtCurrentPosition(uint32_t count, SourceCursor& cursor, void* buffer,
                             uint32_t sectorSize, uint32_t& sectorsRead);

// The same loop over a plain file descriptor at its current position.
Result ReadAtCurrentPosition(uint32_t count, int fd, void* buffer, uint32_t sectorSize,
                             uint32_t& sectorsRead);

// Writes count * sectorSize bytes, repeating partial writes. A failed write or one that writes
// nothing returns the system's error (29 when it gave none); sectorsWritten counts whole
// sectors written in both cases.
Result WriteSectors(int fd, const void* buffer, uint32_t sectorSize, uint32_t count,
                    uint32_t& sectorsWritten);

// Writes all `size` bytes at the current position, repeating partial writes (EINTR retried).
// A failed write returns the system's error, a write that takes nothing 29.
Result WriteAllBytes(int fd, const void* data, size_t size);

// Reads up to out.size() bytes at byte `offset` without moving the file position, repeating
// partial reads (EINTR retried). `got` < out.size() means the file ended there; a failed read
// returns the system's error with `got` holding what came before it.
Result PreadUpTo(int fd, uint64_t offset, std::span<uint8_t> out, size_t& got);

// Reads byteCount bytes from the current position in pieces of at most 64 KiB. 0 bytes asked
// gives 0 read and kOk; a failed or empty piece stops with 30 and the bytes read so far.
Result ReadWholeBytes(uint64_t byteCount, int fd, void* buffer, uint64_t& bytesRead);

// Size in bytes of the file or block device at `path` (opened read-only).
Result GetFileSize64(const std::string& path, uint64_t& size);

}  // namespace norvale
