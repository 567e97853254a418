// Flash video: "FLV", version 1, and a header length of 9.
//
// After the header come tags (audio 8, video 9, script data 18), each an 11-byte header with a
// 24-bit data size, the data, and a 32-bit back pointer that repeats the tag's whole size. The
// file ends after the last tag whose back pointer checks out; the bytes after it are no tag.
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectFlv(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "FLV\x01"sv) && BytesAt(sector, 5, "\x00\x00\x00\x09"sv)) {
        return FileTypeCode::kFlv;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeFlv(ByteSpan sector, CarvingContext& context) {
    constexpr uint64_t kTagHeaderBytes = 11;
    FileWindow window(sector, context, kCap6GiB);
    const auto broken = [&](uint64_t walked) -> uint64_t {
        context.structureValid = false;
        if (window.Stopped()) return context.sectorSize;
        // A walk that got through some tags keeps them; with none the boundary decides.
        return walked > 13 ? walked : SizeToBoundary(context, kCap6GiB);
    };
    const std::optional<uint32_t> firstBackPointer = window.Be32(9);
    if (!firstBackPointer || *firstBackPointer != 0) return broken(0);

    uint64_t at = 13;
    uint64_t tags = 0;
    while (true) {
        if (window.Stopped()) return broken(at);
        const ByteSpan head = window.View(at, kTagHeaderBytes);
        // The medium's end or a failed read: the file may go on past it.
        if (head.empty()) return broken(at);
        // Whatever follows the last tag, zeros or another file, is no tag
        // header: reserved bits clear, a known type, a stream ID of zero.
        const bool tagHeader =
            head.size() == kTagHeaderBytes && (head[0] & 0xC0) == 0 &&
            ((head[0] & 0x1F) == 8 || (head[0] & 0x1F) == 9 || (head[0] & 0x1F) == 18) &&
            head[8] == 0 && head[9] == 0 && head[10] == 0;
        if (!tagHeader) break;
        const uint64_t dataBytes = (uint64_t{head[1]} << 16) | (uint64_t{head[2]} << 8) | head[3];
        const uint64_t backPointerAt = at + kTagHeaderBytes + dataBytes;
        const std::optional<uint32_t> backPointer = window.Be32(backPointerAt);
        // A tag cut off by the medium's end, or whose back pointer disagrees: damaged.
        if (!backPointer || *backPointer != kTagHeaderBytes + dataBytes) return broken(at);
        at = backPointerAt + 4;
        ++tags;
    }
    if (tags == 0 || window.Stopped()) return broken(at);
    return at;
}

}  // namespace norvale
