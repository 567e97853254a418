// Parsing the directory blocks the pass placed: the key of the directory a block belongs to,
// the files and folders it lists, and, at the end of the pass, the folders above them.

#include <algorithm>
#include <cstdio>
#include <deque>

#include "carving/identify.h"
#include "fat/professional_fat_recovery.h"

namespace norvale {

// ---- Parsing one block ----

CProfessionalFatRecovery::ParseResult CProfessionalFatRecovery::ParseBlock(
    std::span<const uint8_t> block, uint64_t lba, uint64_t endLba, uint32_t key, int guess) {
    const DirectoryBlockScan scan = ScanDirectoryBlock(block);
    uint64_t where = lba;
    ParseResult pr;
    pr.key = DecideKey(scan, where, key, guess);
    pr.endMarker = scan.endMarker;
    bool tookFile = false;
    for (const FoundDirEntry& found : scan.entries) {
        if (found.isFolder) {
            TakeFolder(found, block, pr.key, where, guess);
        } else {
            TakeFile(found, block, pr.key, where, guess);
            tookFile = true;
        }
    }
    if (tookFile) RegisterFoldersAbove(pr.key, guess, where);
    if (scan.hasTail) pr.tail = MakeTail(block, scan, lba, endLba, pr.key, guess);
    return pr;
}

uint32_t CProfessionalFatRecovery::DecideKey(const DirectoryBlockScan& scan, uint64_t& lba,
                                             uint32_t key, int guess) {
    if (scan.startsWithVolumeLabel) {
        if (const auto root = ClusterLba(guess, rootCluster_)) lba = *root;
        return rootCluster_;
    }
    if (scan.opensFolder) return scan.selfCluster;
    if (guess == kNoGuess) return key;
    if (const DotInfo own = FirstSectorOf(guess, key); own.readOk && own.info.opensFolder) {
        return key;
    }
    // A later cluster of a directory: a subfolder listed here names the directory in its "..".
    for (const FoundDirEntry& found : scan.entries) {
        if (!found.isFolder) continue;
        const uint32_t cluster = FolderCluster(found, guess);
        const auto at = ClusterLba(guess, cluster);
        if (!at || *at >= MediumEnd()) break;
        const DotInfo sub = FirstSectorOf(guess, cluster);
        if (!sub.readOk) break;
        if (sub.info.opensFolder) return sub.info.parentCluster;
    }
    if (const auto grown = GrownDirectory(scan, guess, key)) return *grown;
    return key;
}

RecoveredItem CProfessionalFatRecovery::EntryRecord(const FoundDirEntry& found,
                                                    std::span<const uint8_t> block) const {
    RecoveredItem rec{};
    rec.sourceTag = sourceTag_;
    rec.engineKind = kEngineProfessionalFat;
    rec.contentValid = 1;
    const EntryTimes times = DecodeEntryTimes(EntryAt(block, found.offset / kDirEntryBytes));
    rec.createdTime = times.created;
    rec.accessedTime = times.accessed;
    rec.modifiedTime = times.modified;
    rec.SetName(found.name);
    return rec;
}

void CProfessionalFatRecovery::SetPlacement(RecoveredItem& rec, int guess) const {
    const FatLayoutGuess& g = guesses_[size_t(guess)];
    rec.clusterBytes = static_cast<int32_t>(uint64_t{sectorSize_} * g.sectorsPerCluster);
    // The data area of an older volume may begin before the region being scanned; the two
    // fields then still add up to where cluster 2 lies.
    rec.partitionStart = std::min(partitionStartLba_, g.dataStartLba);
    rec.dataAreaStart = g.dataStartLba - rec.partitionStart;
}

void CProfessionalFatRecovery::TakeFolder(const FoundDirEntry& found,
                                          std::span<const uint8_t> block, uint32_t key,
                                          uint64_t lba, int guess) {
    const uint32_t cluster = FolderCluster(found, guess);
    // The root is nobody's subfolder, and a folder inside itself would make the tree a loop.
    if (IsRootKey(cluster) || cluster == key) return;
    RecoveredItem rec = EntryRecord(found, block);
    rec.isFolder = 1;
    rec.recordIndex = static_cast<int32_t>(key);
    rec.objectKey = static_cast<int32_t>(cluster);
    rec.location = lba;
    if (guess != kNoGuess) SetPlacement(rec, guess);
    const auto it = folderEntries_.find(cluster);
    if (it != folderEntries_.end()) {
        it->second = FolderEntry{rec, guess};
    } else if (folderEntries_.size() < limits_.maxFolderEntries) {
        folderEntries_.emplace(cluster, FolderEntry{rec, guess});
    }
}

void CProfessionalFatRecovery::TakeFile(const FoundDirEntry& found, std::span<const uint8_t> block,
                                        uint32_t key, uint64_t lba, int guess) {
    const ShortEntry& s = found.entry;
    RecoveredItem rec = EntryRecord(found, block);
    rec.fileSize = s.fileSize;
    rec.location = lba;
    rec.objectKey = static_cast<int32_t>(s.FirstCluster(true));
    const bool highWordLost = s.IsDeleted() && s.clusterHigh == 0;
    if (guess != kNoGuess) {
        EmitFile(rec, key, highWordLost, guess);
        return;
    }
    if (unresolvedHeld_ >= limits_.maxHeldFiles) return;
    rec.recordIndex = static_cast<int32_t>(key);
    heldFiles_.push_back(HeldFile{rec, key, highWordLost, false});
    ++unresolvedHeld_;
}

void CProfessionalFatRecovery::EmitFile(RecoveredItem rec, uint32_t parentKey, bool highWordLost,
                                        int guess) {
    auto cluster = static_cast<uint32_t>(rec.objectKey);
    if (highWordLost) cluster = ProbeCluster(cluster, rec.fileSize, false, rec.Name(), guess);
    rec.objectKey = static_cast<int32_t>(cluster);
    rec.isFolder = 0;
    rec.isDeleted = 0;
    SetPlacement(rec, guess);
    rec.contentValid = ContentMatches(cluster, rec.Name(), guess) ? 1 : 0;
    RecoveredItem* slot = store_->AppendRecord();
    if (!slot) return;
    rec.recordIndex = NextRecordIndex();
    *slot = rec;
    store_->LinkChild(LinkKey(parentKey), ChainDepth(parentKey, guess), rec.recordIndex,
                      rec.objectKey, nullptr);
    if (rec.fileSize > 0 && cluster >= 2 && rec.clusterBytes > 0) {
        const uint64_t after =
            cluster + (rec.fileSize + uint64_t(rec.clusterBytes) - 1) / uint64_t(rec.clusterBytes);
        if (after <= kHighestFatCluster) {
            if (dataEnds_.size() >= limits_.maxDataEnds) dataEnds_.clear();
            dataEnds_[(uint64_t(uint32_t(guess)) << 32) | after] = parentKey;
        }
    }
}

uint32_t CProfessionalFatRecovery::FolderCluster(const FoundDirEntry& found, int guess) {
    const ShortEntry& s = found.entry;
    const uint32_t stated = s.FirstCluster(true);
    if (guess == kNoGuess || !s.IsDeleted() || s.clusterHigh != 0) return stated;
    return ProbeCluster(stated, 0, true, found.name, guess);
}

uint32_t CProfessionalFatRecovery::ProbeCluster(uint32_t stated, uint64_t fileSize, bool asFolder,
                                                std::string_view name, int guess) {
    // Deletion may have cleared the high word of the first cluster: find the one under which
    // the low word leads to the start of a folder, or to content of the kind the name promises.
    const std::string_view ext = ExtensionOf(name);
    if (!asFolder && (ext.empty() || fileSize == 0)) return stated;
    const uint32_t low = stated & 0xFFFF;
    std::vector<uint8_t> sector;
    for (uint32_t high = 0; high <= 256; ++high) {
        const uint64_t cluster = (uint64_t{high} << 16) | low;
        if (cluster > kHighestFatCluster) break;
        if (cluster < 2) continue;
        const auto c = static_cast<uint32_t>(cluster);
        const auto lba = ClusterLba(guess, c);
        if (!lba || *lba >= MediumEnd()) break;
        if (asFolder) {
            const DotInfo d = FirstSectorOf(guess, c);
            if (!d.readOk) break;
            if (d.info.opensFolder) return c;
            continue;
        }
        if (!ReadSector(*lba, sector)) break;
        if (CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, sectorSize_, *lba))
            return c;
    }
    return stated;
}

