#pragma once
// FileWindow: random access to a candidate file's bytes, by offset from its first byte, for
// sizers that walk the file's own structure (boxes, chunks, tags, objects, pages) or read it
// through once (a deflate stream, a JPEG's entropy-coded data).
//
// Bytes the caller's pass already holds (the context's held span) are served from there; the
// rest is read through the context's reader, a window of whole sectors at a time, into the
// context's window buffer. A walk that jumps from header to header reads only the windows it
// lands in, and a walk that goes forward reads each sector once. Nothing is read at or past the
// limit: the cap the sizer gives, bounded by the medium's end. Long reads report to the scan
// progress callback like the chunked sizers; once it asks to stop, every later view is empty.
//
// Views are valid until the next call on the window. Offsets and lengths are 64-bit and every
// sum is checked, so a walk may feed sizes straight from the file into them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "carving/byte_search.h"
#include "carving/carving_context.h"

namespace norvale {

class FileWindow {
  public:
    // The most bytes one view gives.
    static constexpr size_t kMaxView = kCarvingWorkBufferBytes / 2;

    // `sector` is the candidate's first sector as its detector saw it.
    FileWindow(ByteSpan sector, CarvingContext& context, uint64_t cap);
    FileWindow(const FileWindow&) = delete;
    FileWindow& operator=(const FileWindow&) = delete;

    // Bytes from the file's start that may be read: the cap, or less where the medium ends.
    uint64_t Limit() const { return limit_; }

    // Up to `n` (at most kMaxView) bytes at `offset`: fewer where the limit or a failed read
    // cuts them short, none at or past either.
    ByteSpan View(uint64_t offset, size_t n);
    // Exactly out.size() bytes at `offset` (any size), or false.
    bool Read(uint64_t offset, std::span<uint8_t> out);

    std::optional<uint8_t> U8(uint64_t offset);
    std::optional<uint16_t> Be16(uint64_t offset);
    std::optional<uint16_t> Le16(uint64_t offset);
    std::optional<uint32_t> Be32(uint64_t offset);
    std::optional<uint32_t> Le32(uint64_t offset);
    std::optional<uint64_t> Be64(uint64_t offset);
    std::optional<uint64_t> Le64(uint64_t offset);

    // True once the progress callback asked to stop (its answer is in
    // context.lastProgressResult).
    bool Stopped() const { return stopped_; }

  private:
    bool Fill(uint64_t offset);
    void ReportProgress();

    CarvingContext& context_;
    ByteSpan held_;
    uint64_t limit_ = 0;
    uint64_t windowStart_ = 0;
    size_t windowBytes_ = 0;
    uint64_t readBytes_ = 0;        // read through the reader so far
    uint64_t reportedBytes_ = 0;    // at the last progress report
    bool stopped_ = false;
};

}  // namespace norvale
