#pragma once
// One entry of a list of sources to scan: a partition record or an image file, the engine
// built for it, and its tag. Every source of one list carries a distinct tag: partitions keep
// their enumeration position number (small numbers), images are numbered from kImageTagBase
// up, so a partition and an image never share a tag.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/disk_enumerator.h"
#include "engine/recovery_parse.h"

namespace norvale {

struct RecoveredItem;

inline constexpr uint16_t kImageTagBase = 0x8000;

struct SourceInfo {
    std::optional<PartitionRecord> partition;    // empty for an image
    std::unique_ptr<IFileRecoveryParse> engine;  // set once a scan built it; owned here
    std::string imagePath;                       // empty for a partition
    uint16_t imageTag = 0;

    bool IsPartition() const { return imagePath.empty() && partition.has_value(); }
    uint16_t Tag() const { return IsPartition() ? partition->driveLetter : imageTag; }
};

// The next image tag for a list: kImageTagBase + 1 for the first image of a run, then + 2, ...
uint16_t NextImageTag();

// The engine of the first source whose tag equals item.sourceTag; null when none matches.
IFileRecoveryParse* FindEngineForItem(const std::vector<SourceInfo>& sources,
                                      const RecoveredItem& item);

}  // namespace norvale
