// ZIP archives: a local file header at the start. Office Open XML packages match too; their
// rows come earlier in the catalogue, so only ZIPs that are not OOXML end up here.
//
// The sizer walks the archive as a reader does from the front: each local file header and its
// data (the sizes from the header, or from the data descriptor that follows the data when the
// writer streamed it), then the central directory, then the end records (ZIP64 end record and
// locator when present, and the end-of-central-directory record with its comment). The end
// record must agree with the walk: where the directory starts, how long it is and how many
// entries it holds. Another archive stored inside has end records of its own, but they are not
// where this walk lands.
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr uint32_t kLocalHeader = 0x04034B50;
constexpr uint32_t kCentralHeader = 0x02014B50;
constexpr uint32_t kEndRecord = 0x06054B50;
constexpr uint32_t kZip64EndRecord = 0x06064B50;
constexpr uint32_t kZip64Locator = 0x07064B50;
constexpr uint32_t kZip64Extra = 0x0001;
constexpr uint32_t kSizeInZip64 = 0xFFFFFFFF;
constexpr uint16_t kFlagDescriptor = 0x0008;
constexpr uint64_t kLocalFixedBytes = 30;
constexpr uint64_t kCentralFixedBytes = 46;
constexpr uint64_t kEndFixedBytes = 22;
constexpr uint64_t kLocatorBytes = 20;
constexpr uint64_t kMostEntries = 1u << 22;

// The ZIP64 extra field of a local header: the uncompressed and compressed sizes.
std::optional<uint64_t> Zip64CompressedSize(FileWindow& window, uint64_t extra, uint64_t bytes) {
    for (uint64_t at = 0; at + 4 <= bytes;) {
        const std::optional<uint16_t> id = window.Le16(extra + at);
        const std::optional<uint16_t> size = window.Le16(extra + at + 2);
        if (!id || !size) return std::nullopt;
        if (*id == kZip64Extra) {
            if (*size < 16 || at + 4 + *size > bytes) return std::nullopt;
            return window.Le64(extra + at + 4 + 8);
        }
        at += 4 + uint64_t{*size};
    }
    return std::nullopt;
}

// The data descriptor after data streamed from `data`: the first one whose compressed size
// equals the bytes before it. Writers put a signature before it; a few leave it out, and then
// the next header's signature follows the descriptor directly. The offset just past it, or
// nothing.
std::optional<uint64_t> DescriptorEnd(FileWindow& window, uint64_t data, bool zip64) {
    const uint64_t sizesBytes = zip64 ? 16 : 8;
    const auto storedSizeIs = [&](uint64_t sizeAt, uint64_t stored) {
        return zip64 ? window.Le64(sizeAt) == stored : window.Le32(sizeAt) == stored;
    };
    uint64_t from = data;
    while (!window.Stopped()) {
        const ByteSpan part = window.View(from, FileWindow::kMaxView);
        if (part.size() < 4) return std::nullopt;
        std::optional<uint64_t> candidate;
        uint8_t kind = 0;
        for (size_t i = 0; i + 4 <= part.size(); ++i) {
            if (part[i] == 'P' && part[i + 1] == 'K' &&
                ((part[i + 2] == 7 && part[i + 3] == 8) || (part[i + 2] == 3 && part[i + 3] == 4) ||
                 (part[i + 2] == 1 && part[i + 3] == 2))) {
                candidate = from + i;
                kind = part[i + 2];
                break;
            }
        }
        if (!candidate) {
            from += part.size() - 3;
            continue;
        }
        if (kind == 7) {
            if (storedSizeIs(*candidate + 8, *candidate - data)) {
                return *candidate + 8 + sizesBytes;
            }
        } else if (*candidate >= data + 4 + sizesBytes) {
            // A header: is a descriptor without signature right before it?
            const uint64_t descriptor = *candidate - 4 - sizesBytes;
            if (storedSizeIs(descriptor + 4, descriptor - data)) return *candidate;
        }
        from = *candidate + 1;  // the signature's bytes were part of the data
    }
    return std::nullopt;
}

