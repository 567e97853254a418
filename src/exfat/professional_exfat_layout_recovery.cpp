// Working out where the old volumes' heaps began and how large their clusters were: folder
// links voted over candidate layouts, boot sectors met in the pass, and the FATs that go with
// the layouts found.

#include <algorithm>
#include <bit>
#include <map>
#include <set>

#include "carving/identify.h"
#include "carving/signature_table.h"
#include "exfat/professional_exfat_recovery.h"

namespace norvale {
namespace {

constexpr uint32_t kMaxSectorsPerCluster = 1 << 16;  // 32 MiB clusters of 512-byte sectors
constexpr uint32_t kMaxGuessedSectorsPerCluster = 2048;
constexpr size_t kMaxCandidates = 4096;
constexpr size_t kPairsPerSize = 16;
constexpr size_t kContentChecks = 8;
constexpr size_t kContentCandidates = 64;  // tied layouts whose files are looked at

// `n` values of `all` spread over it evenly, in order.
std::vector<uint32_t> Sample(const std::vector<uint32_t>& all, size_t n) {
    if (all.size() <= n) return all;
    std::vector<uint32_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) out.push_back(all[i * all.size() / n]);
    return out;
}

}  // namespace

std::optional<uint64_t> CProfessionalExfatRecovery::ClusterLba(const ExfatLayout& layout,
                                                               uint64_t cluster) const {
    if (cluster < 2 || layout.sectorsPerCluster == 0) return std::nullopt;
    const uint64_t end = reader_.TotalSectors();
    if (layout.heapLba >= end) return std::nullopt;
    if ((cluster - 2) > (end - layout.heapLba) / layout.sectorsPerCluster) return std::nullopt;
    const uint64_t lba = layout.heapLba + (cluster - 2) * layout.sectorsPerCluster;
    if (lba >= end) return std::nullopt;
    return lba;
}

int CProfessionalExfatRecovery::ScoreLinks(const ExfatLayout& layout,
                                           const std::vector<uint32_t>& voters) const {
    int links = 0;
    for (const uint32_t cluster : voters) {
        const auto lba = ClusterLba(layout, cluster);
        if (lba && std::binary_search(starts_.begin(), starts_.end(), *lba)) ++links;
    }
    return links;
}

int CProfessionalExfatRecovery::ContentScore(const ExfatLayout& layout) {
    // Files whose names promise a kind the catalogue knows: under the right layout their first
    // clusters hold that kind, under a wrong one the middle of something else.
    int score = 0;
    size_t checked = 0;
    std::vector<uint8_t> sector;
    for (const FoundSet& s : sets_) {
        if (s.isFolder || s.dataLength == 0 || s.firstCluster < 2) continue;
        const std::string_view ext = ExtensionOf(NameOf(s));
        if (ext.empty() || FirstRowWithExtension(ext) == nullptr) continue;
        const auto lba = ClusterLba(layout, s.firstCluster);
        if (!lba || !ReadSectors(*lba, 1, sector)) continue;
        score += CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, sectorSize_, *lba)
                     ? 1
                     : -1;
        if (++checked == kContentChecks) break;
    }
    return score;
}

