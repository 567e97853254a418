#include "ntfs/mft_placement.h"

#include <algorithm>

namespace norvale {

bool BuildMftPlacement(uint64_t recordZeroLba, std::span<const DataRun> runs,
                       uint32_t sectorsPerCluster, uint64_t partitionStart, MftPlacement& out) {
    if (runs.empty() || runs.front().sparse || sectorsPerCluster == 0) return false;
    const uint64_t spc = sectorsPerCluster;
    uint64_t firstOffset = 0;  // sectors from the volume's start to record 0
    if (__builtin_mul_overflow(runs.front().lcn, spc, &firstOffset) ||
        firstOffset > recordZeroLba) {
        return false;
    }
    MftPlacement p;
    p.recordZeroLba = recordZeroLba;
    p.sectorsPerCluster = sectorsPerCluster;
    const uint64_t base = recordZeroLba - firstOffset;  // cluster 0 as the runs count it
    p.volumeStart = runs.front().lcn == 0 ? partitionStart : base;
    uint64_t mftSector = 0;
    for (const DataRun& run : runs) {
        uint64_t sectors = 0;
        if (__builtin_mul_overflow(run.length, spc, &sectors)) break;
        if (!run.sparse) {
            uint64_t lba = 0;
            uint64_t end = 0;
            if (__builtin_mul_overflow(run.lcn, spc, &lba) ||
                __builtin_add_overflow(lba, base, &lba) ||
                __builtin_add_overflow(lba, sectors, &end)) {
                break;
            }
            p.extents.push_back({mftSector, sectors, lba});
        }
        if (__builtin_add_overflow(mftSector, sectors, &mftSector)) break;
    }
    if (p.extents.empty()) return false;
    out = std::move(p);
    return true;
}

std::optional<uint64_t> PlaceRecord(const MftPlacement& mft, uint64_t number,
                                    uint32_t sectorsPerRecord) {
    uint64_t sector = 0;
    if (__builtin_mul_overflow(number, uint64_t{sectorsPerRecord}, &sector)) return std::nullopt;
    // The last extent that begins at or before the sector.
    auto it = std::upper_bound(
        mft.extents.begin(), mft.extents.end(), sector,
        [](uint64_t s, const MftPlacement::Extent& e) { return s < e.firstSector; });
    if (it == mft.extents.begin()) return std::nullopt;
    --it;
    if (sector - it->firstSector >= it->sectors) return std::nullopt;
    return it->lba + (sector - it->firstSector);
}

std::optional<uint64_t> ExtrapolateRecord(uint64_t knownLba, uint64_t knownNumber, uint64_t wanted,
                                          uint32_t sectorsPerRecord) {
    uint64_t distance = 0;
    if (wanted >= knownNumber) {
        uint64_t lba = 0;
        if (__builtin_mul_overflow(wanted - knownNumber, uint64_t{sectorsPerRecord}, &distance) ||
            __builtin_add_overflow(knownLba, distance, &lba)) {
            return std::nullopt;
        }
        return lba;
    }
    if (__builtin_mul_overflow(knownNumber - wanted, uint64_t{sectorsPerRecord}, &distance) ||
        distance > knownLba) {
        return std::nullopt;
    }
    return knownLba - distance;
}

}  // namespace norvale