bool CProfessionalFatRecovery::ContentMatches(uint32_t cluster, std::string_view name, int guess) {
    const std::string_view ext = ExtensionOf(name);
    if (ext.empty() || cluster < 2) return true;
    const auto lba = ClusterLba(guess, cluster);
    std::vector<uint8_t> sector;
    if (!lba || !ReadSector(*lba, sector)) return true;
    return CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, sectorSize_, *lba);
}

uint32_t CProfessionalFatRecovery::ChainDepth(uint32_t key, int guess) {
    if (guess == kNoGuess || IsRootKey(key)) return 0;
    const auto cacheKey = std::make_pair(guess, key);
    if (const auto it = depthCache_.find(cacheKey); it != depthCache_.end()) return it->second;
    std::set<uint32_t> visited;
    uint32_t depth = 0;
    for (uint32_t current = key; !IsRootKey(current) && visited.size() < kMaxTreeDepth;) {
        if (!visited.insert(current).second) break;
        const DotInfo d = FirstSectorOf(guess, current);
        if (d.readOk && d.info.volumeLabelFirst) break;
        // A folder whose first sector no longer opens it still stands for one level.
        ++depth;
        if (!d.readOk || !d.info.opensFolder) break;
        current = d.info.parentCluster;
    }
    if (depthCache_.size() >= kMaxCachedSectors) depthCache_.clear();
    depthCache_[cacheKey] = depth;
    return depth;
}

