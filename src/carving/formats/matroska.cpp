// Matroska and WebM: an EBML header element, then one Segment element that holds the whole
// recording. WebM is Matroska with the document type "webm"; both carve as mkv.
//
// The length is the Segment's end. A recorder that could not seek back writes the Segment (and
// often its Clusters) with the "unknown" size; such a Segment is walked by its top-level
// elements, an unknown-size Cluster by the elements a Cluster holds, and it ends at the first
// element that belongs to neither.
#include <bit>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr uint32_t kEbmlHeaderId = 0x1A45DFA3;
constexpr uint32_t kDocTypeId = 0x4282;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kClusterId = 0x1F43B675;
constexpr uint64_t kUnknownSize = ~uint64_t{0};
// Elements this many or more in one walk are no recording we can tell apart from noise.
constexpr uint64_t kMaxElements = uint64_t{1} << 26;

bool IsTopLevelId(uint32_t id) {
    switch (id) {
        case 0x114D9B74:  // SeekHead
        case 0x1549A966:  // Info
        case 0x1654AE6B:  // Tracks
        case kClusterId:
        case 0x1C53BB6B:  // Cues
        case 0x1254C367:  // Tags
        case 0x1043A770:  // Chapters
        case 0x1941A469:  // Attachments
        case 0xEC:        // Void
        case 0xBF:        // CRC-32
            return true;
        default:
            return false;
    }
}

bool IsClusterChildId(uint32_t id) {
    switch (id) {
        case 0xE7:    // Timecode
        case 0xA3:    // SimpleBlock
        case 0xA0:    // BlockGroup
        case 0xA7:    // Position
        case 0xAB:    // PrevSize
        case 0xAF:    // EncryptedBlock
        case 0x5854:  // SilentTracks
        case 0xEC:    // Void
        case 0xBF:    // CRC-32
            return true;
        default:
            return false;
    }
}

struct Element {
    uint32_t id = 0;
    uint64_t size = 0;       // kUnknownSize for the all-ones size
    uint64_t dataStart = 0;  // offset of the element's data
};

// The element header at `offset`: an ID of one to four bytes (marker bit kept) and a size of one
// to eight bytes. Nothing when the bytes are no element header or cannot be read.
std::optional<Element> ReadElement(FileWindow& window, uint64_t offset) {
    const ByteSpan head = window.View(offset, 12);
    if (head.empty() || head[0] == 0) return std::nullopt;
    const int idBytes = std::countl_zero(head[0]) + 1;
    if (idBytes > 4 || head.size() < size_t(idBytes) + 1) return std::nullopt;
    Element e;
    for (int i = 0; i < idBytes; ++i) e.id = (e.id << 8) | head[i];
    const uint8_t first = head[idBytes];
    if (first == 0) return std::nullopt;  // sizes of more than eight bytes are not in use
    const int sizeBytes = std::countl_zero(first) + 1;
    if (head.size() < size_t(idBytes + sizeBytes)) return std::nullopt;
    uint64_t value = first & (0xFFu >> sizeBytes);
    bool allOnes = value == (0xFFu >> sizeBytes);
    for (int i = 1; i < sizeBytes; ++i) {
        value = (value << 8) | head[idBytes + i];
        allOnes = allOnes && head[idBytes + i] == 0xFF;
    }
    e.size = allOnes ? kUnknownSize : value;
    e.dataStart = offset + idBytes + sizeBytes;
    return e;
}

// True when the EBML header element's children name a Matroska or WebM document.
bool NamesMatroska(FileWindow& window, const Element& header) {
    const uint64_t end = header.dataStart + header.size;
    uint64_t at = header.dataStart;
    for (int steps = 0; steps < 32 && at < end; ++steps) {
        const std::optional<Element> child = ReadElement(window, at);
        if (!child || child->size == kUnknownSize || child->size > end - child->dataStart) {
            return false;
        }
        if (child->id == kDocTypeId) {
            const ByteSpan name = window.View(child->dataStart, 16);
            if (child->size > name.size()) return false;
            std::string_view text(reinterpret_cast<const char*>(name.data()), child->size);
            while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
            return text == "matroska"sv || text == "webm"sv;
        }
        at = child->dataStart + child->size;
    }
    return false;
}

enum class WalkEnd { kForeignElement, kBroken };

// Walks the children of a Segment from `at` up to `end` (kUnknownSize: until an element that is
// no Segment child). Unknown-size Clusters are walked by their own children. `at` is left at
// the walk's end.
WalkEnd WalkSegment(FileWindow& window, uint64_t& at, uint64_t end) {
    bool inCluster = false;  // inside an unknown-size Cluster
    for (uint64_t steps = 0; steps < kMaxElements; ++steps) {
        if (end != kUnknownSize && at == end) return WalkEnd::kForeignElement;
        if (window.Stopped()) return WalkEnd::kBroken;
        const std::optional<Element> e = ReadElement(window, at);
        const bool known = e && (IsTopLevelId(e->id) || (inCluster && IsClusterChildId(e->id)));
        if (!known) {
            // A Segment of stated size must be filled by its children to the last byte; an
            // unknown-size one ends at bytes that are there and are no child of it, not where
            // the medium ends, a read fails or the user stops.
            const bool readable = !window.View(at, 1).empty();
            return end == kUnknownSize && readable ? WalkEnd::kForeignElement : WalkEnd::kBroken;
        }
        if (e->size == kUnknownSize) {
            if (e->id != kClusterId) return WalkEnd::kBroken;
            inCluster = true;
            at = e->dataStart;
            continue;
        }
        if (IsTopLevelId(e->id) && !IsClusterChildId(e->id)) inCluster = false;
        const uint64_t next = e->dataStart + e->size;
        if (next < e->dataStart || next > window.Limit() || (end != kUnknownSize && next > end)) {
            return WalkEnd::kBroken;
        }
        at = next;
    }
    return WalkEnd::kBroken;
}

}  // namespace

FileTypeCode DetectMatroska(ByteSpan sector, CarvingContext&) {
    // The document type (matroska or webm) is checked by the sizer: a header cut short in its
    // first sector is still worth a look.
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "\x1A\x45\xDF\xA3"sv) ? FileTypeCode::kMkv
                                                    : FileTypeCode::kNoFileType;
}

uint64_t SizeMatroska(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kCap64GiB);
    const auto broken = [&]() -> uint64_t {
        context.structureValid = false;
        if (window.Stopped()) return context.sectorSize;
        return SizeToBoundary(context, kCap64GiB);
    };
    const std::optional<Element> header = ReadElement(window, 0);
    if (!header || header->id != kEbmlHeaderId || header->size == kUnknownSize ||
        header->size > 4096 || !NamesMatroska(window, *header)) {
        return broken();
    }
    const std::optional<Element> segment = ReadElement(window, header->dataStart + header->size);
    if (!segment || segment->id != kSegmentId) return broken();
    uint64_t at = segment->dataStart;
    if (segment->size != kUnknownSize) {
        const uint64_t end = segment->dataStart + segment->size;
        if (end < segment->dataStart || end > window.Limit()) return broken();
        if (WalkSegment(window, at, end) != WalkEnd::kForeignElement) return broken();
        return end;
    }
    if (WalkSegment(window, at, kUnknownSize) != WalkEnd::kForeignElement ||
        at == segment->dataStart) {
        return broken();
    }
    return at;
}

}  // namespace norvale