// The length of the archive at the window's start when its structure checks out.
std::optional<uint64_t> ArchiveLength(FileWindow& window) {
    // Local headers and their data, up to the first header that is not a local one.
    uint64_t at = 0;
    uint64_t localEntries = 0;
    for (;;) {
        const std::optional<uint32_t> signature = window.Le32(at);
        if (!signature) return std::nullopt;
        if (*signature != kLocalHeader) break;
        if (++localEntries > kMostEntries) return std::nullopt;
        uint8_t h[kLocalFixedBytes];
        if (!window.Read(at, h)) return std::nullopt;
        const uint16_t flags = h[6] | (h[7] << 8);
        uint64_t compressed = h[18] | (h[19] << 8) | (h[20] << 16) | (uint32_t{h[21]} << 24);
        const uint64_t uncompressed =
            h[22] | (h[23] << 8) | (h[24] << 16) | (uint32_t{h[25]} << 24);
        const uint64_t nameBytes = h[26] | (h[27] << 8);
        const uint64_t extraBytes = h[28] | (h[29] << 8);
        const uint64_t extra = at + kLocalFixedBytes + nameBytes;
        const uint64_t data = extra + extraBytes;
        const std::optional<uint64_t> zip64Size = Zip64CompressedSize(window, extra, extraBytes);
        if (flags & kFlagDescriptor) {
            const std::optional<uint64_t> end =
                DescriptorEnd(window, data, zip64Size.has_value());
            if (!end) return std::nullopt;
            at = *end;
            continue;
        }
        if (compressed == kSizeInZip64 || uncompressed == kSizeInZip64) {
            if (!zip64Size) return std::nullopt;
            compressed = *zip64Size;
        }
        if (compressed > window.Limit() || data > window.Limit() - compressed) return std::nullopt;
        at = data + compressed;
    }

    // Signed Android packages keep a signing block between the entries and the directory:
    // its length before it and again before its closing magic.
    if (const std::optional<uint64_t> blockBytes = window.Le64(at);
        blockBytes && *blockBytes >= 32 && *blockBytes <= window.Limit() - at - 8) {
        uint8_t magic[16];
        const uint64_t magicAt = at + 8 + *blockBytes - 16;
        if (window.Read(magicAt, magic) && std::string_view(reinterpret_cast<const char*>(magic),
                                                            16) == "APK Sig Block 42"sv &&
            window.Le64(magicAt - 8) == *blockBytes) {
            at += 8 + *blockBytes;
        }
    }

    // The central directory: one header per entry.
    const uint64_t directoryStart = at;
    uint64_t centralEntries = 0;
    for (;;) {
        const std::optional<uint32_t> signature = window.Le32(at);
        if (!signature) return std::nullopt;
        if (*signature != kCentralHeader) break;
        if (++centralEntries > kMostEntries) return std::nullopt;
        const std::optional<uint16_t> nameBytes = window.Le16(at + 28);
        const std::optional<uint16_t> extraBytes = window.Le16(at + 30);
        const std::optional<uint16_t> commentBytes = window.Le16(at + 32);
        if (!nameBytes || !extraBytes || !commentBytes) return std::nullopt;
        at += kCentralFixedBytes + *nameBytes + *extraBytes + *commentBytes;
    }
    if (centralEntries != localEntries) return std::nullopt;
    const uint64_t directoryBytes = at - directoryStart;

    // ZIP64 end record and its locator, then the end record.
    std::optional<uint32_t> signature = window.Le32(at);
    bool zip64 = false;
    if (signature == kZip64EndRecord) {
        const uint64_t record = at;
        const std::optional<uint64_t> recordBytes = window.Le64(at + 4);
        const std::optional<uint64_t> entries = window.Le64(at + 32);
        const std::optional<uint64_t> size = window.Le64(at + 40);
        const std::optional<uint64_t> offset = window.Le64(at + 48);
        if (!recordBytes || !entries || !size || !offset || *recordBytes < 44 ||
            *recordBytes > window.Limit() || *entries != centralEntries ||
            *size != directoryBytes || *offset != directoryStart) {
            return std::nullopt;
        }
        at += 12 + *recordBytes;
        if (window.Le32(at) != kZip64Locator || window.Le64(at + 8) != record) return std::nullopt;
        at += kLocatorBytes;
        signature = window.Le32(at);
        zip64 = true;
    }
    if (signature != kEndRecord) return std::nullopt;
    uint8_t e[kEndFixedBytes];
    if (!window.Read(at, e)) return std::nullopt;
    const uint16_t entries = e[10] | (e[11] << 8);
    const uint32_t size = e[12] | (e[13] << 8) | (e[14] << 16) | (uint32_t{e[15]} << 24);
    const uint32_t offset = e[16] | (e[17] << 8) | (e[18] << 16) | (uint32_t{e[19]} << 24);
    const uint16_t commentBytes = e[20] | (e[21] << 8);
    const bool entriesAgree = entries == (centralEntries & 0xFFFF) || (zip64 && entries == 0xFFFF);
    const bool sizeAgrees = size == directoryBytes || (zip64 && size == kSizeInZip64);
    const bool offsetAgrees = offset == directoryStart || (zip64 && offset == kSizeInZip64);
    if (!entriesAgree || !sizeAgrees || !offsetAgrees) return std::nullopt;
    const uint64_t end = at + kEndFixedBytes + commentBytes;
    if (end > window.Limit()) return std::nullopt;
    return end;
}

}  // namespace

FileTypeCode DetectZip(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 48) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "PK\x03\x04"sv) ? FileTypeCode::kZip : FileTypeCode::kNoFileType;
}

uint64_t SizeToEndOfCentralDirectory(ByteSpan sector, CarvingContext& context, uint64_t cap) {
    {
        FileWindow window(sector, context, cap);
        if (const std::optional<uint64_t> length = ArchiveLength(window)) return *length;
        if (window.Stopped()) {
            context.structureValid = false;
            return context.sectorSize;
        }
    }
    context.structureValid = false;
    // A damaged archive: the end-of-central-directory record still closes what is left of it,
    // and a stored archive inside has one of its own earlier on, so the last one counts.
    return SizeByEndMarker(sector, context, cap,
                           [](ByteSpan data, uint32_t) -> std::optional<size_t> {
                               constexpr size_t kRecordBytes = 22;  // without the comment
                               const auto at = FindBackward(data, "PK\x05\x06"sv);
                               if (!at) return std::nullopt;
                               return *at + kRecordBytes;
                           });
}

uint64_t SizeZip(ByteSpan sector, CarvingContext& context) {
    return SizeToEndOfCentralDirectory(sector, context, kCap4GiB);
}

}  // namespace norvale
