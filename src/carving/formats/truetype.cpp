// TrueType and OpenType fonts and font collections.
//
// A font file opens with an offset table (the sfnt version, the table count and the search
// fields) and one 16-byte record per table: tag, checksum, offset, length. The sfnt version
// alone is too common, so detectors also want a sane table directory in the first sector: tags
// of printable ASCII in strictly ascending order and table offsets on 4-byte boundaries past
// the directory, as the format requires and every writer does. A collection ("ttcf") lists
// the offsets of its fonts' table directories; the tables' offsets count from its start.
//
// A font ends where its furthest table ends, padded to four bytes: tables are padded so, the
// last one included, and fonts as shipped have exactly that length. A collection ends where
// the furthest table of any of its fonts (or its digital signature) ends.
#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr std::string_view kVersion1 = "\x00\x01\x00\x00"sv;
constexpr std::string_view kAppleTrueType = "true"sv;
constexpr std::string_view kCffOutlines = "OTTO"sv;
constexpr std::string_view kCollection = "ttcf"sv;
constexpr size_t kOffsetTableBytes = 12;
constexpr size_t kTableRecordBytes = 16;
constexpr uint16_t kMostTables = 256;
constexpr uint32_t kMostFonts = 4096;
// Table offsets and lengths are 32-bit each: no font reaches further than their sum.
constexpr uint64_t kFontCap = uint64_t{1} << 33;

bool IsTag(const uint8_t* tag) {
    return std::all_of(tag, tag + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

// The table directory at `at` of `data`, as far as `data` holds it. `tablesFrom` is the lowest
// offset a table may have.
bool SaneTableDirectory(ByteSpan data, size_t at, uint64_t tablesFrom) {
    if (at > data.size() || data.size() - at < kOffsetTableBytes + kTableRecordBytes) {
        return false;
    }
    const uint16_t tableCount = BigEndian16(data.data() + at + 4);
    if (tableCount == 0 || tableCount > kMostTables || BigEndian16(data.data() + at + 6) == 0) {
        return false;
    }
    const size_t held = (data.size() - at - kOffsetTableBytes) / kTableRecordBytes;
    const size_t checked = std::min<size_t>(tableCount, held);
    const uint8_t* previous = nullptr;
    for (size_t i = 0; i < checked; ++i) {
        const uint8_t* record = data.data() + at + kOffsetTableBytes + kTableRecordBytes * i;
        if (!IsTag(record)) return false;
        if (previous && std::lexicographical_compare(record, record + 4, previous, previous + 4)) {
            return false;
        }
        if (previous && std::equal(record, record + 4, previous)) return false;
        const uint32_t offset = BigEndian32(record + 8);
        if (offset % 4 != 0 || offset < tablesFrom) return false;
        previous = record;
    }
    return true;
}

bool SaneFont(ByteSpan sector) {
    if (sector.size() < kOffsetTableBytes) return false;
    const uint16_t tableCount = BigEndian16(sector.data() + 4);
    return SaneTableDirectory(sector, 0, kOffsetTableBytes + kTableRecordBytes * tableCount);
}

// The end of the furthest table of the font whose table directory is at `at`, or nothing
// when a record cannot be read or a table reaches past the window's limit.
std::optional<uint64_t> FurthestTableEnd(FileWindow& window, uint64_t at) {
    const std::optional<uint16_t> tableCount = window.Be16(at + 4);
    if (!tableCount || *tableCount == 0 || *tableCount > kMostTables) return std::nullopt;
    const uint64_t directoryEnd = at + kOffsetTableBytes + kTableRecordBytes * *tableCount;
    uint64_t end = directoryEnd;
    for (uint64_t i = 0; i < *tableCount; ++i) {
        uint8_t record[kTableRecordBytes];
        if (!window.Read(at + kOffsetTableBytes + kTableRecordBytes * i, record)) {
            return std::nullopt;
        }
        if (!IsTag(record)) return std::nullopt;
        const uint64_t tableEnd = uint64_t{BigEndian32(record + 8)} + BigEndian32(record + 12);
        end = std::max(end, tableEnd);
    }
    end = (end + 3) / 4 * 4;
    if (end > window.Limit()) return std::nullopt;
    return end;
}

uint64_t Fallback(ByteSpan sector, CarvingContext& context) {
    context.structureValid = false;
    return SizeBoundaryOnly128MiB(sector, context);
}

}  // namespace

FileTypeCode DetectTrueType(ByteSpan sector, CarvingContext&) {
    if (!BytesAt(sector, 0, kVersion1) && !BytesAt(sector, 0, kAppleTrueType)) {
        return FileTypeCode::kNoFileType;
    }
    return SaneFont(sector) ? FileTypeCode::kTtf : FileTypeCode::kNoFileType;
}

uint64_t SizeTrueType(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kFontCap);
    if (const std::optional<uint64_t> end = FurthestTableEnd(window, 0)) return *end;
    if (window.Stopped()) {
        context.structureValid = false;
        return context.sectorSize;
    }
    return Fallback(sector, context);
}

