#pragma once
// A found file's content as a reader over its unnamed $DATA: the resident value, or the clusters
// its runs name (sparse stretches and bytes past the initialized size read as zeros), with the
// compression units of a compressed file decoded from LZNT1. Copying the stored clusters of a
// compressed file would give bytes that are not the file. Shared by both NTFS engines.

#include <cstdint>
#include <span>
#include <vector>

#include "device/result.h"
#include "ntfs/ntfs_volume.h"

namespace norvale {

class AttributeContent {
  public:
    // Compression unit NTFS writes (2^4 clusters) and the largest one read.
    static constexpr uint16_t kDefaultUnitShift = 4;
    static constexpr uint16_t kMaxUnitShift = 8;
    static constexpr uint64_t kMaxUnitBytes = 4u << 20;

    // Takes the attribute (as NtfsVolume::LoadAttribute or TakeAttribute gave it) and the
    // compression-unit exponent of its first extent (0: the default). `volume` reads the
    // clusters and must outlive this object. kErrNotSupported for a compression unit larger
    // than this reader decodes; the content is then unreadable.
    Result Init(NtfsVolume& volume, AttributeData data, uint16_t compressionUnitShift);

    // Bytes from the start that the attribute describes: its real size, cut to what its runs
    // cover when a damaged list left some out.
    uint64_t Readable() const { return readable_; }
    const AttributeData& Data() const { return data_; }

    // Reads [offset, offset + out.size()), which must lie below Readable(). A compressed unit
    // that does not decode gives kErrCrc; a read error is passed on.
    Result Read(uint64_t offset, std::span<uint8_t> out);

  private:
    Result DecodeUnit(uint64_t index);

    NtfsVolume* volume_ = nullptr;
    AttributeData data_;
    uint64_t readable_ = 0;
    uint32_t unitClusters_ = 0;  // 0 for content stored as it is
    uint64_t cachedUnit_ = ~uint64_t{0};
    std::vector<uint8_t> unit_;  // the last compression unit decoded
    std::vector<uint8_t> stored_;
};

}  // namespace norvale
