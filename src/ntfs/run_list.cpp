#include "ntfs/run_list.h"

#include <limits>

#include "device/bytes.h"

namespace norvale {
namespace {

constexpr size_t kMappingPairsOffsetField = 0x20;
constexpr size_t kNonResidentHeaderBytes = 0x40;
constexpr uint64_t kMaxVcn = uint64_t{std::numeric_limits<int64_t>::max()};

// Little-endian unsigned value of `width` bytes (1..8).
uint64_t ReadUnsigned(const uint8_t* p, unsigned width) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= uint64_t{p[i]} << (8 * i);
    return v;
}

// The same, sign-extended from its top byte.
int64_t ReadSigned(const uint8_t* p, unsigned width) {
    uint64_t v = ReadUnsigned(p, width);
    if (width < 8 && (p[width - 1] & 0x80) != 0) v |= ~uint64_t{0} << (8 * width);
    return static_cast<int64_t>(v);
}

// The cluster the running sum of deltas stands at after `runs`.
int64_t RunningLcn(std::span<const DataRun> runs) {
    for (size_t i = runs.size(); i-- > 0;) {
        if (!runs[i].sparse) return static_cast<int64_t>(runs[i].lcn);
    }
    return 0;
}

}  // namespace

Result DecodeMappingPairs(std::span<const uint8_t> pairs, uint64_t volumeClusters,
                          std::vector<DataRun>& runs) {
    const int64_t listBase = RunningLcn(runs);
    int64_t previous = listBase;  // absolute cluster of the last non-sparse run appended
    int64_t lcn = 0;              // this extent's own running sum, from cluster 0
    uint64_t vcns = RunClusters(runs);
    size_t cursor = 0;
    while (cursor < pairs.size()) {
        const uint8_t header = pairs[cursor];
        if (header == 0) return kOk;
        const unsigned lengthBytes = header & 0x0F;
        const unsigned offsetBytes = header >> 4;
        if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 ||
            1 + lengthBytes + offsetBytes > pairs.size() - cursor) {
            return kErrInvalidParameter;
        }
        const uint8_t* p = pairs.data() + cursor + 1;
        DataRun run;
        run.length = ReadUnsigned(p, lengthBytes);
        if (run.length == 0 || run.length > kMaxVcn - vcns) return kErrInvalidParameter;
        if (offsetBytes == 0) {
            run.sparse = true;
        } else {
            const int64_t delta = ReadSigned(p + lengthBytes, offsetBytes);
            if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0) return kErrInvalidParameter;
            const uint64_t first = static_cast<uint64_t>(lcn);
            if (volumeClusters != 0 &&
                (first >= volumeClusters || run.length > volumeClusters - first)) {
                return kErrInvalidParameter;
            }
            run.lcn = first;
            run.lcnDelta = lcn - previous;
            previous = lcn;
        }
        vcns += run.length;
        runs.push_back(run);
        cursor += 1 + lengthBytes + offsetBytes;
    }
    return kErrInvalidParameter;  // no end byte inside the attribute
}

Result DecodeRunList(std::span<const uint8_t> attribute, uint64_t volumeClusters,
                     std::vector<DataRun>& runs) {
    if (attribute.size() < kNonResidentHeaderBytes || attribute[0x08] != 1) {
        return kErrInvalidParameter;
    }
    const size_t offset = Le16(attribute.data() + kMappingPairsOffsetField);
    if (offset < kNonResidentHeaderBytes || offset >= attribute.size()) return kErrInvalidParameter;
    return DecodeMappingPairs(attribute.subspan(offset), volumeClusters, runs);
}

uint64_t RunClusters(std::span<const DataRun> runs) {
    uint64_t total = 0;
    for (const DataRun& r : runs) {
        if (__builtin_add_overflow(total, r.length, &total)) return ~uint64_t{0};
    }
    return total;
}

bool LocateVcn(std::span<const DataRun> runs, uint64_t vcn, RunPosition& out) {
    uint64_t start = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        if (vcn - start < runs[i].length) {
            out.index = i;
            out.offset = vcn - start;
            return true;
        }
        start += runs[i].length;
        if (start > vcn) return false;  // only after a wrap of the sum
    }
    return false;
}

uint64_t ContiguousRecords(const NtfsGeometry& g, std::span<const DataRun> mftRuns,
                           uint64_t firstRecord, uint64_t limit, uint64_t& lba) {
    if (g.clusterBytes == 0 || g.recordBytes == 0 || g.bytesPerSector == 0 || limit == 0) {
        return 0;
    }
    unsigned __int128 byte = (unsigned __int128)firstRecord * g.recordBytes;
    const uint64_t vcn = static_cast<uint64_t>(byte / g.clusterBytes);
    if (byte / g.clusterBytes > kMaxVcn) return 0;
    RunPosition pos;
    if (!LocateVcn(mftRuns, vcn, pos) || mftRuns[pos.index].sparse) return 0;
    const DataRun& run = mftRuns[pos.index];
    const uint64_t within = static_cast<uint64_t>(byte % g.clusterBytes);
    const unsigned __int128 runBytesLeft =
        (unsigned __int128)(run.length - pos.offset) * g.clusterBytes - within;
    const unsigned __int128 whole = runBytesLeft / g.recordBytes;
    if (whole == 0) return 0;
    lba = g.partitionStartLba + (run.lcn + pos.offset) * g.sectorsPerCluster +
          within / g.bytesPerSector;
    return whole < limit ? static_cast<uint64_t>(whole) : limit;
}

std::optional<uint64_t> RecordToLba(const NtfsGeometry& g, std::span<const DataRun> mftRuns,
                                    uint64_t recordNumber) {
    if (g.clusterBytes == 0 || g.bytesPerSector == 0) return std::nullopt;
    const unsigned __int128 byte = (unsigned __int128)recordNumber * g.recordBytes;
    if (byte / g.clusterBytes > kMaxVcn) return std::nullopt;
    RunPosition pos;
    if (!LocateVcn(mftRuns, static_cast<uint64_t>(byte / g.clusterBytes), pos) ||
        mftRuns[pos.index].sparse) {
        return std::nullopt;
    }
    const uint64_t within = static_cast<uint64_t>(byte % g.clusterBytes);
    return g.partitionStartLba + (mftRuns[pos.index].lcn + pos.offset) * g.sectorsPerCluster +
           within / g.bytesPerSector;
}

}  // namespace norvale
