#pragma once
// What a source the person picked stands for. A partition, or a medium without partition
// table, is one volume and scans as one source. A whole disk, and any image file that starts
// with a partition table, is a disk: the deleted-file scan runs on each of its partitions, the
// full scan on its partitions and on every stretch between them (so the whole medium is still
// searched, and what is found lands in the partition it lies in), carving reads the whole
// medium as one source. Both front ends build their source lists here.

#include <string>
#include <vector>

#include "device/disk_enumerator.h"
#include "device/result.h"
#include "engine/source_info.h"

namespace norvale {

enum class ScanMode { kDeleted, kFull, kCarve };

struct SourcePlan {
    // In medium order; each with its own tag (enumeration tags for a listed disk's partitions,
    // NextImageTag() for an image's).
    std::vector<SourceInfo> sources;
    // True when the medium held partitions to scan one by one (a disk or partitioned image):
    // results are then shown and recovered per partition.
    bool isDisk = false;
    // Parallel to `sources` when they were picked out of a partition table (every partition, or
    // the one --partition chose): each one's PartitionDisplayName; empty otherwise.
    std::vector<std::string> partitionNames;
    DiskLayout layout;  // the medium's partitions and gaps, as read
    // The table's problems and why a partition cannot be had, one line each, without the path
    // (the front end names the source).
    std::vector<std::string> notes;
};

// Plans the scan of `path` (a partition or disk device, or an image file). `partition` 0 takes
// every partition; N > 0 only partition N (kErrFileNotFound with a note naming the partitions
// there are when there is no such one, kErrInvalidParameter when the medium has no table).
Result PlanSources(const std::string& path, ScanMode mode, int partition, SourcePlan& out);

// "Partition 1 (CARD, FAT32)", "Partition 2 (NTFS)", "Partition 3" (nothing recognised),
// "Unallocated space at 44 MiB (10 MiB)": how a partition of a disk is named in listings,
// trees and JSON.
std::string PartitionDisplayName(const PartitionRecord& record);
// The same made fit for a folder name: no "/", no control characters, no leading dot.
std::string PartitionFolderName(const PartitionRecord& record);

}  // namespace norvale
