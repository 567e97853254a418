#pragma once
// Where a carved file ends when it carries no length of its own: at the first later sector that
// begins another recognisable file or holds a file-system structure.

#include <cstdint>

#include "carving/byte_search.h"
#include "carving/carving_context.h"
#include "carving/file_type.h"

namespace norvale {

// True for a sector of at least 32 bytes that holds a FAT/NTFS/exFAT boot sector, or a
// structure of a registered file system (its isStructureSector: an NTFS file record, index
// block, log restart page or "$STA..." attribute-definition name, a block of FAT directory
// entries). Shorter spans are never structures.
bool IsFileSystemMetadataSector(ByteSpan sector);

// Examines `chunk` one whole sector (context.sectorSize bytes) at a time, advancing the
// context's cursor LBA by one before each, so that detectors that read ahead read at the
// sector under test. At the first sector that a catalogue detector recognises, or that is a
// file-system structure, adds (its index * sector size) to `length` and returns true; returns
// false, with `length` unchanged, when the chunk holds no boundary. A trailing partial sector
// is not examined.
bool FindBoundary(ByteSpan chunk, uint64_t& length, CarvingContext& context);

// The same for streams whose own headers repeat all through the file (MPEG program streams,
// bare MPEG audio frames): a sector that the catalogue recognises as `ownType` first is not a
// boundary (it still is when it is a file-system structure).
bool FindBoundaryExcept(ByteSpan chunk, uint64_t& length, CarvingContext& context,
                        FileTypeCode ownType);
// FindBoundaryExcept for MPEG program and elementary streams.
bool FindBoundaryMpeg(ByteSpan chunk, uint64_t& length, CarvingContext& context);

}  // namespace norvale
