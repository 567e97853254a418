// The end of the pass of CProfessionalExfatRecovery: the directory clusters given to the folders
// that own them under the layouts worked out (professional_exfat_layout_recovery.cpp), and the
// tree of folders and files written to the store.

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "carving/identify.h"
#include "exfat/entry_set.h"
#include "exfat/fat_chain.h"
#include "exfat/professional_exfat_recovery.h"

namespace norvale {
namespace {

constexpr size_t kMaxTreeDepth = 4096;
constexpr size_t kMaxContinuations = 64;
constexpr int kMaxContinuationHops = 16;
constexpr size_t kRootOwner = SIZE_MAX;

}  // namespace

struct CProfessionalExfatRecovery::Tree {
    struct Owner {
        size_t set = kRootOwner;
        int rank = 0;  // a folder's first cluster over its later ones, a live entry over a deleted
    };
    struct Placed {
        size_t set = 0;
        uint32_t parent = 0;  // 0: the root
        int layout = 0;
    };
    std::vector<std::unordered_map<uint32_t, Owner>> owners;  // one per layout
    // Clusters that go on with a set cut off at the end of another: the sector of that set.
    std::vector<std::unordered_map<uint32_t, uint64_t>> continues;
    size_t owned = 0;
    std::map<uint32_t, Placed> folders;  // by first cluster
    std::vector<Placed> files;
};

int CProfessionalExfatRecovery::LayoutOf(uint64_t lba, const Tree& tree) const {
    int fallback = -1;
    for (size_t g = 0; g < layouts_.size(); ++g) {
        const ExfatLayout& l = layouts_[g];
        if (lba < l.heapLba) continue;
        const uint64_t cluster = (lba - l.heapLba) / l.sectorsPerCluster + 2;
        if (cluster <= UINT32_MAX && tree.owners[g].count(static_cast<uint32_t>(cluster))) {
            return int(g);
        }
        if (fallback < 0) fallback = int(g);
    }
    return fallback;
}

void CProfessionalExfatRecovery::JoinCutSets(Tree& tree) {
    tree.continues.resize(layouts_.size());
    // Heads by how many secondary entries they open with: a cut set needs exactly its rest.
    std::map<size_t, std::vector<size_t>> byLeading;
    for (size_t i = 0; i < heads_.size(); ++i) byLeading[heads_[i].leading].push_back(i);
    constexpr size_t kMaxTries = 256;
    for (const CutSet& cut : cutSets_) {
        if (cut.bytes.size() < kExfatEntryBytes) continue;
        const size_t present = cut.bytes.size() / kExfatEntryBytes;
        const size_t whole = size_t{cut.bytes[1]} + 1;
        if (whole <= present) continue;
        const auto candidates = byLeading.find(whole - present);
        if (candidates == byLeading.end()) continue;
        size_t tries = 0;
        bool joined = false;
        for (size_t g = 0; g < layouts_.size() && !joined; ++g) {
            const ExfatLayout& l = layouts_[g];
            if (cut.endLba < l.heapLba || (cut.endLba - l.heapLba) % l.sectorsPerCluster != 0) {
                continue;
            }
            for (const size_t h : candidates->second) {
                Head& head = heads_[h];
                if (head.used || head.lba < l.heapLba ||
                    (head.lba - l.heapLba) % l.sectorsPerCluster != 0) {
                    continue;
                }
                if (++tries > kMaxTries) break;
                std::vector<uint8_t> set = cut.bytes;
                set.insert(set.end(), head.bytes.begin(), head.bytes.end());
                ExfatFileEntry entry;
                size_t used = 1;
                if (DecodeEntrySet(set, entry, used) != EntrySetStatus::kOk) continue;
                head.used = true;
                KeepSet(entry, cut.lba);
                const uint64_t cluster = (head.lba - l.heapLba) / l.sectorsPerCluster + 2;
                if (cluster <= UINT32_MAX) {
                    tree.continues[g].emplace(static_cast<uint32_t>(cluster), cut.lba);
                }
                joined = true;
                break;
            }
        }
    }
}

void CProfessionalExfatRecovery::BuildTree(Tree& tree) {
    tree.owners.resize(layouts_.size());
    JoinCutSets(tree);
    auto own = [&](size_t g, uint32_t cluster, size_t set, int rank) {
        auto [it, inserted] = tree.owners[g].try_emplace(cluster, Tree::Owner{set, rank});
        if (inserted) {
            ++tree.owned;
        } else if (rank > it->second.rank) {
            it->second = Tree::Owner{set, rank};
        }
    };
    for (size_t g = 0; g < layouts_.size(); ++g) {
        const ExfatLayout& layout = layouts_[g];
        const uint64_t clusterBytes = uint64_t{layout.sectorsPerCluster} * sectorSize_;
        const KnownFat* known = FatFor(layout.heapLba, layout.sectorsPerCluster);
        std::optional<ExfatFatReader> fat;
        if (known) fat.emplace(reader_, known->boot, known->volumeStartByte, known->volumeBytes);
        std::vector<uint32_t> chain;
        if (fat && known->boot.rootCluster >= 2) {
            // The live root directory, wherever its chain goes.
            if (fat->Walk(known->boot.rootCluster, limits_.maxDirectoryClusters, chain) ==
                ExfatChainEnd::kEndOfChain) {
                for (const uint32_t c : chain) own(g, c, kRootOwner, 4);
            }
        }
        for (size_t i = 0; i < sets_.size() && tree.owned < limits_.maxOwnedClusters; ++i) {
            const FoundSet& s = sets_[i];
            if (!s.isFolder || s.firstCluster < 2) continue;
            const auto first = ClusterLba(layout, s.firstCluster);
            if (!first || !std::binary_search(starts_.begin(), starts_.end(), *first)) continue;
            const uint64_t n = std::clamp<uint64_t>(
                (s.dataLength + clusterBytes - 1) / clusterBytes, 1, limits_.maxDirectoryClusters);
            chain.clear();
            // A live FAT is followed while it describes the whole allocation.
            if (fat && !s.noFatChain &&
                (fat->Walk(s.firstCluster, n, chain) != ExfatChainEnd::kEndOfChain ||
                 chain.size() != n)) {
                chain.clear();
            }
            // Without a FAT only NoFatChain promises where the later clusters are; the others
            // are found by the traces a growing directory leaves (see directoryOf).
            if (chain.empty()) {
                const uint64_t known = s.noFatChain ? n : 1;
                for (uint64_t k = 0; k < known && s.firstCluster + k <= UINT32_MAX; ++k) {
                    chain.push_back(static_cast<uint32_t>(s.firstCluster + k));
                }
            }
            const int inUse = s.deleted ? 0 : 1;
            for (size_t k = 0; k < chain.size() && tree.owned < limits_.maxOwnedClusters; ++k) {
                own(g, chain[k], i, (k == 0 ? 2 : 0) + inUse);
            }
        }
    }

    // The directory a sector belongs to: the folder owning its cluster, else the cluster before
    // when the directory ran on into this one, else a lost directory named by its cluster.
    auto runContaining = [&](uint64_t lba) -> const Run* {
        auto it = std::upper_bound(runs_.begin(), runs_.end(), lba,
                                   [](uint64_t v, const Run& r) { return v < r.firstLba; });
        if (it == runs_.begin()) return nullptr;
        --it;
        return lba - it->firstLba < it->sectors ? &*it : nullptr;
    };
    // A directory that ran out of room went on in a cluster taken while files were written into
    // it one after another: right after the data of the last file it listed. Without a FAT that
    // is the only trace of where it went on.
    std::vector<std::unordered_map<uint32_t, size_t>> dataEnds(layouts_.size());
    for (size_t g = 0; g < layouts_.size(); ++g) {
        const uint64_t clusterBytes = uint64_t{layouts_[g].sectorsPerCluster} * sectorSize_;
        for (size_t i = 0; i < sets_.size() && dataEnds[g].size() < limits_.maxOwnedClusters; ++i) {
            const FoundSet& s = sets_[i];
            if (s.isFolder || s.firstCluster < 2 || s.dataLength == 0) continue;
            const uint64_t after =
                s.firstCluster + (s.dataLength + clusterBytes - 1) / clusterBytes;
            if (after <= UINT32_MAX) dataEnds[g].try_emplace(static_cast<uint32_t>(after), i);
        }
    }
    // A directory grows only when its clusters are full: the cluster holding the last file's
    // entry ran to its end without an end of directory.
    auto clusterFull = [&](const ExfatLayout& l, uint64_t lba) {
        const uint64_t end =
            l.heapLba + ((lba - l.heapLba) / l.sectorsPerCluster + 1) * l.sectorsPerCluster;
        const Run* r = runContaining(end - 1);
        return r && (r->open || r->firstLba + r->sectors > end);
    };
    std::function<uint32_t(int, uint64_t, int)> directoryOf = [&](int g, uint64_t lba,
                                                                  int hops) -> uint32_t {
        const ExfatLayout& l = layouts_[size_t(g)];
        uint64_t cluster = (lba - l.heapLba) / l.sectorsPerCluster + 2;
        for (size_t step = 0; step < kMaxContinuations && cluster <= UINT32_MAX; ++step) {
            const auto c = static_cast<uint32_t>(cluster);
            if (const auto it = tree.owners[size_t(g)].find(c);
                it != tree.owners[size_t(g)].end()) {
                return it->second.set == kRootOwner ? 0 : sets_[it->second.set].firstCluster;
            }
            if (const auto it = tree.continues[size_t(g)].find(c);
                it != tree.continues[size_t(g)].end() && hops < kMaxContinuationHops) {
                return directoryOf(g, it->second, hops + 1);
            }
            const uint64_t start = l.heapLba + (cluster - 2) * l.sectorsPerCluster;
            if (const Run* r = runContaining(start); r && r->root) return 0;
            if (cluster <= 2) break;
            const Run* before = runContaining(start - 1);
            if (!before || before != runContaining(start)) break;
            --cluster;
        }
        if (cluster > UINT32_MAX) return UINT32_MAX;
        const auto lost = static_cast<uint32_t>(cluster);
        if (const auto it = dataEnds[size_t(g)].find(lost);
            it != dataEnds[size_t(g)].end() && hops < kMaxContinuationHops) {
            const uint64_t fileLba = sets_[it->second].lba;
            const uint64_t start = l.heapLba + (cluster - 2) * l.sectorsPerCluster;
            if (fileLba >= l.heapLba &&
                (fileLba < start || fileLba >= start + l.sectorsPerCluster) &&
                clusterFull(l, fileLba)) {
                return directoryOf(g, fileLba, hops + 1);
            }
        }
        return lost;
    };

    for (size_t i = 0; i < sets_.size(); ++i) {
        const FoundSet& s = sets_[i];
        const int g = LayoutOf(s.lba, tree);
        if (g < 0) continue;
        const uint32_t parent = directoryOf(g, s.lba, 0);
        if (!s.isFolder) {
            tree.files.push_back(Tree::Placed{i, parent, g});
            continue;
        }
        // The root is nobody's subfolder, and a folder inside itself would make a loop.
        if (s.firstCluster < 2 || s.firstCluster == parent) continue;
        const auto it = tree.folders.find(s.firstCluster);
        if (it == tree.folders.end()) {
            tree.folders.emplace(s.firstCluster, Tree::Placed{i, parent, g});
        } else if (sets_[it->second.set].deleted && !s.deleted) {
            it->second = Tree::Placed{i, parent, g};
        }
    }
}

RecoveredItem CProfessionalExfatRecovery::RecordOf(const FoundSet& s,
                                                   const ExfatLayout& layout) const {
    RecoveredItem rec{};
    rec.sourceTag = sourceTag_;
    rec.engineKind = kEngineProfessionalExfat;
    rec.isFolder = s.isFolder ? 1 : 0;
    rec.isDeleted = s.deleted ? 1 : 0;
    rec.contentValid = 1;
    rec.objectKey = static_cast<int32_t>(s.firstCluster);
    rec.clusterBytes = static_cast<int32_t>(uint64_t{layout.sectorsPerCluster} * sectorSize_);
    rec.createdTime = s.createdTime;
    rec.accessedTime = s.accessedTime;
    rec.modifiedTime = s.modifiedTime;
    rec.fileSize = s.isFolder ? 0 : s.dataLength;
    rec.location = s.lba;
    // The heap of an older volume may begin before the region being scanned; the two fields
    // then still add up to where cluster 2 lies.
    rec.partitionStart = std::min(partitionStartLba_, layout.heapLba);
    rec.dataAreaStart = layout.heapLba - rec.partitionStart;
    rec.SetName(NameOf(s));
    return rec;
}

bool CProfessionalExfatRecovery::ContentMatches(const RecoveredItem& rec) {
    const std::string_view ext = ExtensionOf(rec.Name());
    if (ext.empty() || rec.fileSize == 0) return true;
    uint64_t lba = 0;
    std::vector<uint8_t> sector;
    if (FirstDataSector(rec, lba) != kOk || !ReadSectors(lba, 1, sector)) return true;
    return CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, sectorSize_, lba);
}

