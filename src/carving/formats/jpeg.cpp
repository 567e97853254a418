// JPEG: start of image followed by a JFIF (APP0) or Exif (APP1) segment, or by any other sane
// run of the segments a picture opens with (edited photos, CMYK files and previews begin with a
// quantisation table, a comment, an ICC profile, Adobe or Photoshop segments).
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

// The markers a picture's header is made of before its scan: APP0-APP15, DQT, DHT, DRI, COM and
// the frame headers (SOF0-SOF15 but DHT, JPG and DAC).
bool IsHeaderMarker(uint8_t m) {
    if (m >= 0xE0 && m <= 0xEF) return true;
    if (m >= 0xC0 && m <= 0xCF) return m != 0xC8 && m != 0xCC;  // C4 (DHT) is a table: fine
    return m == 0xDB || m == 0xDD || m == 0xFE;
}

// SOI, then header segments whose lengths chain from one marker to the next: up to the start of
// scan, or at least two whole segments before the sector ends, or one that runs past it (a large
// Exif or ICC segment). A length below the segment's own two bytes never passes.
bool IsJpegSegmentRun(ByteSpan s) {
    if (s.size() < 4 || s[0] != 0xFF || s[1] != 0xD8 || s[2] != 0xFF || !IsHeaderMarker(s[3]))
        return false;
    size_t at = 2;
    int whole = 0;
    while (at + 4 <= s.size()) {
        if (s[at] != 0xFF) return false;
        const uint8_t marker = s[at + 1];
        if (marker == 0xDA) return whole >= 1;  // start of scan after real tables
        if (!IsHeaderMarker(marker)) return false;
        const size_t length = size_t{s[at + 2]} << 8 | s[at + 3];
        if (length < 2) return false;
        at += 2 + length;
        if (at > s.size()) return true;  // runs past the sector: its start was sound
        ++whole;
        if (whole >= 2 && at + 2 > s.size()) return true;
    }
    return whole >= 2;
}

}  // namespace

FileTypeCode DetectJpeg(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "\xFF\xD8\xFF\xE0"sv) && BytesAt(sector, 6, "JFIF"sv)) {
        return FileTypeCode::kJpg;
    }
    if (BytesAt(sector, 0, "\xFF\xD8\xFF\xE1"sv) && BytesAt(sector, 6, "Exif"sv)) {
        return FileTypeCode::kJpg;
    }
    return IsJpegSegmentRun(sector) ? FileTypeCode::kJpg : FileTypeCode::kNoFileType;
}

uint64_t SizeJpeg(ByteSpan sector, CarvingContext& context) {
    constexpr std::string_view kEndOfImage = "\xFF\xD9"sv;
    const uint32_t sectorSize = context.sectorSize;
    // A picture small enough to end in its first sector needs no reading at all.
    if (const std::optional<size_t> at = FindForward(sector, kEndOfImage);
        at && IsZeroPaddedFooter(sector, *at, kEndOfImage.size(), sectorSize)) {
        return *at + kEndOfImage.size();
    }
    // An end-of-image marker also closes each embedded thumbnail, and a camera may pad the
    // thumbnail's segment with zeros, so an early candidate is only provisional: the last
    // zero-padded marker before the file's boundary is the picture's end.
    SizerFrame frame(context, kCap128MiB);
    std::optional<uint64_t> candidate;
    while (frame.Next()) {
        if (const std::optional<size_t> end =
                LastZeroPaddedFooterEnd(frame.Chunk(), kEndOfImage, sectorSize)) {
            candidate = frame.BytesBeforeChunk() + *end;
        }
    }
    const uint64_t length = frame.Length();
    return candidate && *candidate < length ? *candidate : length;
}

}  // namespace norvale
