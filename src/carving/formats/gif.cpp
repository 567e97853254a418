// GIF: "GIF" and a version such as "87a" or "89a". The file is a walk of blocks (extensions
// and images, each a run of length-prefixed sub-blocks) from the screen descriptor to the
// trailer byte.
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectGif(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 8 || !BytesAt(sector, 0, "GIF"sv)) return FileTypeCode::kNoFileType;
    const auto isDigit = [](uint8_t c) { return c >= '0' && c <= '9'; };
    if (isDigit(sector[3]) && isDigit(sector[4]) && sector[5] >= 'a' && sector[5] <= 'z') {
        return FileTypeCode::kGif;
    }
    return FileTypeCode::kNoFileType;
}

namespace {

constexpr uint64_t kGifCap = kCap128MiB;

// Past a run of data sub-blocks at `at` (each a length byte and that many bytes, a zero length
// closing the run); nothing when the run leaves the window.
std::optional<uint64_t> SkipSubBlocks(FileWindow& window, uint64_t at) {
    while (true) {
        const std::optional<uint8_t> length = window.U8(at);
        if (!length) return std::nullopt;
        at += 1 + uint64_t{*length};
        if (*length == 0) return at;
    }
}

uint64_t ColourTableBytes(uint8_t flags) {
    return (flags & 0x80) ? 3 * (uint64_t{2} << (flags & 7)) : 0;
}

// The offset just past the trailer, walking the blocks from the screen descriptor on.
std::optional<uint64_t> GifLength(FileWindow& window) {
    const std::optional<uint8_t> screenFlags = window.U8(10);
    if (!screenFlags) return std::nullopt;
    uint64_t at = 13 + ColourTableBytes(*screenFlags);
    bool image = false;
    while (!window.Stopped()) {
        const std::optional<uint8_t> introducer = window.U8(at);
        if (!introducer) return std::nullopt;
        switch (*introducer) {
            case 0x3B:  // trailer
                if (!image) return std::nullopt;
                return at + 1;
            case 0x21: {  // extension: a label, then sub-blocks
                if (!window.U8(at + 1)) return std::nullopt;
                const std::optional<uint64_t> next = SkipSubBlocks(window, at + 2);
                if (!next) return std::nullopt;
                at = *next;
                break;
            }
            case 0x2C: {  // image descriptor, local colour table, LZW code size, sub-blocks
                const std::optional<uint8_t> flags = window.U8(at + 9);
                if (!flags) return std::nullopt;
                at += 10 + ColourTableBytes(*flags);
                const std::optional<uint8_t> codeSize = window.U8(at);
                if (!codeSize || *codeSize < 1 || *codeSize > 11) return std::nullopt;
                const std::optional<uint64_t> next = SkipSubBlocks(window, at + 1);
                if (!next) return std::nullopt;
                at = *next;
                image = true;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

uint64_t SizeGif(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kGifCap);
    if (const std::optional<uint64_t> length = GifLength(window)) return *length;
    context.structureValid = false;
    if (window.Stopped()) return sector.size();
    // The last image's block terminator followed by the trailer.
    return SizeByZeroPaddedFooter(sector, context, "\x00\x3B"sv, kGifCap);
}

}  // namespace norvale
