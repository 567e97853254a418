// Material Exchange Format: a run of key-length-value items, each key a 16-byte SMPTE label
// (06 0E 2B 34 ...) and each length BER coded. The file opens with its header partition pack
// and closes with the footer partition, usually followed by the random index pack, whose last
// four bytes repeat the pack's own length.
#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

// The partition pack keys share these 13 bytes; byte 13 tells header (2), body (3) and footer
// (4) apart and byte 14 whether the partition is open or closed, complete or not (1 to 4).
constexpr std::string_view kPartitionPackPrefix = "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01"sv;
constexpr std::string_view kRandomIndexPack =
    "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x11\x01\x00"sv;
constexpr std::string_view kLabelPrefix = "\x06\x0E\x2B\x34"sv;

constexpr uint8_t kHeaderPartition = 2;
constexpr uint8_t kFooterPartition = 4;

constexpr uint64_t kMxfCap = kCap6GiB;
// Every item takes at least 17 bytes, so the cap bounds the walk too; this bounds its time.
constexpr uint32_t kMaxItems = 1u << 24;
// The partition pack fields up to and including the footer partition's offset.
constexpr uint64_t kPartitionPackMinBytes = 88;

// The partition kind of a partition pack key, or 0 for any other key.
uint8_t PartitionKind(ByteSpan key) {
    if (!BytesAt(key, 0, kPartitionPackPrefix) || key.size() < 16) return 0;
    const uint8_t kind = key[13];
    const uint8_t status = key[14];
    if (kind < kHeaderPartition || kind > kFooterPartition) return 0;
    if (status < 1 || status > 4 || key[15] != 0) return 0;
    return kind;
}

struct Item {
    uint8_t key[16] = {};
    uint64_t valueOffset = 0;  // from the file's start
    uint64_t valueBytes = 0;
    bool complete = false;     // key and length were there and made sense
};

Item ReadItem(FileWindow& window, uint64_t offset) {
    Item item;
    const ByteSpan head = window.View(offset, 25);
    if (head.size() < 17) return item;
    std::copy_n(head.data(), 16, item.key);
    const uint8_t first = head[16];
    uint64_t lengthBytes = 1;
    if (first < 0x80) {
        item.valueBytes = first;
    } else {
        const uint8_t n = first & 0x7F;
        if (n == 0 || n > 8 || head.size() < size_t{17} + n) return item;  // 0x80: no length
        for (uint8_t i = 0; i < n; ++i) item.valueBytes = (item.valueBytes << 8) | head[17 + i];
        lengthBytes += n;
    }
    item.valueOffset = offset + 16 + lengthBytes;
    item.complete = true;
    return item;
}

// The stated own offset of the partition pack `item`, when it has one.
std::optional<uint64_t> ThisPartition(FileWindow& window, const Item& item) {
    if (item.valueBytes < kPartitionPackMinBytes) return std::nullopt;
    return window.Be64(item.valueOffset + 8);
}

// True when a footer partition pack that names `offset` as its own offset stands at `offset`.
bool FooterPartitionAt(FileWindow& window, uint64_t offset) {
    const Item item = ReadItem(window, offset);
    if (!item.complete || PartitionKind(ByteSpan(item.key)) != kFooterPartition) return false;
    return ThisPartition(window, item) == offset;
}

}  // namespace

FileTypeCode DetectMxf(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (PartitionKind(sector.first(16)) == kHeaderPartition) return FileTypeCode::kMxf;
    return FileTypeCode::kNoFileType;
}

uint64_t SizeMxf(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kMxfCap);
    bool sound = true;
    bool footer = false;
    uint64_t offset = 0;
    for (uint32_t step = 0;; ++step) {
        if (step == kMaxItems) {
            sound = false;
            break;
        }
        const Item item = ReadItem(window, offset);
        if (window.Stopped() || !item.complete) break;
        const ByteSpan key(item.key);
        if (!BytesAt(key, 0, kLabelPrefix)) break;  // past the last item
        if (item.valueBytes > window.Limit() - item.valueOffset) {
            sound = false;  // an item running past the medium: a cut-off file
            break;
        }
        const uint64_t end = item.valueOffset + item.valueBytes;

        const uint8_t kind = PartitionKind(key);
        if (offset == 0 && kind != kHeaderPartition) {
            sound = false;
            break;
        }
        if (kind != 0) {
            if (offset > 0 && kind == kHeaderPartition) break;  // another file begins
            if (kind == kFooterPartition && footer) break;
            if (ThisPartition(window, item) != offset) {
                sound = false;  // a partition that is not where it says it is
                break;
            }
            if (kind == kFooterPartition) footer = true;
            if (kind == kHeaderPartition) {
                // A closed header names the footer partition: jump there when it checks out,
                // instead of walking every essence item in between.
                const std::optional<uint64_t> footerAt = window.Be64(item.valueOffset + 24);
                if (footerAt && *footerAt >= end && *footerAt < window.Limit() &&
                    FooterPartitionAt(window, *footerAt)) {
                    offset = *footerAt;
                    continue;
                }
            }
        } else if (BytesAt(key, 0, kRandomIndexPack)) {
            // The pack's last four bytes state its whole length, key and length included.
            const std::optional<uint32_t> stated =
                item.valueBytes >= 4 ? window.Be32(end - 4) : std::nullopt;
            if (!footer || !stated || *stated != end - offset) sound = false;
            offset = end;
            break;
        }
        offset = end;
    }
    if (window.Stopped()) {
        context.structureValid = false;
        return std::max<uint64_t>(offset, std::min<uint64_t>(sector.size(), window.Limit()));
    }
    if (sound && footer) return offset;
    context.structureValid = false;
    return SizeToBoundary(context, kMxfCap);
}

}  // namespace norvale
