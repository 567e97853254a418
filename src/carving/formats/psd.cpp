// Photoshop documents: "8BPS", version 1 (PSD) or 2 (PSB, the large document format).
//
// The file is a 26-byte header and four sections in a row: colour mode data, image resources,
// layer and mask information (each led by its length), then the merged image data, which runs
// to the end of the file. Its length follows from the header (raw samples) or from the table
// of compressed row lengths that opens it (RLE). Zip-compressed merged data states no length;
// such a file runs to its boundary like before.
#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectPsd(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 40) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "8BPS"sv) ? FileTypeCode::kPsd : FileTypeCode::kNoFileType;
}

namespace {

constexpr uint64_t kPsdCap = kCap128MiB;

// The sum of `rows` big-endian row lengths of `entryBytes` each at `offset`, read a view at a
// time; nothing when they do not all lie inside the window's limit.
std::optional<uint64_t> SumRowLengths(FileWindow& window, uint64_t offset, uint64_t rows,
                                      unsigned entryBytes) {
    uint64_t sum = 0;
    while (rows > 0) {
        const uint64_t want = std::min<uint64_t>(rows * entryBytes, FileWindow::kMaxView);
        const ByteSpan view = window.View(offset, static_cast<size_t>(want));
        const size_t entries = view.size() / entryBytes;
        if (entries == 0) return std::nullopt;
        for (size_t i = 0; i < entries; ++i) {
            uint64_t v = 0;
            for (unsigned b = 0; b < entryBytes; ++b) v = (v << 8) | view[i * entryBytes + b];
            sum += v;
        }
        offset += entries * entryBytes;
        rows -= entries;
    }
    return sum;
}

// The document's length from its sections; nothing when they do not hold together or the
// merged data states no length.
std::optional<uint64_t> PsdLength(FileWindow& window) {
    const auto version = window.Be16(4);
    const auto channels = window.Be16(12);
    const auto height = window.Be32(14);
    const auto width = window.Be32(18);
    const auto depth = window.Be16(22);
    const auto mode = window.Be16(24);
    if (!version || !channels || !height || !width || !depth || !mode) return std::nullopt;
    const bool large = *version == 2;
    const uint32_t maxSide = large ? 300000 : 30000;
    if ((*version != 1 && !large) || *channels == 0 || *channels > 56 || *height == 0 ||
        *height > maxSide || *width == 0 || *width > maxSide || *mode > 9 ||
        (*depth != 1 && *depth != 8 && *depth != 16 && *depth != 32)) {
        return std::nullopt;
    }
    const uint64_t limit = window.Limit();
    uint64_t at = 26;
    // Colour mode data and image resources: 32-bit lengths; layers: 64-bit in a PSB.
    for (int section = 0; section < 3; ++section) {
        const bool wide = section == 2 && large;
        std::optional<uint64_t> length;
        if (wide) {
            length = window.Be64(at);
        } else if (const auto l = window.Be32(at)) {
            length = *l;
        }
        if (!length) return std::nullopt;
        at += wide ? 8 : 4;
        if (*length > limit - std::min(limit, at)) return std::nullopt;
        at += *length;
    }
    const auto compression = window.Be16(at);
    if (!compression) return std::nullopt;
    at += 2;
    const uint64_t rows = uint64_t{*channels} * *height;
    switch (*compression) {
        case 0: {
            const uint64_t rowBytes = (uint64_t{*width} * *depth + 7) / 8;
            return at + rows * rowBytes;
        }
        case 1: {
            const unsigned entryBytes = large ? 4 : 2;
            const std::optional<uint64_t> data = SumRowLengths(window, at, rows, entryBytes);
            if (!data) return std::nullopt;
            return at + rows * entryBytes + *data;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace

uint64_t SizePsd(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kPsdCap);
    const std::optional<uint64_t> length = PsdLength(window);
    if (length && *length <= window.Limit()) return *length;
    context.structureValid = false;
    if (window.Stopped()) return sector.size();
    return SizeBoundaryOnly128MiB(sector, context);
}

}  // namespace norvale
