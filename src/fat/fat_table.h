#pragma once
// The file allocation table of one volume, read through a window of at most 16 MiB: entry
// decoding for FAT12, FAT16 and FAT32, and the chain rule of the recovery engines, which
// reads a cleared entry (as deletion leaves it) as "the file goes on in the next cluster".

#include <cstdint>
#include <vector>

#include "device/result.h"
#include "fat/boot_sector.h"

namespace norvale {

class SectorReader;

class FatTable {
  public:
    static constexpr uint32_t kWindowBytes = 0x1000000;  // 16 MiB

    // `reader` and `geometry` are copied by reference and value respectively: the reader must
    // outlive the table, and is used only from the thread that uses the table. `windowBytes`
    // is rounded down to whole sectors, at least two so that a FAT12 entry always fits; tests
    // pass small windows to exercise reloads.
    FatTable(SectorReader& reader, const FatGeometry& geometry,
             uint32_t windowBytes = kWindowBytes);

    // Allocates the window (no larger than one FAT copy) and loads it from the FAT's first
    // sector. When the allocation fails the table has no window and every entry reads as
    // "continues in the next cluster". Returns the load's result; a failed load leaves the
    // window empty, and later reads try again at the entry they need.
    Result Load();
    bool HasWindow() const { return !window_.empty(); }

    // Reads the FAT entry of `cluster`: 12 bits on FAT12, 16 on FAT16, 32 (all bits, reserved
    // top bits included) on FAT32. kErrInvalidParameter for a cluster whose entry lies outside
    // the FAT copy; otherwise the reader's error, or kErrReadFault when it delivered nothing.
    // A failed reload keeps the window's previous contents and position. Without a window the
    // value is cluster + 1.
    Result ReadFatEntry(uint32_t cluster, uint32_t& value);

    // The cluster after `cluster` in its chain, or 0 at the end of the chain. An unreadable
    // entry counts as cleared. A cleared entry continues at cluster + 1 when that cluster's
    // entry is cleared too, and ends the chain otherwise. A link that leaves the data area
    // (a reserved or bad-cluster value, a number past the volume) ends the chain. Never fails.
    uint32_t NextCluster(uint32_t cluster);

    // The chain rule for copying a deleted file's data: like NextCluster, except that a cleared
    // entry whose following cluster is in use continues at the next cluster that is free.
    // Deletion leaves no chain, and a file written into a hole usually goes on after the live
    // file that bounds it; stopping at the live file would cut the copy short.
    uint32_t NextFreeClusterForCopy(uint32_t cluster);

    const FatGeometry& Geometry() const { return geometry_; }
    // Sectors read into the window so far (tests watch reloads with it).
    uint64_t SectorsLoaded() const { return sectorsLoaded_; }

  private:
    Result LoadWindowAt(uint64_t firstSector);
    uint64_t ReadableEndLba() const;

    SectorReader& reader_;
    FatGeometry geometry_;
    uint32_t windowSectors_ = 0;
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0;  // first FAT sector held, relative to the FAT start
    uint64_t windowValid_ = 0;  // sectors of the window that hold FAT data
    uint64_t sectorsLoaded_ = 0;
};

// Follows one cluster chain and yields every cluster at most once. The walk ends at the end of
// the chain, at a link back to a cluster already yielded (a loop in a damaged FAT), or after
// `maxClusters` clusters. Memory is one bit per cluster up to the highest cluster met.
enum class ChainRule : uint8_t {
    kContiguous,  // NextCluster: a cleared chain runs on only into a free next cluster
    kSkipInUse,   // NextFreeClusterForCopy: a cleared chain runs on past clusters in use
};

class ChainWalk {
  public:
    ChainWalk(FatTable& table, uint32_t firstCluster, uint64_t maxClusters = ~uint64_t{0},
              ChainRule rule = ChainRule::kContiguous);

    bool Done() const { return current_ == 0; }
    uint32_t Cluster() const { return current_; }
    void Next();
    // True when the walk ended because the chain came back to a cluster it had already passed.
    bool LoopFound() const { return loopFound_; }
    uint64_t Count() const { return count_; }

  private:
    bool Mark(uint32_t cluster);  // false when the cluster was seen before

    FatTable& table_;
    uint32_t current_ = 0;
    uint64_t count_ = 0;
    uint64_t maxClusters_;
    ChainRule rule_;
    bool loopFound_ = false;
    std::vector<uint64_t> seen_;
};

}  // namespace norvale