void CProfessionalExfatRecovery::ChooseLayouts() {
    layouts_.clear();
    // Folder links, and the cluster sizes their allocations allow: a directory's DataLength is
    // whole clusters, most often one.
    std::vector<uint32_t> links;
    std::map<uint32_t, int> sizeVotes;
    for (const FoundSet& s : sets_) {
        if (!s.isFolder || s.firstCluster < 2) continue;
        links.push_back(s.firstCluster);
        if (s.dataLength != 0 && s.dataLength % sectorSize_ == 0) {
            const uint64_t q = s.dataLength / sectorSize_;
            const uint64_t low = q & (~q + 1);
            if (low <= kMaxSectorsPerCluster) ++sizeVotes[static_cast<uint32_t>(low)];
        }
    }
    std::sort(links.begin(), links.end());
    links.erase(std::unique(links.begin(), links.end()), links.end());

    std::vector<std::pair<int, uint32_t>> bySize;
    for (const auto& [spc, votes] : sizeVotes) bySize.emplace_back(votes, spc);
    std::sort(bySize.rbegin(), bySize.rend());
    std::vector<uint32_t> sizes;
    for (size_t i = 0; i < bySize.size() && i < 3; ++i) sizes.push_back(bySize[i].second);
    for (const ExfatLayout& b : bootCandidates_) sizes.push_back(b.sectorsPerCluster);
    if (sizes.empty() && links.size() >= 2) {
        for (uint32_t spc = 1; spc <= kMaxGuessedSectorsPerCluster; spc *= 2) sizes.push_back(spc);
    }
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());

    std::vector<uint32_t> remaining = links;
    while (layouts_.size() < limits_.maxLayouts) {
        const std::vector<uint32_t> voters = Sample(remaining, limits_.maxVoters);
        std::vector<ExfatLayout> candidates;
        for (const ExfatLayout& b : bootCandidates_) {
            if (std::find(layouts_.begin(), layouts_.end(), b) == layouts_.end()) {
                candidates.push_back(b);
            }
        }
        std::set<std::pair<uint64_t, uint32_t>> seen;
        auto add = [&](uint64_t heap, uint32_t spc) {
            if (candidates.size() >= kMaxCandidates || !seen.emplace(heap, spc).second) return;
            const ExfatLayout layout{heap, spc, false, 0};
            for (const ExfatLayout& c : candidates) {
                if (c == layout) return;
            }
            if (std::find(layouts_.begin(), layouts_.end(), layout) != layouts_.end()) return;
            candidates.push_back(layout);
        };
        // Two folders a and b < c... whose directories were both seen lie (b - a) clusters apart:
        // every pair of directory starts that far apart proposes a heap start.
        for (const uint32_t spc : sizes) {
            if (voters.size() == 1) {
                const uint64_t before = uint64_t{voters[0] - 2} * spc;
                for (size_t i = 0; i < starts_.size() && i < 256; ++i) {
                    if (starts_[i] >= before) add(starts_[i] - before, spc);
                }
                continue;
            }
            const size_t pairs = std::min(kPairsPerSize, voters.size() > 0 ? voters.size() - 1 : 0);
            for (size_t p = 0; p < pairs; ++p) {
                const size_t i = p * (voters.size() - 1) / pairs;
                const uint32_t a = voters[i], b = voters[i + 1];
                const uint64_t apart = uint64_t{b - a} * spc;
                const uint64_t before = uint64_t{a - 2} * spc;
                size_t j = 0;
                for (const uint64_t lba : starts_) {
                    const uint64_t want = lba + apart;
                    while (j < starts_.size() && starts_[j] < want) ++j;
                    if (j == starts_.size()) break;
                    if (starts_[j] == want && lba >= before) add(lba - before, spc);
                }
            }
        }
        if (candidates.empty()) break;
        for (ExfatLayout& c : candidates) c.links = ScoreLinks(c, voters);
        std::stable_sort(
            candidates.begin(), candidates.end(), [](const ExfatLayout& x, const ExfatLayout& y) {
                return x.links != y.links ? x.links > y.links : x.fromBoot > y.fromBoot;
            });
        // Among the best by links, the files' content decides; a boot sector wins a tie.
        const int topLinks = candidates.front().links;
        int bestIndex = 0;
        int bestContent = 0;
        for (size_t i = 0;
             i < candidates.size() && i < kContentCandidates && candidates[i].links == topLinks;
             ++i) {
            const int content = ContentScore(candidates[i]);
            if (i == 0 || content > bestContent) {
                bestIndex = int(i);
                bestContent = content;
            }
        }
        const ExfatLayout best = candidates[size_t(bestIndex)];
        const bool first = layouts_.empty();
        const bool accepted =
            first ? best.links >= 2 || best.fromBoot || (best.links == 1 && bestContent > 0)
                  : best.links >= 3;
        if (!accepted) break;
        layouts_.push_back(best);
        // The links this layout explains are its own; the rest may belong to another volume.
        std::erase_if(remaining, [&](uint32_t cluster) {
            const auto lba = ClusterLba(best, cluster);
            return lba && std::binary_search(starts_.begin(), starts_.end(), *lba);
        });
        if (remaining.size() < 3) break;
    }
}

void CProfessionalExfatRecovery::PlaceFoundFats() {
    // A layout without a boot region takes the nearest FAT before its heap, read as one FAT of
    // as many entries as the space up to the heap holds (and the medium has clusters for).
    const uint64_t end = reader_.TotalSectors();
    for (const ExfatLayout& l : layouts_) {
        if (FatFor(l.heapLba, l.sectorsPerCluster) || l.heapLba >= end) continue;
        const uint64_t* nearest = nullptr;
        for (const uint64_t& f : fatStarts_) {
            if (f < l.heapLba && (!nearest || f > *nearest)) nearest = &f;
        }
        if (!nearest || l.heapLba - *nearest > UINT32_MAX) continue;
        KnownFat known;
        known.heapLba = l.heapLba;
        known.sectorsPerCluster = l.sectorsPerCluster;
        ExfatBootRegion& b = known.boot;
        b.bytesPerSectorShift = static_cast<uint8_t>(std::countr_zero(sectorSize_));
        b.sectorsPerClusterShift = static_cast<uint8_t>(std::countr_zero(l.sectorsPerCluster));
        b.numberOfFats = 1;
        b.fatOffset = 0;
        b.fatLength = static_cast<uint32_t>(l.heapLba - *nearest);
        b.clusterHeapOffset = b.fatLength;
        const uint64_t entries = uint64_t{b.fatLength} * sectorSize_ / 4;
        const uint64_t clusters =
            std::min<uint64_t>({entries > 2 ? entries - 2 : 0,
                                (end - l.heapLba) / l.sectorsPerCluster, UINT32_MAX - 2});
        if (clusters == 0) continue;
        b.clusterCount = static_cast<uint32_t>(clusters);
        b.volumeLength = end - *nearest;
        known.volumeStartByte = *nearest * sectorSize_;
        foundFats_.push_back(known);
    }
}

}  // namespace norvale
