#pragma once
// Where an MFT found on a source keeps its records, worked out from the LBA at which its record
// 0 was found and the runs of that record's $DATA; and, for records of an MFT the scan has not
// met, where a record lies if the MFT runs on contiguously from a record whose place is known.
// Pure arithmetic: nothing reads the medium.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ntfs/run_list.h"

namespace norvale {

struct MftPlacement {
    uint64_t recordZeroLba = 0;  // where record 0 was found
    uint64_t volumeStart = 0;    // LBA of the volume's cluster 0
    uint32_t sectorsPerCluster = 0;
    // One stretch of the MFT on the source: `sectors` sectors from MFT sector `firstSector` on,
    // beginning at `lba`. In MFT order; sparse runs hold no records and are left out.
    struct Extent {
        uint64_t firstSector = 0;
        uint64_t sectors = 0;
        uint64_t lba = 0;
    };
    std::vector<Extent> extents;
};

// Places the MFT whose record 0 was found at `recordZeroLba` with the runs of its $DATA: the
// volume begins first LCN x spc sectors before it (at `partitionStart` when the first LCN is 0).
// False when the runs cannot describe an MFT there: none, a sparse first run, a volume that
// would begin before sector 0, an LBA past 2^64, or spc 0.
bool BuildMftPlacement(uint64_t recordZeroLba, std::span<const DataRun> runs,
                       uint32_t sectorsPerCluster, uint64_t partitionStart, MftPlacement& out);

// LBA of the first sector of record `number` in this MFT; nothing when its runs do not hold
// the record's first sector.
std::optional<uint64_t> PlaceRecord(const MftPlacement& mft, uint64_t number,
                                    uint32_t sectorsPerRecord);

// LBA of record `wanted` when the MFT runs on without a break from record `knownNumber` at
// `knownLba` (in either direction); nothing when that would lie before sector 0 or past 2^64.
std::optional<uint64_t> ExtrapolateRecord(uint64_t knownLba, uint64_t knownNumber, uint64_t wanted,
                                          uint32_t sectorsPerRecord);

}  // namespace norvale
