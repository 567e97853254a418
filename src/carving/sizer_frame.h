#pragma once
// The reading frame that the chunked sizers share. A sizer that cannot tell a file's length
// from its first sector reads the sectors after it, 64 KiB at a time, into the context's one
// work buffer; every chunk is reported to the scan progress callback (which may stop the
// sizer) and passes through the boundary scan, which ends the file at the next sector that
// begins another file or holds a file-system structure. The sizer looks for its own end marker
// in each chunk and stops as soon as it has a length.
//
// Lengths are 64-bit byte counts from the start of the file's first sector, which the detector
// already saw and which therefore counts from the start. Every length stays within the
// sizer's cap.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "carving/byte_search.h"
#include "carving/carving_context.h"
#include "carving/file_type.h"

namespace norvale {

inline constexpr uint64_t kCap128MiB = 0x8000000;
inline constexpr uint64_t kCap256MiB = 0x10000000;
inline constexpr uint64_t kCap1GiB = 0x40000000;
inline constexpr uint64_t kCap2GiB = 0x80000000;
inline constexpr uint64_t kCap4GiB = 0x100000000;
inline constexpr uint64_t kCap6GiB = 0x180000000;
inline constexpr uint64_t kCap64GiB = 0x1000000000;

// Bytes from the start of the candidate's first sector to the end of the medium; UINT64_MAX
// when there is no open source or it cannot tell its size.
uint64_t BytesToMediumEnd(CarvingContext& context);

// A length declared by a file's header, bounded by what the medium holds after the file's
// start: a header cannot make a carved file reach past the medium. A stated end past the
// medium's end clears the context's structureValid: the file is cut off.
uint64_t BoundByMedium(uint64_t length, CarvingContext& context);

// True when a footer of `footerBytes` bytes at `offset` of `data` (which begins on a sector
// boundary of the file) ends exactly on a sector boundary, or is followed by zero bytes up to
// the end of its sector. What `data` does not hold of that sector is not looked at.
bool IsZeroPaddedFooter(ByteSpan data, size_t offset, size_t footerBytes, uint32_t sectorSize);

// The end (offset just past it) of the first occurrence of `footer` in `data` that is zero
// padded as above, trying every occurrence in order; nothing when none qualifies.
std::optional<size_t> FirstZeroPaddedFooterEnd(ByteSpan data, std::string_view footer,
                                               uint32_t sectorSize);
// The same for the last qualifying occurrence.
std::optional<size_t> LastZeroPaddedFooterEnd(ByteSpan data, std::string_view footer,
                                              uint32_t sectorSize);

// Reads sectors from the candidate's start LBA into the front of the work buffer, as many as
// fit in it (65,536 / sector size) and the medium still holds. Returns the bytes read (whole
// sectors up to the first unreadable one); empty when nothing could be read. For sizers whose
// header structure may not fit in the first sector.
ByteSpan ReadFromFileStart(CarvingContext& context);

// One pass over the sectors after a candidate's first sector:
//
//   SizerFrame frame(context, kCap128MiB);
//   while (frame.Next()) {
//       if (footer found in frame.Chunk()) return frame.Clamp(frame.BytesBeforeChunk() + end);
//   }
//   return frame.Length();
//
// Next() ends the pass (answers false) when the previous chunk held a boundary, the cap is
// reached, the medium ends, a read fails (the sectors that arrived before the failure are
// still handed out as a last chunk), or the progress callback answers nonzero (its answer is
// left in context.lastProgressResult). A sector size that leaves no room for a chunk in the
// work buffer reads nothing: the file is its header sector.
class SizerFrame {
  public:
    // With `repeatingType`, sectors that the catalogue recognises as that type first do not
    // end the file: its own headers recur all through it.
    SizerFrame(CarvingContext& context, uint64_t cap,
               FileTypeCode repeatingType = FileTypeCode::kNoFileType);
    SizerFrame(const SizerFrame&) = delete;
    SizerFrame& operator=(const SizerFrame&) = delete;

    bool Next();

    // The chunk's bytes that belong to this file: all of it, or the sectors before the
    // boundary when it holds one. A footer found after a boundary belongs to a later file.
    ByteSpan Chunk() const;
    // Every sector read for this chunk, boundary or not.
    ByteSpan WholeChunk() const { return whole_; }
    // Offset in the file of the chunk's first byte.
    uint64_t BytesBeforeChunk() const { return bytesBeforeChunk_; }
    bool BoundaryHit() const { return boundaryHit_; }
    // The file's length so far: up to the boundary once one was found, else up to the end of
    // the last chunk handed out; never above the cap.
    uint64_t Length() const;
    uint64_t Clamp(uint64_t length) const { return length < cap_ ? length : cap_; }

  private:
    void ReportProgress();

    CarvingContext& context_;
    uint64_t cap_;
    FileTypeCode repeatingType_;
    uint32_t sectorSize_;
    uint32_t chunkSectors_ = 0;
    uint64_t budget_ = 0;         // sectors that may still be read
    uint64_t mediumSectors_ = 0;  // sectors after the header sector that the medium holds
    uint64_t sectorsRead_ = 0;
    uint64_t bytesBeforeChunk_;
    uint64_t length_;
    ByteSpan whole_;
    size_t boundaryOffset_ = 0;  // bytes of the chunk before the boundary sector
    bool boundaryHit_ = false;
    bool started_ = false;
    bool ended_ = false;
    bool lastChunk_ = false;  // a read failed part-way: nothing follows this chunk
};

// Sizing by a footer that must be zero padded: the first qualifying footer in the header
// sector, else the first in the first chunk that holds one; without one the file runs to its
// boundary.
uint64_t SizeByZeroPaddedFooter(ByteSpan sector, CarvingContext& context, std::string_view footer,
                                uint64_t cap);

// Looks for a file's end marker in `data`, which begins on a sector boundary of the file;
// answers the offset just past the file's end, or nothing.
using FindFileEnd = std::optional<size_t> (*)(ByteSpan data, uint32_t sectorSize);

// Sizing by an end marker searched chunk by chunk: the first chunk that holds one ends the
// file. A file small enough to end inside its header sector does so when the first chunk
// after it holds no later end. Without a marker the boundary ends the file.
uint64_t SizeByEndMarker(ByteSpan sector, CarvingContext& context, uint64_t cap,
                         FindFileEnd findEnd);

// The whole pass for types with no end marker: the file runs to the next boundary, the end of
// what can be read, or the cap.
uint64_t SizeToBoundary(CarvingContext& context, uint64_t cap);

}  // namespace norvale
