// TIFF: byte-order mark and the number 42 in that order (43 for BigTIFF). Camera RAW files
// built on TIFF open the same way; ClassifyCameraRaw (camera_raw.cpp) tells them apart, so a
// RAW file takes its own row's extension.
//
// A TIFF states no length of its own: its pieces (image file directories, tag values stored
// out of line, strips, tiles, embedded JPEG previews) lie anywhere after the header, linked by
// offsets. The file ends where the furthest of them ends.
#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <limits>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectTiff(ByteSpan sector, CarvingContext& context) {
    if (BytesAt(sector, 0, "MM\x00\x2A"sv) || BytesAt(sector, 0, "II\x2A\x00"sv)) {
        const FileTypeCode raw = ClassifyCameraRaw(sector, context);
        return raw != FileTypeCode::kNoFileType ? raw : FileTypeCode::kTif;
    }
    // BigTIFF: 43, then the offset size 8 and a zero word.
    if (BytesAt(sector, 0, "II\x2B\x00\x08\x00\x00\x00"sv) ||
        BytesAt(sector, 0, "MM\x00\x2B\x00\x08\x00\x00"sv)) {
        return FileTypeCode::kTif;
    }
    return FileTypeCode::kNoFileType;
}

namespace {

constexpr uint64_t kTiffCap = kCap128MiB;
// Real files hold a handful of directories with a few hundred entries at most.
constexpr size_t kMaxDirectories = 64;
constexpr uint64_t kMaxEntries = 4096;
// Strip and tile offsets read in all: one per row of a large picture stays far below.
constexpr uint64_t kMaxArrayElements = uint64_t{1} << 22;

enum Tag : uint16_t {
    kStripOffsets = 273,
    kStripByteCounts = 279,
    kRawDataOffset = 280,  // Panasonic: the raw strip, when StripOffsets is absent
    kSubIfds = 330,
    kTileOffsets = 324,
    kTileByteCounts = 325,
    kJpegOffset = 513,
    kJpegLength = 514,
    kExifIfd = 34665,
    kGpsIfd = 34853,
    kInteropIfd = 40965,
};

// Bytes of one value of a field type; 0 for types this walk does not know (ignored, as
// readers of the format do).
unsigned TypeBytes(uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;   // BYTE ASCII SBYTE UNDEFINED
        case 3: case 8: return 2;                   // SHORT SSHORT
        case 4: case 9: case 11: case 13: return 4; // LONG SLONG FLOAT IFD
        case 5: case 10: case 12: case 16: case 17: case 18: return 8;  // RATIONAL ... IFD8
        default: return 0;
    }
}

bool IsUnsignedInteger(uint16_t type) {
    return type == 3 || type == 4 || type == 13 || type == 16 || type == 18;
}

struct Entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint64_t count = 0;
    uint64_t valueAt = 0;  // file offset of the first value, inline or out of line
    bool present = false;
};

class TiffWalk {
  public:
    TiffWalk(ByteSpan sector, CarvingContext& context) : window_(sector, context, kTiffCap) {}

    // The furthest end of the file's pieces; nothing when the structure does not check out.
    std::optional<uint64_t> Run();
    bool Stopped() const { return window_.Stopped(); }
    uint64_t End() const { return end_; }

  private:
    std::optional<uint64_t> Unsigned(uint64_t offset, unsigned bytes);
    bool Reach(uint64_t offset, uint64_t bytes);
    bool Queue(uint64_t offset);
    bool WalkDirectory(uint64_t offset, uint64_t& next);
    bool ReadEntry(uint64_t at, Entry& entry);
    bool Element(const Entry& entry, uint64_t i, uint64_t& value);
    bool Pieces(const Entry& offsets, const Entry& lengths);
    bool Directories(const Entry& entry);

    FileWindow window_;
    bool littleEndian_ = true;
    bool big_ = false;  // BigTIFF: 64-bit counts and offsets
    uint64_t end_ = 0;
    uint64_t elementsRead_ = 0;
    std::array<uint64_t, kMaxDirectories> seen_{};
    size_t seenCount_ = 0;
    std::array<uint64_t, kMaxDirectories> pending_{};
    size_t pendingCount_ = 0;
};