FileTypeCode DetectOpenType(ByteSpan sector, CarvingContext&) {
    // OpenType fonts with TrueType outlines (".otf" files some foundries ship) open like a
    // TrueType font; the carver names them by the earlier TrueType row, and a file system's
    // ".otf" file of that kind still passes its content check here.
    if (!BytesAt(sector, 0, kCffOutlines) && !BytesAt(sector, 0, kVersion1)) {
        return FileTypeCode::kNoFileType;
    }
    return SaneFont(sector) ? FileTypeCode::kOtf : FileTypeCode::kNoFileType;
}

FileTypeCode DetectFontCollection(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16 || !BytesAt(sector, 0, kCollection)) return FileTypeCode::kNoFileType;
    const uint16_t major = BigEndian16(sector.data() + 4);
    const uint16_t minor = BigEndian16(sector.data() + 6);
    const uint32_t fontCount = BigEndian32(sector.data() + 8);
    if ((major != 1 && major != 2) || minor != 0 || fontCount == 0 || fontCount > kMostFonts) {
        return FileTypeCode::kNoFileType;
    }
    // The first font's table directory follows the header in every collection written; when
    // the sector holds it, it must be sane.
    const uint64_t headerEnd = 12 + uint64_t{4} * fontCount + (major == 2 ? 12 : 0);
    if (headerEnd > sector.size()) return FileTypeCode::kTtc;
    const uint32_t first = BigEndian32(sector.data() + 12);
    if (first < headerEnd || first % 4 != 0) return FileTypeCode::kNoFileType;
    if (first >= sector.size()) return FileTypeCode::kTtc;
    const bool version = BytesAt(sector, first, kVersion1) || BytesAt(sector, first, kCffOutlines) ||
                         BytesAt(sector, first, kAppleTrueType);
    if (!version) return FileTypeCode::kNoFileType;
    if (sector.size() - first < kOffsetTableBytes + kTableRecordBytes) return FileTypeCode::kTtc;
    return SaneTableDirectory(sector, first, headerEnd) ? FileTypeCode::kTtc
                                                        : FileTypeCode::kNoFileType;
}

uint64_t SizeFontCollection(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kFontCap);
    const std::optional<uint16_t> major = window.Be16(4);
    const std::optional<uint32_t> fontCount = window.Be32(8);
    if (!major || !fontCount || (*major != 1 && *major != 2) || *fontCount == 0 ||
        *fontCount > kMostFonts) {
        return Fallback(sector, context);
    }
    const uint64_t headerEnd = 12 + uint64_t{4} * *fontCount;
    uint64_t end = headerEnd + (*major == 2 ? 12 : 0);
    for (uint64_t i = 0; i < *fontCount; ++i) {
        const std::optional<uint32_t> at = window.Be32(12 + 4 * i);
        if (!at || *at < headerEnd) return Fallback(sector, context);
        const std::optional<uint32_t> version = window.Be32(*at);
        if (version != 0x00010000 && version != 0x4F54544F && version != 0x74727565) {
            return Fallback(sector, context);
        }
        const std::optional<uint64_t> fontEnd = FurthestTableEnd(window, *at);
        if (!fontEnd) return Fallback(sector, context);
        end = std::max(end, *fontEnd);
    }
    if (*major == 2) {
        // The digital signature: tag "DSIG" (or zero when unsigned), length, offset.
        const std::optional<uint32_t> tag = window.Be32(headerEnd);
        const std::optional<uint32_t> length = window.Be32(headerEnd + 4);
        const std::optional<uint32_t> offset = window.Be32(headerEnd + 8);
        if (!tag || !length || !offset) return Fallback(sector, context);
        if (*tag == 0x44534947) {
            end = std::max(end, (uint64_t{*offset} + *length + 3) / 4 * 4);
        } else if (*tag != 0) {
            return Fallback(sector, context);
        }
    }
    if (end > window.Limit()) return Fallback(sector, context);
    return end;
}

}  // namespace norvale
