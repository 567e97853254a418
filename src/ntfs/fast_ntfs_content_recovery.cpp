// A found file's content: its record's unnamed $DATA, resident or through its runs (followed
// through the attribute list), and for compressed files the clusters of each compression unit
// decoded from LZNT1. Copying the stored clusters of a compressed file would give bytes that are
// not the file, and would still be counted as a success.

#include <algorithm>
#include <cstring>

#include "device/bytes.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/mft_record.h"
#include "ntfs/run_list.h"

namespace norvale {
namespace {

constexpr uint32_t kLznt1ChunkBytes = 4096;
constexpr uint16_t kDefaultCompressionUnit = 4;  // 16 clusters, the only unit NTFS writes
constexpr uint16_t kMaxCompressionUnit = 8;
constexpr uint64_t kMaxUnitBytes = 4u << 20;

// Decodes an LZNT1 stream (chunks of at most 4 KiB of output, each with its 2-byte header) into
// `out`, one 4 KiB slot per chunk; what a short chunk leaves of its slot stays zero. False when
// the stream is damaged: a chunk or reference that would reach outside its bounds.
bool DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out) {
    size_t cursor = 0;
    for (size_t slot = 0; slot < out.size(); slot += kLznt1ChunkBytes) {
        if (cursor + 2 > in.size()) return true;
        const uint16_t header = Le16(in.data() + cursor);
        if (header == 0) return true;
        const size_t length = (header & 0x0FFFu) + 1;
        cursor += 2;
        if (length > in.size() - cursor) return false;
        const std::span<const uint8_t> chunk = in.subspan(cursor, length);
        cursor += length;
        const std::span<uint8_t> target =
            out.subspan(slot, std::min<size_t>(kLznt1ChunkBytes, out.size() - slot));
        if ((header & 0x8000u) == 0) {
            // A chunk that did not compress is stored as it is.
            std::memcpy(target.data(), chunk.data(), std::min(chunk.size(), target.size()));
            continue;
        }
        size_t at = 0;  // output position within the chunk
        size_t i = 0;
        while (i < chunk.size() && at < target.size()) {
            const uint8_t flags = chunk[i++];
            for (int bit = 0; bit < 8 && i < chunk.size() && at < target.size(); ++bit) {
                if ((flags & (1u << bit)) == 0) {
                    target[at++] = chunk[i++];
                    continue;
                }
                if (i + 2 > chunk.size() || at == 0) return false;
                const uint16_t token = Le16(chunk.data() + i);
                i += 2;
                // The further into the chunk, the more bits the offset takes.
                unsigned offsetBits = 4;
                while ((size_t{1} << offsetBits) < at) ++offsetBits;
                const unsigned lengthBits = 16 - offsetBits;
                const size_t back = (token >> lengthBits) + 1;
                size_t count = (token & ((1u << lengthBits) - 1)) + 3;
                if (back > at) return false;
                count = std::min(count, target.size() - at);
                for (size_t k = 0; k < count; ++k, ++at) target[at] = target[at - back];
            }
        }
    }
    return true;
}

}  // namespace

Result CFastNtfsRecovery::LoadContent(const RecoveredItem& item, Content& content) {
    const auto number = static_cast<uint32_t>(item.objectKey);
    AttributeData& data = content.data;
    if (Result r = volume_->LoadAttribute(number, kAttrData, u"", data); r != kOk) return r;
    if (data.resident) {
        content.readable = data.residentValue.size();
        return kOk;
    }
    // A damaged list may describe only the start of the content.
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(RunClusters(data.runs), uint64_t{geometry_.clusterBytes}, &bytes)) {
        bytes = ~uint64_t{0};
    }
    content.readable = std::min(data.realSize, bytes);
    if ((data.flags & kAttrFlagCompressed) == 0) return kOk;

    uint16_t unitShift = kDefaultCompressionUnit;
    AttributeRef attr;
    NonResidentHeader h;
    if (volume_->ReadRecord(number, record_) == kOk &&
        FindAttribute(record_, kAttrData, u"", attr) && DecodeNonResident(attr, h) &&
        h.startVcn == 0 && h.compressionUnit != 0) {
        unitShift = h.compressionUnit;
    }
    const uint64_t unitBytes =
        (uint64_t{1} << std::min(unitShift, kMaxCompressionUnit)) * geometry_.clusterBytes;
    if (unitShift > kMaxCompressionUnit || unitBytes > kMaxUnitBytes) return kErrNotSupported;
    content.unitClusters = 1u << unitShift;
    return kOk;
}

Result CFastNtfsRecovery::DecodeUnit(Content& content, uint64_t index) {
    const uint64_t clusterBytes = geometry_.clusterBytes;
    const uint64_t first = index * content.unitClusters;
    content.cachedUnit = ~uint64_t{0};
    content.unit.assign(content.unitClusters * clusterBytes, 0);
    content.stored.clear();
    // The clusters a unit keeps on the volume come first; the rest of it is sparse.
    for (uint64_t v = first; v < first + content.unitClusters; ++v) {
        RunPosition at;
        if (!LocateVcn(content.data.runs, v, at) || content.data.runs[at.index].sparse) break;
        const size_t size = content.stored.size();
        content.stored.resize(size + clusterBytes);
        const std::span<uint8_t> target(content.stored.data() + size, clusterBytes);
        if (Result r =
                volume_->ReadClusterBytes(content.data.runs[at.index].lcn + at.offset, 0, target);
            r != kOk) {
            return r;
        }
    }
    if (content.stored.size() == content.unit.size()) {
        content.unit.swap(content.stored);  // a unit that did not shrink is stored whole
    } else if (!content.stored.empty() && !DecompressLznt1(content.stored, content.unit)) {
        return kErrCrc;
    }
    content.cachedUnit = index;
    return kOk;
}

Result CFastNtfsRecovery::ReadContent(Content& content, uint64_t offset, std::span<uint8_t> out) {
    if (content.unitClusters == 0) return volume_->ReadAttributeBytes(content.data, offset, out);
    const uint64_t unitBytes = uint64_t{content.unitClusters} * geometry_.clusterBytes;
    size_t done = 0;
    while (done < out.size()) {
        const uint64_t position = offset + done;
        const uint64_t index = position / unitBytes;
        if (index != content.cachedUnit) {
            if (Result r = DecodeUnit(content, index); r != kOk) return r;
        }
        const uint64_t within = position % unitBytes;
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(unitBytes - within, out.size() - done));
        std::memcpy(out.data() + done, content.unit.data() + within, n);
        done += n;
    }
    // Bytes past the initialized size were never written and read as zeros.
    const uint64_t initialized = content.data.initializedSize;
    if (offset + out.size() > initialized) {
        const size_t from = offset >= initialized ? 0 : static_cast<size_t>(initialized - offset);
        std::fill(out.begin() + static_cast<ptrdiff_t>(from), out.end(), uint8_t{0});
    }
    return kOk;
}

}  // namespace norvale