void CProfessionalFatRecovery::RegisterFoldersAbove(uint32_t key, int guess, uint64_t lba) {
    if (IsRootKey(key)) return;
    // The walk from a key already registered under this layout would find nothing new; the
    // folder pass at the end completes whatever was learnt after it.
    if (guess != kNoGuess) {
        if (registeredFrom_.size() >= kMaxCachedSectors) registeredFrom_.clear();
        if (!registeredFrom_.insert({guess, key}).second) return;
    }
    std::set<uint32_t> visited;
    while (!IsRootKey(key) && visited.size() < kMaxTreeDepth && visited.insert(key).second) {
        const auto [note, inserted] = referencedFolders_.try_emplace(key, FolderNote{guess, lba});
        if (!inserted && note->second.guess == kNoGuess && guess != kNoGuess) {
            note->second = FolderNote{guess, lba};
        }
        if (const auto f = folderEntries_.find(key); f != folderEntries_.end()) {
            const auto parent = static_cast<uint32_t>(f->second.record.recordIndex);
            if (parent == key) return;
            if (f->second.guess != kNoGuess) guess = f->second.guess;
            lba = f->second.record.location;
            key = parent;
            continue;
        }
        if (guess == kNoGuess) return;
        const DotInfo d = FirstSectorOf(guess, key);
        if (!d.readOk) return;
        const uint32_t parent =
            (d.info.opensFolder && d.info.parentCluster != 0) ? d.info.parentCluster : rootCluster_;
        if (parent == key) return;
        lba = d.lba;
        key = parent;
    }
}

// ---- Files kept until a layout places them, and the folders at the end ----

