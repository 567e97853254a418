#include "fat/layout_guess.h"

namespace norvale {
namespace {

bool IsClusterSize(uint64_t spc) {
    return spc >= 1 && spc <= 128 && (spc & (spc - 1)) == 0;
}

}  // namespace

std::optional<uint64_t> GuessClusterLba(const FatLayoutGuess& g, uint32_t cluster) {
    if (cluster == 0) {
        if (g.rootSectors == 0 || g.dataStartLba < g.rootSectors) return std::nullopt;
        return g.dataStartLba - g.rootSectors;
    }
    if (cluster < 2 || g.sectorsPerCluster == 0) return std::nullopt;
    return g.dataStartLba + uint64_t{cluster - 2} * g.sectorsPerCluster;
}

uint32_t GuessClusterSpan(const FatLayoutGuess& g, uint32_t cluster) {
    return cluster == 0 ? g.rootSectors : g.sectorsPerCluster;
}

std::optional<uint32_t> GuessClusterStartingAt(const FatLayoutGuess& g, uint64_t lba) {
    if (g.sectorsPerCluster == 0) return std::nullopt;
    if (lba < g.dataStartLba) {
        if (g.rootSectors != 0 && g.dataStartLba - lba == g.rootSectors) return 0u;
        return std::nullopt;
    }
    const uint64_t d = lba - g.dataStartLba;
    if (d % g.sectorsPerCluster != 0) return std::nullopt;
    const uint64_t cluster = d / g.sectorsPerCluster + 2;
    if (cluster > kHighestFatCluster) return std::nullopt;
    return static_cast<uint32_t>(cluster);
}

std::optional<uint32_t> GuessClusterContaining(const FatLayoutGuess& g, uint64_t lba) {
    if (g.sectorsPerCluster == 0) return std::nullopt;
    if (lba < g.dataStartLba) {
        if (g.dataStartLba - lba <= g.rootSectors) return 0u;
        return std::nullopt;
    }
    const uint64_t cluster = (lba - g.dataStartLba) / g.sectorsPerCluster + 2;
    if (cluster > kHighestFatCluster) return std::nullopt;
    return static_cast<uint32_t>(cluster);
}

std::optional<FatLayoutGuess> DeriveLayoutGuess(std::span<const DotAnchor> earlier,
                                                const DotAnchor& fresh) {
    if (fresh.cluster < 2) return std::nullopt;
    for (const DotAnchor& other : earlier) {
        if (other.cluster < 2 || other.cluster == fresh.cluster) continue;
        const DotAnchor& low = other.cluster < fresh.cluster ? other : fresh;
        const DotAnchor& high = other.cluster < fresh.cluster ? fresh : other;
        if (high.lba <= low.lba) continue;
        const uint64_t sectors = high.lba - low.lba;
        const uint64_t clusters = uint64_t{high.cluster} - low.cluster;
        if (sectors % clusters != 0) continue;
        const uint64_t spc = sectors / clusters;
        if (!IsClusterSize(spc)) continue;
        const uint64_t before = spc * (low.cluster - 2);
        if (before > low.lba) continue;  // cluster 2 would lie before the medium
        FatLayoutGuess g;
        g.sectorsPerCluster = static_cast<uint32_t>(spc);
        g.dataStartLba = low.lba - before;
        g.rootSectors = kUsualFixedRootSectors;
        return g;
    }
    return std::nullopt;
}

std::optional<size_t> NearestGuess(std::span<const FatLayoutGuess> guesses,
                                   bool firstFromBootSector, uint64_t lba) {
    if (guesses.empty()) return std::nullopt;
    const size_t first = (firstFromBootSector && guesses.size() >= 2) ? 1 : 0;
    std::optional<size_t> best;
    for (size_t i = first; i < guesses.size(); ++i) {
        const uint64_t start = guesses[i].dataStartLba;
        if (start > lba) continue;
        if (!best || start > guesses[*best].dataStartLba) best = i;
    }
    return best ? best : std::optional<size_t>(0);
}

}  // namespace norvale
