#pragma once
// exFAT cluster chains: the pure walk over FAT bytes, and a FAT reader that fetches a large FAT
// in bounded pieces through a SectorReader for callers that follow chains on a real volume.

#include <cstdint>
#include <span>
#include <vector>

#include "device/result.h"
#include "exfat/boot_region.h"

namespace norvale {

class SectorReader;

inline constexpr uint32_t kExfatEndOfChain = 0xFFFFFFFF;
inline constexpr uint32_t kExfatBadCluster = 0xFFFFFFF7;
inline constexpr uint32_t kExfatFreeCluster = 0;

// How a walk ended.
enum class ExfatChainEnd {
    kEndOfChain,  // reached 0xFFFFFFFF
    kLimit,       // maxClusters clusters taken without an end
    kFree,        // a link to cluster 0 (a freed chain)
    kBad,         // a bad-cluster mark or another value no chain holds
    kOutOfHeap,   // a cluster number outside 2 .. clusterCount + 1 (or past the FAT bytes given)
    kLoop,        // a cluster came back
    kUnreadable,  // the FAT could not be read (ExfatFatReader only)
};

// Walks the chain from `firstCluster` through `fatBytes` (the FAT from entry 0), appending the
// clusters to `out` (cleared first), at most min(maxClusters, clusterCount) of them, so a loop
// ends the walk. `firstCluster` must be a heap cluster (else kOutOfHeap, nothing appended).
ExfatChainEnd WalkExfatChain(uint32_t firstCluster, uint32_t clusterCount,
                             std::span<const uint8_t> fatBytes, uint64_t maxClusters,
                             std::vector<uint32_t>& out);

// True when the chain reaches its end-of-chain mark within the limits; `out` holds the clusters
// walked either way (never more than maxClusters or clusterCount).
bool FollowExfatChain(uint32_t firstCluster, uint32_t clusterCount,
                      std::span<const uint8_t> fatBytes, uint64_t maxClusters,
                      std::vector<uint32_t>& out);

// Reads the FAT entries of one volume on demand, keeping a few pieces of at most 64 KiB: memory
// stays bounded however large the FAT. `reader` must outlive it; one thread at a time.
class ExfatFatReader {
  public:
    // `volumeStartByte`: byte offset of the volume's first sector on the reader's medium.
    // `volumeBytes`: bytes of the partition (0: up to the medium's end); nothing past it is read.
    ExfatFatReader(SectorReader& reader, const ExfatBootRegion& boot, uint64_t volumeStartByte,
                   uint64_t volumeBytes);

    // The FAT entry of `cluster` (0 .. clusterCount + 1) in the active FAT. False when the
    // cluster is outside the FAT or the piece cannot be read.
    bool Entry(uint32_t cluster, uint32_t& value);
    // The cluster after `cluster`: true only for a link to another heap cluster.
    bool Next(uint32_t cluster, uint32_t& next);
    // Walks a chain like WalkExfatChain, reading the FAT piecewise.
    ExfatChainEnd Walk(uint32_t firstCluster, uint64_t maxClusters, std::vector<uint32_t>& out);

  private:
    struct Piece {
        uint64_t first = ~uint64_t{0};  // first FAT entry the piece holds
        std::vector<uint8_t> bytes;
        uint64_t lastUse = 0;
    };
    static constexpr size_t kPieces = 4;
    static constexpr uint32_t kPieceBytes = 0x10000;

    SectorReader& reader_;
    ExfatBootRegion boot_;
    uint64_t fatStartByte_ = 0;
    uint64_t volumeStart_ = 0;
    uint64_t volumeBytes_ = 0;
    Piece pieces_[kPieces];
    uint64_t clock_ = 0;
};

// Reads `out.size()` bytes at byte `offset` of the reader's medium, through whole medium sectors
// (a bounce buffer for unaligned ends). The reader's error, or kErrReadFault on a short read.
Result ReadMediumBytes(SectorReader& reader, uint64_t offset, std::span<uint8_t> out);

}  // namespace norvale
