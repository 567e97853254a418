// JPEG: start of image followed by a JFIF (APP0) or Exif (APP1) segment.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectJpeg(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "\xFF\xD8\xFF\xE0"sv) && BytesAt(sector, 6, "JFIF"sv)) {
        return FileTypeCode::kJpg;
    }
    if (BytesAt(sector, 0, "\xFF\xD8\xFF\xE1"sv) && BytesAt(sector, 6, "Exif"sv)) {
        return FileTypeCode::kJpg;
    }
    return FileTypeCode::kNoFileType;
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