std::optional<uint64_t> TiffWalk::Unsigned(uint64_t offset, unsigned bytes) {
    uint8_t b[8];
    if (bytes == 0 || bytes > 8 || !window_.Read(offset, std::span<uint8_t>(b, bytes))) {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        const unsigned at = littleEndian_ ? bytes - 1 - i : i;
        v = (v << 8) | b[at];
    }
    return v;
}

// A piece at `offset` of `bytes` bytes: it must lie inside what may be read.
bool TiffWalk::Reach(uint64_t offset, uint64_t bytes) {
    const uint64_t limit = window_.Limit();
    if (offset > limit || bytes > limit - offset) return false;
    end_ = std::max(end_, offset + bytes);
    return true;
}

// A directory to visit. One already seen (two pointers to one EXIF directory) is walked once.
bool TiffWalk::Queue(uint64_t offset) {
    if (offset < 8) return false;
    for (size_t i = 0; i < seenCount_; ++i) {
        if (seen_[i] == offset) return true;
    }
    for (size_t i = 0; i < pendingCount_; ++i) {
        if (pending_[i] == offset) return true;
    }
    if (pendingCount_ == pending_.size()) return false;
    pending_[pendingCount_++] = offset;
    return true;
}

bool TiffWalk::ReadEntry(uint64_t at, Entry& entry) {
    const auto tag = Unsigned(at, 2);
    const auto type = Unsigned(at + 2, 2);
    const auto count = Unsigned(at + 4, big_ ? 8 : 4);
    if (!tag || !type || !count) return false;
    entry.tag = static_cast<uint16_t>(*tag);
    entry.type = static_cast<uint16_t>(*type);
    entry.count = *count;
    entry.present = true;
    const uint64_t field = at + (big_ ? 12 : 8);
    const unsigned fieldBytes = big_ ? 8 : 4;
    const unsigned size = TypeBytes(entry.type);
    if (size == 0) {
        entry.valueAt = field;
        entry.count = 0;
        return true;
    }
    if (entry.count > std::numeric_limits<uint64_t>::max() / size) return false;
    const uint64_t bytes = entry.count * size;
    if (bytes <= fieldBytes) {
        entry.valueAt = field;
        return true;
    }
    const auto pointer = Unsigned(field, fieldBytes);
    if (!pointer) return false;
    entry.valueAt = *pointer;
    return Reach(entry.valueAt, bytes);
}

bool TiffWalk::Element(const Entry& entry, uint64_t i, uint64_t& value) {
    if (!IsUnsignedInteger(entry.type) || i >= entry.count) return false;
    if (++elementsRead_ > kMaxArrayElements) return false;
    const unsigned size = TypeBytes(entry.type);
    const auto v = Unsigned(entry.valueAt + i * size, size);
    if (!v) return false;
    value = *v;
    return true;
}

// Strips, tiles or a preview: the i-th offset with the i-th length.
bool TiffWalk::Pieces(const Entry& offsets, const Entry& lengths) {
    if (!offsets.present && !lengths.present) return true;
    if (!offsets.present || !lengths.present || offsets.count != lengths.count) return false;
    for (uint64_t i = 0; i < offsets.count; ++i) {
        uint64_t at = 0;
        uint64_t bytes = 0;
        if (!Element(offsets, i, at) || !Element(lengths, i, bytes)) return false;
        if (bytes == 0) continue;  // a strip not written
        if (!Reach(at, bytes)) return false;
        if (window_.Stopped()) return false;
    }
    return true;
}

bool TiffWalk::Directories(const Entry& entry) {
    for (uint64_t i = 0; i < entry.count; ++i) {
        uint64_t at = 0;
        if (!Element(entry, i, at) || !Queue(at)) return false;
    }
    return true;
}

