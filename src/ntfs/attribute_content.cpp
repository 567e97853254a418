#include "ntfs/attribute_content.h"

#include <algorithm>
#include <cstring>

#include "ntfs/lznt1.h"
#include "ntfs/mft_record.h"
#include "ntfs/run_list.h"

namespace norvale {

Result AttributeContent::Init(NtfsVolume& volume, AttributeData data,
                              uint16_t compressionUnitShift) {
    volume_ = &volume;
    data_ = std::move(data);
    readable_ = 0;
    unitClusters_ = 0;
    cachedUnit_ = ~uint64_t{0};
    if (data_.resident) {
        readable_ = data_.residentValue.size();
        return kOk;
    }
    const uint64_t clusterBytes = volume.Geometry().clusterBytes;
    // A damaged list may describe only the start of the content.
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(RunClusters(data_.runs), clusterBytes, &bytes)) {
        bytes = ~uint64_t{0};
    }
    readable_ = std::min(data_.realSize, bytes);
    if ((data_.flags & kAttrFlagCompressed) == 0) return kOk;

    const uint16_t shift = compressionUnitShift != 0 ? compressionUnitShift : kDefaultUnitShift;
    if (shift > kMaxUnitShift || (uint64_t{1} << shift) * clusterBytes > kMaxUnitBytes) {
        readable_ = 0;
        return kErrNotSupported;
    }
    unitClusters_ = 1u << shift;
    return kOk;
}

Result AttributeContent::DecodeUnit(uint64_t index) {
    const uint64_t clusterBytes = volume_->Geometry().clusterBytes;
    const uint64_t first = index * unitClusters_;
    cachedUnit_ = ~uint64_t{0};
    unit_.assign(unitClusters_ * clusterBytes, 0);
    stored_.clear();
    // The clusters a unit keeps on the volume come first; the rest of it is sparse.
    for (uint64_t v = first; v < first + unitClusters_; ++v) {
        RunPosition at;
        if (!LocateVcn(data_.runs, v, at) || data_.runs[at.index].sparse) break;
        const size_t size = stored_.size();
        stored_.resize(size + clusterBytes);
        const std::span<uint8_t> target(stored_.data() + size, clusterBytes);
        if (Result r = volume_->ReadClusterBytes(data_.runs[at.index].lcn + at.offset, 0, target);
            r != kOk) {
            return r;
        }
    }
    if (stored_.size() == unit_.size()) {
        unit_.swap(stored_);  // a unit that did not shrink is stored whole
    } else if (!stored_.empty() && !DecompressLznt1(stored_, unit_)) {
        return kErrCrc;
    }
    cachedUnit_ = index;
    return kOk;
}

Result AttributeContent::Read(uint64_t offset, std::span<uint8_t> out) {
    if (!volume_) return kErrInvalidHandle;
    if (unitClusters_ == 0) return volume_->ReadAttributeBytes(data_, offset, out);
    const uint64_t unitBytes = uint64_t{unitClusters_} * volume_->Geometry().clusterBytes;
    size_t done = 0;
    while (done < out.size()) {
        const uint64_t position = offset + done;
        const uint64_t index = position / unitBytes;
        if (index != cachedUnit_) {
            if (Result r = DecodeUnit(index); r != kOk) return r;
        }
        const uint64_t within = position % unitBytes;
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(unitBytes - within, out.size() - done));
        std::memcpy(out.data() + done, unit_.data() + within, n);
        done += n;
    }
    // Bytes past the initialized size were never written and read as zeros.
    const uint64_t initialized = data_.initializedSize;
    if (offset + out.size() > initialized) {
        const size_t from = offset >= initialized ? 0 : static_cast<size_t>(initialized - offset);
        std::fill(out.begin() + static_cast<ptrdiff_t>(from), out.end(), uint8_t{0});
    }
    return kOk;
}

}  // namespace norvale
