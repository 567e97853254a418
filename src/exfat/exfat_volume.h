#pragma once
// The I/O half of the exFAT model: one volume read through a SectorReader. It takes the
// geometry from the boot region, reads heap clusters, follows the FAT through a bounded cache,
// and finds the allocation bitmap, the up-case table and the label in the root directory. The
// bitmap is read in bounded pieces. Everything it reads is checked against the volume and the
// partition first; it never writes.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/result.h"
#include "exfat/boot_region.h"
#include "exfat/fat_chain.h"

namespace norvale {

class SectorReader;

// Root directory clusters read to find the bitmap and the label (they come first in practice).
inline constexpr uint32_t kExfatRootClustersSearched = 64;

class ExfatVolume {
  public:
    ExfatVolume() = default;
    ExfatVolume(const ExfatVolume&) = delete;
    ExfatVolume& operator=(const ExfatVolume&) = delete;
    ExfatVolume(ExfatVolume&&) = default;
    ExfatVolume& operator=(ExfatVolume&&) = default;

    // Reads the boot region at `startLba` and takes the geometry from it; `startLba` and
    // `sectors` (0: up to the medium's end) count the medium's own sectors
    // (SectorReader::MediumSectorSize). The boot checksum must hold (or the backup region's
    // when the main one is damaged). Then looks for the bitmap and label entries in the root
    // directory; a volume without them still opens (HasBitmap() false). Returns the read error,
    // or kErrUnsupportedLayout when no exFAT boot region is there. `reader` must outlive the
    // volume; one thread at a time.
    Result Open(SectorReader& reader, uint64_t startLba, uint64_t sectors);

    const ExfatBootRegion& Boot() const { return boot_; }
    bool IsOpen() const { return reader_ != nullptr; }
    // Byte offset of the volume's first sector on the medium.
    uint64_t StartByte() const { return startByte_; }

    // Reads the whole heap cluster `cluster` (out.size() >= ClusterBytes(); only the first
    // ClusterBytes() bytes are written). kErrInvalidParameter for a cluster outside the heap or
    // past the partition.
    Result ReadCluster(uint32_t cluster, std::span<uint8_t> out);
    // Reads `out.size()` bytes at `offset` bytes into the volume; nothing past the partition.
    Result ReadVolumeBytes(uint64_t offset, std::span<uint8_t> out);

    // The next cluster of a chain, from the active FAT: true only for a link to a heap cluster.
    bool NextCluster(uint32_t cluster, uint32_t& next);
    // Walks a chain through the FAT (see WalkExfatChain).
    ExfatChainEnd WalkChain(uint32_t firstCluster, uint64_t maxClusters,
                            std::vector<uint32_t>& out);

    // The allocation bitmap: true when the cluster's bit is set. False when the cluster is
    // outside the heap, the bitmap does not cover it, or there is no bitmap.
    bool IsClusterInUse(uint32_t cluster);
    bool HasBitmap() const { return bitmapClusters_ != 0; }
    // Heap clusters the bitmap covers (a damaged bitmap may be shorter than the heap).
    uint32_t BitmapClusters() const { return bitmapClusters_; }

    // The next run of free clusters at or after `fromCluster`: `first` and `count` set, true.
    // Clusters a short bitmap does not cover are taken as free here (what was there is unknown,
    // so it is worth reading). False when no free cluster follows, without a bitmap, or when a
    // piece of the bitmap cannot be read. The bitmap is read once per piece, whole used bytes
    // skipped: one call costs at most a pass over the bitmap.
    bool NextFreeRun(uint32_t fromCluster, uint32_t& first, uint32_t& count);

    // Bytes of the volume that can be read (its stated length cut to the partition and medium).
    uint64_t VolumeBytes() const { return volumeBytes_; }

    // The volume label (UTF-8), empty when the volume has none.
    std::string Label() const { return label_; }
    // Free bytes as the bitmap states them: heap clusters whose bit is clear; clusters the
    // bitmap does not cover count as used. 0 without a bitmap or when it cannot be read.
    uint64_t FreeClusters();
    // The same with the reason when it cannot be counted: kErrUnsupportedLayout without a
    // bitmap, kErrReadFault when a piece of it cannot be read.
    Result CountFreeClusters(uint64_t& freeClusters);

  private:
    Result FindRootEntries();
    bool LoadBitmapPiece(uint64_t byteIndex);

    SectorReader* reader_ = nullptr;
    ExfatBootRegion boot_;
    uint64_t startByte_ = 0;
    uint64_t volumeBytes_ = 0;  // bytes of the partition that can be read
    std::unique_ptr<ExfatFatReader> fat_;
    std::string label_;

    // The bitmap: its clusters lie contiguously from bitmapFirst_ in practice, but it is read
    // by following its chain through the FAT, one piece at a time.
    uint32_t bitmapFirst_ = 0;
    uint32_t bitmapClusters_ = 0;  // heap clusters it describes
    std::vector<uint32_t> bitmapChain_;
    std::vector<uint8_t> bitmapPiece_;
    uint64_t bitmapPieceStart_ = ~uint64_t{0};  // byte index of bitmapPiece_[0]
};

}  // namespace norvale
