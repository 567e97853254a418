// PNG: the 8-byte signature, then chunks (length, four-letter type, data, CRC) from the
// header chunk to IEND.
#include <zlib.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectPng(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "\x89PNG\r\n\x1A\n"sv) ? FileTypeCode::kPng
                                                     : FileTypeCode::kNoFileType;
}

namespace {

constexpr uint64_t kPngCap = kCap128MiB;
constexpr uint32_t kMaxChunkBytes = 0x7FFFFFFF;

bool IsChunkLetter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The CRC of `bytes` bytes at `at`, read a view at a time; nothing when they cannot be read.
std::optional<uint32_t> Crc(FileWindow& window, uint64_t at, uint64_t bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (bytes > 0) {
        const ByteSpan view =
            window.View(at, static_cast<size_t>(std::min<uint64_t>(bytes, FileWindow::kMaxView)));
        if (view.empty()) return std::nullopt;
        crc = crc32(crc, view.data(), static_cast<uInt>(view.size()));
        at += view.size();
        bytes -= view.size();
    }
    return static_cast<uint32_t>(crc);
}

// The offset just past the IEND chunk, walking the chunks from the header chunk on and
// checking each one's CRC.
std::optional<uint64_t> PngLength(FileWindow& window) {
    uint64_t at = 8;
    bool first = true;
    while (!window.Stopped()) {
        const std::optional<uint32_t> length = window.Be32(at);
        uint8_t type[4];
        if (!length || *length > kMaxChunkBytes || !window.Read(at + 4, type)) return std::nullopt;
        if (!std::all_of(type, type + 4, IsChunkLetter)) return std::nullopt;
        const std::string_view name(reinterpret_cast<const char*>(type), 4);
        if (first && (name != "IHDR"sv || *length != 13)) return std::nullopt;
        first = false;
        const std::optional<uint32_t> crc = Crc(window, at + 4, 4 + uint64_t{*length});
        const std::optional<uint32_t> stored = window.Be32(at + 8 + *length);
        if (!crc || !stored || *crc != *stored) return std::nullopt;
        at += 12 + uint64_t{*length};
        if (name == "IEND"sv) return at;
    }
    return std::nullopt;
}

}  // namespace

uint64_t SizePng(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kPngCap);
    if (const std::optional<uint64_t> length = PngLength(window)) return *length;
    context.structureValid = false;
    if (window.Stopped()) return sector.size();
    // The IEND chunk: its type and its fixed CRC.
    return SizeByZeroPaddedFooter(sector, context, "IEND\xAE\x42\x60\x82"sv, kPngCap);
}

}  // namespace norvale
