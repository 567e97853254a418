#pragma once
// Run lists: the mapping pairs of a non-resident attribute, decoded into runs of clusters, and
// the arithmetic that finds a virtual cluster or an MFT record on the volume through them.
// Pure functions; nothing reads the medium.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device/result.h"
#include "ntfs/boot_sector.h"

namespace norvale {

// One run of an attribute's clusters. `lcnDelta` is relative to the cluster of the previous
// non-sparse run of the same list (the first to cluster 0), so a running sum of the deltas
// gives every run's cluster; `lcn` is that sum, already formed. A sparse run has no clusters
// on the volume: its delta is 0, its `lcn` is 0, and its content reads as zeros.
struct DataRun {
    uint64_t length = 0;  // clusters
    int64_t lcnDelta = 0;
    uint64_t lcn = 0;
    bool sparse = false;

    bool operator==(const DataRun&) const = default;
};

// Decodes the mapping pairs of a non-resident attribute and appends the runs to `runs`.
// `attribute` is exactly the attribute (AttributeRef::bytes): decoding starts at the mapping-
// pairs offset (0x20) and is bounded by the attribute's own end, however long the list.
// Length and offset fields take up to 8 bytes each; a run with no offset field is sparse.
// `volumeClusters` bounds the volume (0: no bound): a run whose clusters do not all lie on the
// volume is refused. Every attribute's pairs count their clusters from 0; when `runs` already
// holds runs (an earlier extent of the same attribute) the first delta appended is rewritten
// relative to them, so the running sum stays right over the whole list.
// Returns kOk when the list ends with its 0 byte inside the attribute. Otherwise
// kErrInvalidParameter: a resident or too short attribute, a mapping-pairs offset outside it,
// a field wider than 8 bytes, a run of length 0, a run refused as above, or no end byte. The
// runs decoded before the fault stay appended.
Result DecodeRunList(std::span<const uint8_t> attribute, uint64_t volumeClusters,
                     std::vector<DataRun>& runs);
// The same over the mapping-pairs bytes themselves.
Result DecodeMappingPairs(std::span<const uint8_t> pairs, uint64_t volumeClusters,
                          std::vector<DataRun>& runs);

// Clusters the runs cover (sparse runs included); saturates instead of wrapping.
uint64_t RunClusters(std::span<const DataRun> runs);

// Where virtual cluster `vcn` of an attribute lies: the run holding it and the clusters before
// it in that run. False past the last run.
struct RunPosition {
    size_t index = 0;
    uint64_t offset = 0;
};
bool LocateVcn(std::span<const DataRun> runs, uint64_t vcn, RunPosition& out);

// Absolute LBA of the first sector of MFT record `recordNumber`, mapped through the MFT's
// runs; nothing when the record lies past the runs or in a sparse run. A record that begins
// exactly where a run ends lies in the next run.
std::optional<uint64_t> RecordToLba(const NtfsGeometry& g, std::span<const DataRun> mftRuns,
                                    uint64_t recordNumber);

// How many whole records from `firstRecord` on (at most `limit`) lie one after the other in a
// single run, and the LBA of the first. 0 when record `firstRecord` is not mapped, lies in a
// sparse run, or is split across two runs (possible only with clusters smaller than a record).
uint64_t ContiguousRecords(const NtfsGeometry& g, std::span<const DataRun> mftRuns,
                           uint64_t firstRecord, uint64_t limit, uint64_t& lba);

}  // namespace norvale