void CProfessionalFatRecovery::PlaceHeldFiles(size_t firstGuess) {
    if (unresolvedHeld_ == 0) return;
    for (size_t g = firstGuess; g < guesses_.size(); ++g) {
        for (HeldFile& h : heldFiles_) {
            if (h.resolved) continue;
            const auto at = ClusterLba(int(g), h.parentKey);
            if (!at || *at != h.record.location) continue;
            EmitFile(h.record, h.parentKey, h.highWordLost, int(g));
            RegisterFoldersAbove(h.parentKey, int(g), h.record.location);
            h.resolved = true;
            --unresolvedHeld_;
        }
    }
    std::erase_if(heldFiles_, [](const HeldFile& h) { return h.resolved; });
}

int CProfessionalFatRecovery::GuessHoldingInCluster(uint32_t key, uint64_t lba) const {
    for (size_t i = 0; i < guesses_.size(); ++i) {
        const uint32_t cluster = IsRootKey(key) && key != rootCluster_ ? 0 : key;
        const auto start = GuessClusterLba(guesses_[i], cluster);
        if (start && lba >= *start && lba - *start < GuessClusterSpan(guesses_[i], cluster)) {
            return int(i);
        }
    }
    return kNoGuess;
}

void CProfessionalFatRecovery::EmitFolders() {
    struct Plan {
        bool skip = true;
        uint32_t parent = 0;
        int guess = kNoGuess;
    };
    // Every folder above an emitted one is emitted too, whenever its link was learnt.
    std::map<uint32_t, Plan> plan;
    std::deque<uint32_t> work;
    for (const auto& [key, note] : referencedFolders_) work.push_back(key);
    while (!work.empty()) {
        const uint32_t key = work.front();
        work.pop_front();
        if (plan.count(key) != 0) continue;
        Plan& p = plan[key];
        const FolderNote note = referencedFolders_[key];
        uint64_t parentLba = 0;
        if (const auto f = folderEntries_.find(key); f != folderEntries_.end()) {
            p.parent = static_cast<uint32_t>(f->second.record.recordIndex);
            p.guess = f->second.guess;
            parentLba = f->second.record.location;
            if (p.guess == kNoGuess) p.guess = GuessHoldingInCluster(p.parent, parentLba);
            if (p.guess == kNoGuess) continue;
        } else {
            p.guess = note.guess;
            if (p.guess == kNoGuess) p.guess = GuessHoldingInCluster(key, note.lba);
            if (p.guess == kNoGuess) continue;
            const DotInfo d = FirstSectorOf(p.guess, key);
            p.parent = (d.readOk && d.info.opensFolder && d.info.parentCluster != 0)
                           ? d.info.parentCluster
                           : rootCluster_;
            if (const auto at = ClusterLba(p.guess, p.parent)) parentLba = *at;
        }
        if (p.parent == key) p.parent = rootCluster_;
        p.skip = false;
        if (!IsRootKey(p.parent) && referencedFolders_.count(p.parent) == 0) {
            referencedFolders_[p.parent] = FolderNote{p.guess, parentLba};
            work.push_back(p.parent);
        }
    }

    for (const auto& [key, p] : plan) {
        if (p.skip || emittedBefore_.count(key) != 0) continue;
        RecoveredItem rec{};
        if (const auto f = folderEntries_.find(key); f != folderEntries_.end()) {
            rec = f->second.record;
        } else {
            rec.sourceTag = sourceTag_;
            rec.engineKind = kEngineProfessionalFat;
            rec.isFolder = 1;
            rec.objectKey = static_cast<int32_t>(key);
            char name[32];
            std::snprintf(name, sizeof name, "LostFolder%u", key);
            rec.SetName(name);
        }
        rec.contentValid = 1;
        rec.isDeleted = 0;
        const uint32_t level = ChainDepth(p.parent, p.guess);
        RecoveredItem* slot = store_->AppendRecord();
        if (!slot) return;
        rec.recordIndex = NextRecordIndex();
        *slot = rec;
        store_->LinkChild(LinkKey(p.parent), level, rec.recordIndex, rec.objectKey, rec.name);
    }
}

}  // namespace norvale
