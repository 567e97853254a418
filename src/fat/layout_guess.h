#pragma once
// Layouts of FAT volumes inferred from what is left of them. A formatted or damaged volume may
// have lost its boot sector, or carry a new one that describes another layout; its old
// subdirectories still open with "." entries that name their own cluster. Two of them at
// consistent distances fix the cluster size and where cluster 2 lies. Pure arithmetic: nothing
// here reads the medium.

#include <cstdint>
#include <optional>
#include <span>

namespace norvale {

// One candidate layout. Sector numbers are absolute LBAs in the medium's sectors.
struct FatLayoutGuess {
    uint32_t sectorsPerCluster = 0;
    uint64_t dataStartLba = 0;  // sector of cluster 2
    // The fixed root directory of FAT12/16 lies in the sectors just before the data area; 0 when
    // the layout has none (FAT32). Layouts inferred from directories assume the usual 32.
    uint32_t rootSectors = 0;
    bool operator==(const FatLayoutGuess&) const = default;
};

inline constexpr uint32_t kUsualFixedRootSectors = 32;      // 512 entries of 512-byte sectors
inline constexpr uint32_t kHighestFatCluster = 0x0FFFFFF6;  // the last a FAT32 entry can name

// A subdirectory's "." entry: the cluster it names and the sector it was found in.
struct DotAnchor {
    uint32_t cluster = 0;
    uint64_t lba = 0;
};

// Sector where `cluster` begins under the guess; cluster 0 is the fixed root. Nothing (for
// cluster 1, for cluster 0 without a fixed root, or for an address below sector 0).
std::optional<uint64_t> GuessClusterLba(const FatLayoutGuess& g, uint32_t cluster);
// Sectors of that cluster: the fixed root's size for cluster 0, the cluster size otherwise.
uint32_t GuessClusterSpan(const FatLayoutGuess& g, uint32_t cluster);
// The cluster whose first sector is `lba` (0 for the first sector of the fixed root).
std::optional<uint32_t> GuessClusterStartingAt(const FatLayoutGuess& g, uint64_t lba);
// The cluster that holds `lba` (0 inside the fixed root); nothing before the data area or
// past the highest cluster.
std::optional<uint32_t> GuessClusterContaining(const FatLayoutGuess& g, uint64_t lba);

// The layout that places both `fresh` and one of the `earlier` anchors, trying them in order:
// the cluster size is their sector distance over their cluster distance, which must divide
// exactly, be a power of two up to 128 and keep cluster 2 at or after sector 0; the larger
// cluster must lie at the larger sector. Anchors naming clusters below 2 count for nothing.
std::optional<FatLayoutGuess> DeriveLayoutGuess(std::span<const DotAnchor> earlier,
                                                const DotAnchor& fresh);

// The guess to place a stray sector at `lba` with: the one whose cluster 2 lies at or below it
// and closest to it, ignoring the first guess when it came from a boot sector and others exist;
// the first guess when none lies below; nothing without guesses.
std::optional<size_t> NearestGuess(std::span<const FatLayoutGuess> guesses,
                                   bool firstFromBootSector, uint64_t lba);

}  // namespace norvale