void CProfessionalExfatRecovery::EmitTree(Tree& tree) {
    auto parentOf = [&](uint32_t key) -> uint32_t {
        const auto it = tree.folders.find(key);
        return it == tree.folders.end() ? 0 : it->second.parent;
    };
    // The folders above every file, each once.
    std::map<uint32_t, uint32_t> parents;
    for (const Tree::Placed& f : tree.files) {
        uint32_t key = f.parent;
        for (size_t step = 0; key != 0 && step < kMaxTreeDepth; ++step) {
            const auto [it, inserted] = parents.try_emplace(key, parentOf(key));
            if (!inserted) break;
            key = it->second;
        }
    }
    // A parent never reached (the walk ended at its bound) puts the folder at the top; a loop
    // of folders is cut where it closes.
    for (auto& [key, parent] : parents) {
        if (parent != 0 && parents.count(parent) == 0) parent = 0;
    }
    std::map<uint32_t, int> state;  // 1 on the current walk, 2 done
    for (const auto& [key, unused] : parents) {
        std::vector<uint32_t> path;
        for (uint32_t k = key; k != 0 && state[k] != 2;) {
            if (state[k] == 1) {
                parents[k] = 0;
                break;
            }
            state[k] = 1;
            path.push_back(k);
            k = parents[k];
        }
        for (const uint32_t k : path) state[k] = 2;
    }
    // Each folder's depth, and whether it or a folder above it was deleted (exFAT leaves the
    // entries inside a deleted folder as they were).
    std::map<uint32_t, uint32_t> depth;
    std::map<uint32_t, bool> gone;
    auto ownDeleted = [&](uint32_t key) {
        const auto it = tree.folders.find(key);
        return it != tree.folders.end() && sets_[it->second.set].deleted;
    };
    auto depthOf = [&](uint32_t key) -> uint32_t {
        std::vector<uint32_t> path;
        uint32_t k = key;
        while (k != 0 && depth.count(k) == 0 && path.size() <= parents.size()) {
            path.push_back(k);
            k = parents[k];
        }
        uint32_t d = k == 0 ? 0 : depth[k];
        bool deleted = k != 0 && gone[k];
        for (size_t i = path.size(); i-- > 0;) {
            depth[path[i]] = ++d;
            deleted = deleted || ownDeleted(path[i]);
            gone[path[i]] = deleted;
        }
        return key == 0 ? 0 : depth[key];
    };

    for (const auto& [key, parent] : parents) {
        const uint32_t level = depthOf(parent);
        if (emittedBefore_.count(key) != 0) continue;
        RecoveredItem rec{};
        if (const auto it = tree.folders.find(key); it != tree.folders.end()) {
            rec = RecordOf(sets_[it->second.set], layouts_[size_t(it->second.layout)]);
        } else {
            rec.sourceTag = sourceTag_;
            rec.engineKind = kEngineProfessionalExfat;
            rec.isFolder = 1;
            rec.contentValid = 1;
            rec.objectKey = static_cast<int32_t>(key);
            rec.clusterBytes = -1;
            char name[32];
            std::snprintf(name, sizeof name, "LostFolder%u", key);
            rec.SetName(name);
        }
        depthOf(key);
        rec.isDeleted = gone[key] ? 1 : 0;
        RecoveredItem* slot = store_->AppendRecord();
        if (!slot) return;
        rec.recordIndex = store_->LastRecordIndex();
        *slot = rec;
        store_->LinkChild(parent, level, rec.recordIndex, rec.objectKey, rec.name);
    }
    const uint64_t end = reader_.TotalSectors();
    for (const Tree::Placed& f : tree.files) {
        RecoveredItem rec = RecordOf(sets_[f.set], layouts_[size_t(f.layout)]);
        if (rec.fileSize != 0) {
            // A file whose data would lie outside the medium cannot be given back.
            uint64_t lba = 0;
            if (FirstDataSector(rec, lba) != kOk || lba >= end) continue;
        }
        rec.contentValid = ContentMatches(rec) ? 1 : 0;
        const uint32_t parent = parents.count(f.parent) ? f.parent : 0;
        const uint32_t level = depthOf(parent);
        if (parent != 0 && gone[parent]) rec.isDeleted = 1;
        RecoveredItem* slot = store_->AppendRecord();
        if (!slot) return;
        rec.recordIndex = store_->LastRecordIndex();
        *slot = rec;
        store_->LinkChild(parent, level, rec.recordIndex, rec.objectKey, nullptr);
    }
}

Result CProfessionalExfatRecovery::FinishScan() {
    if (!store_ || !store_->IsOpen()) return IsOpen() ? kErrInvalidHandle : openResult_;
    DropTail();
    ChooseLayouts();
    PlaceFoundFats();
    if (!layouts_.empty()) {
        Tree tree;
        BuildTree(tree);
        EmitTree(tree);
    }
    // What the pass kept is placed; the layouts stay for those who ask.
    const std::vector<ExfatLayout> layouts = layouts_;
    ResetPass();
    layouts_ = layouts;
    return store_->Flush();
}

}  // namespace norvale