bool TiffWalk::WalkDirectory(uint64_t offset, uint64_t& next) {
    const unsigned countBytes = big_ ? 8 : 2;
    const unsigned entryBytes = big_ ? 20 : 12;
    const unsigned nextBytes = big_ ? 8 : 4;
    const auto count = Unsigned(offset, countBytes);
    if (!count || *count == 0 || *count > kMaxEntries) return false;
    const uint64_t entriesAt = offset + countBytes;
    const uint64_t nextAt = entriesAt + *count * entryBytes;
    if (!Reach(offset, countBytes + *count * entryBytes + nextBytes)) return false;

    Entry strips, stripBytes, rawData, tiles, tileBytes, jpeg, jpegBytes;
    for (uint64_t i = 0; i < *count; ++i) {
        Entry entry;
        if (!ReadEntry(entriesAt + i * entryBytes, entry)) return false;
        switch (entry.tag) {
            case kStripOffsets: strips = entry; break;
            case kStripByteCounts: stripBytes = entry; break;
            case kRawDataOffset: rawData = entry; break;
            case kTileOffsets: tiles = entry; break;
            case kTileByteCounts: tileBytes = entry; break;
            case kJpegOffset: jpeg = entry; break;
            case kJpegLength: jpegBytes = entry; break;
            case kSubIfds:
            case kExifIfd:
            case kGpsIfd:
            case kInteropIfd:
                if (!Directories(entry)) return false;
                break;
            default:
                break;
        }
    }
    if (!strips.present && rawData.present) strips = rawData;
    if (!Pieces(strips, stripBytes) || !Pieces(tiles, tileBytes) || !Pieces(jpeg, jpegBytes)) {
        return false;
    }
    const auto following = Unsigned(nextAt, nextBytes);
    if (!following) return false;
    next = *following;
    return true;
}

std::optional<uint64_t> TiffWalk::Run() {
    uint8_t head[16];
    if (!window_.Read(0, std::span<uint8_t>(head, 8))) return std::nullopt;
    if (head[0] == 'I' && head[1] == 'I') {
        littleEndian_ = true;
    } else if (head[0] == 'M' && head[1] == 'M') {
        littleEndian_ = false;
    } else {
        return std::nullopt;
    }
    // 42 for TIFF; Olympus and Panasonic RAW files put their own marks there.
    const uint64_t magic = Unsigned(2, 2).value_or(0);
    uint64_t first = 0;
    if (magic == 43) {
        const auto offsetBytes = Unsigned(4, 2);
        const auto zero = Unsigned(6, 2);
        const auto at = Unsigned(8, 8);
        if (!offsetBytes || *offsetBytes != 8 || !zero || *zero != 0 || !at) return std::nullopt;
        big_ = true;
        first = *at;
        end_ = 16;
    } else if (magic == 42 || magic == 0x4F52 || magic == 0x5352 || magic == 0x55) {
        first = Unsigned(4, 4).value_or(0);
        end_ = 8;
    } else {
        return std::nullopt;
    }
    if (!Queue(first)) return std::nullopt;

    while (pendingCount_ > 0) {
        // Each directory chain starts from a pointer; follow it to its end.
        uint64_t at = pending_[--pendingCount_];
        const auto seen = [&](uint64_t offset) {
            return std::find(seen_.begin(), seen_.begin() + seenCount_, offset) !=
                   seen_.begin() + seenCount_;
        };
        if (seen(at)) continue;  // reached meanwhile as the next directory of a chain
        while (at != 0) {
            if (seen(at)) return std::nullopt;  // the chain loops
            if (seenCount_ == seen_.size() || at < 8) return std::nullopt;
            seen_[seenCount_++] = at;
            uint64_t next = 0;
            if (!WalkDirectory(at, next) || window_.Stopped()) return std::nullopt;
            at = next;
        }
    }
    return end_;
}

}  // namespace

uint64_t SizeTiff(ByteSpan sector, CarvingContext& context) {
    TiffWalk walk(sector, context);
    if (const std::optional<uint64_t> end = walk.Run()) return *end;
    context.structureValid = false;
    if (walk.Stopped()) return std::max<uint64_t>(walk.End(), sector.size());
    return SizeBoundaryOnly128MiB(sector, context);
}

}  // namespace norvale
