// The deleted-file scan of CFastExfatRecovery: a breadth-first walk over every directory that
// can still be reached from the root, recording deleted files and the folders above them.

#include <algorithm>
#include <chrono>
#include <set>

#include "carving/identify.h"
#include "exfat/fast_exfat_recovery.h"

namespace norvale {
namespace {

constexpr auto kReportInterval = std::chrono::milliseconds(5000);
// Folders deeper than this are not entered: no real tree is that deep, a looping one is.
constexpr uint32_t kMaxFolderDepth = 128;
// The entries of the largest set (a file entry and 18 secondaries).
constexpr size_t kMaxSetBytes = (1 + kExfatMaxSecondaries) * kExfatEntryBytes;

}  // namespace

struct CFastExfatRecovery::WalkState {
    const Directory* dir = nullptr;
    bool marked = false;  // the folders above this directory are already marked
};

Result CFastExfatRecovery::RunScan() {
    const ExfatBootRegion& b = volume_.Boot();
    Directory root;
    root.key = b.rootCluster;
    root.facts.firstCluster = b.rootCluster;
    root.facts.entryDeleted = false;
    root.facts.stale = false;
    pending_.assign(1, root);
    pendingHead_ = 0;
    int result = ReportScan(1, -1);
    std::set<uint32_t> visited;
    auto lastReport = std::chrono::steady_clock::now();
    int reports = 0;
    while (result == 0 && pendingHead_ < pending_.size()) {
        const Directory dir = pending_[pendingHead_++];
        if (!visited.insert(dir.key).second) continue;
        WalkDirectory(dir);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReport < kReportInterval) continue;
        lastReport = now;
        ++reports;
        result = ReportWalkStep(reports);
    }
    pending_.clear();
    if (result == 0) result = ReportScan(80, 10);
    // Also after a stop: the files found so far stay reachable from the root.
    EmitFolders();
    if (result == 0) result = ReportScan(100, 0);
    return result;
}

void CFastExfatRecovery::WalkDirectory(const Directory& dir) {
    const ExfatBootRegion& b = volume_.Boot();
    const uint32_t clusterBytes = b.ClusterBytes();
    const uint32_t bps = b.BytesPerSector();
    const uint64_t volumeSector = volume_.StartByte() / bps;
    const std::vector<uint32_t> clusters = DirectoryClusters(dir);
    WalkState w;
    w.dir = &dir;

    // An entry set may run over the end of a cluster into the next one of the directory: the
    // unread tail of one cluster is carried in front of the next.
    std::vector<uint8_t> cluster(clusterBytes);
    std::vector<uint8_t> bytes;
    uint32_t carriedFrom = 0;    // the cluster the carried bytes come from
    uint32_t carriedOffset = 0;  // where in it they start
    size_t carried = 0;
    for (size_t i = 0; i < clusters.size(); ++i) {
        // The entries before an unreadable cluster are still walked; the directory ends there.
        if (volume_.ReadCluster(clusters[i], cluster) != kOk) return;
        bytes.resize(carried);
        bytes.insert(bytes.end(), cluster.begin(), cluster.end());
        const bool lastCluster = i + 1 == clusters.size();
        auto sectorAt = [&](size_t pos) {
            const uint32_t c = pos < carried ? carriedFrom : clusters[i];
            const uint64_t inCluster = pos < carried ? carriedOffset + pos : pos - carried;
            return volumeSector + b.ClusterToSector(c) + inCluster / bps;
        };

        size_t off = 0;
        while (off + kExfatEntryBytes <= bytes.size()) {
            const uint8_t type = bytes[off];
            if (type == kExfatEndOfDirectory) return;
            if ((type | kExfatInUseBit) == kExfatTypeFile) {
                const size_t setBytes = (size_t{bytes[off + 1]} + 1) * kExfatEntryBytes;
                if (setBytes <= kMaxSetBytes && off + setBytes > bytes.size() && !lastCluster) {
                    break;  // the rest of the set is in the next cluster
                }
                ExfatFileEntry entry;
                size_t used = 1;
                const std::span<const uint8_t> rest(bytes.data() + off, bytes.size() - off);
                if (DecodeEntrySet(rest, entry, used) == EntrySetStatus::kOk) {
                    TakeEntrySet(w, entry, sectorAt(off + kExfatEntryBytes));
                    off += std::max<size_t>(used, 1) * kExfatEntryBytes;
                    continue;
                }
            }
            off += kExfatEntryBytes;
        }
        if (off < carried) {
            carriedOffset += static_cast<uint32_t>(off);
        } else {
            carriedFrom = clusters[i];
            carriedOffset = static_cast<uint32_t>(off - carried);
        }
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(off));
        carried = bytes.size();
    }
}

void CFastExfatRecovery::TakeEntrySet(WalkState& w, const ExfatFileEntry& entry,
                                      uint64_t streamLba) {
    if (entry.isFolder) {
        RecordFolder(w, entry);
    } else if (entry.deleted || w.dir->deleted) {
        RecordFile(w, entry, streamLba);
    }
}

RecoveredItem CFastExfatRecovery::BaseRecord(const ExfatFileEntry& entry) const {
    RecoveredItem rec{};
    rec.sourceTag = sourceTag_;
    rec.engineKind = kEngineFastExfat;
    rec.contentValid = 1;
    rec.clusterBytes = static_cast<int32_t>(volume_.Boot().ClusterBytes());
    rec.createdTime = entry.createdTime;
    rec.accessedTime = entry.accessedTime;
    rec.modifiedTime = entry.modifiedTime;
    rec.dataAreaStart = volume_.Boot().clusterHeapOffset;
    rec.SetName(entry.name);
    return rec;
}

void CFastExfatRecovery::RecordFolder(WalkState& w, const ExfatFileEntry& entry) {
    const uint32_t key = entry.firstCluster;
    const Directory& dir = *w.dir;
    // The root is never a subfolder of anything, and a folder met twice (a link back up the
    // tree, or a deleted folder whose cluster a newer one took) is kept as first met: either
    // would make the tree a loop or give one folder two places.
    if (!volume_.Boot().IsHeapCluster(key) || key == dir.key || key == volume_.Boot().rootCluster ||
        folderMap_.contains(key) || dir.depth + 1 > kMaxFolderDepth) {
        return;
    }
    RecoveredItem rec = BaseRecord(entry);
    rec.isFolder = 1;
    rec.isDeleted = (entry.deleted || dir.deleted) ? 1 : 0;
    rec.recordIndex = static_cast<int32_t>(dir.key);
    rec.objectKey = static_cast<int32_t>(key);
    folderMap_[key] = rec;
    depthOf_[key] = dir.depth + 1;

    Directory child;
    child.key = key;
    child.depth = dir.depth + 1;
    child.deleted = rec.isDeleted != 0;
    child.facts.firstCluster = key;
    child.facts.dataLength = entry.dataLength;
    child.facts.validDataLength = std::min(entry.validDataLength, entry.dataLength);
    child.facts.noFatChain = entry.noFatChain;
    child.facts.entryDeleted = entry.deleted;
    child.facts.stale = child.deleted;
    pending_.push_back(child);
}

void CFastExfatRecovery::RecordFile(WalkState& w, const ExfatFileEntry& entry, uint64_t streamLba) {
    RecoveredItem rec = BaseRecord(entry);
    rec.isDeleted = 1;
    rec.objectKey = static_cast<int32_t>(entry.firstCluster);
    rec.fileSize = entry.dataLength;
    rec.location = streamLba;
    rec.partitionStart = partitionStartLba_;
    rec.contentValid =
        entry.dataLength == 0 || ContentMatches(entry.firstCluster, entry.name) ? 1 : 0;

    RecoveredItem* slot = store_->AppendRecord();
    if (!slot) return;
    rec.recordIndex = store_->RecordCount();
    *slot = rec;
    const uint32_t parent = w.dir->key;
    store_->LinkChild(parent, w.dir->depth, rec.recordIndex, rec.objectKey, nullptr);
    if (!w.marked) {
        MarkFoldersAbove(parent);
        w.marked = true;
    }
}

void CFastExfatRecovery::MarkFoldersAbove(uint32_t key) {
    const uint32_t root = volume_.Boot().rootCluster;
    std::set<uint32_t> seen;  // parent links from a damaged volume may form a loop
    while (seen.insert(key).second) {
        if (foldersToEmitSet_.insert(key).second) foldersToEmit_.push_back(key);
        const auto it = folderMap_.find(key);
        if (it == folderMap_.end()) return;
        const auto parent = static_cast<uint32_t>(it->second.recordIndex);
        if (parent == key || parent == root) return;
        key = parent;
    }
}

void CFastExfatRecovery::EmitFolders() {
    for (const uint32_t key : foldersToEmit_) {
        const auto it = folderMap_.find(key);
        if (it == folderMap_.end()) continue;  // the root
        RecoveredItem rec = it->second;
        const auto parent = static_cast<uint32_t>(rec.recordIndex);
        const auto depth = depthOf_.find(parent);
        rec.contentValid = 1;
        rec.location = 0;
        rec.partitionStart = 0;
        RecoveredItem* slot = store_->AppendRecord();
        if (!slot) return;
        rec.recordIndex = store_->RecordCount();
        *slot = rec;
        store_->LinkChild(parent, depth == depthOf_.end() ? 0 : depth->second, rec.recordIndex,
                          rec.objectKey, rec.name);
    }
}

bool CFastExfatRecovery::ContentMatches(uint32_t cluster, std::string_view name) {
    const std::string_view ext = ExtensionOf(name);
    const ExfatBootRegion& b = volume_.Boot();
    if (ext.empty() || !b.IsHeapCluster(cluster)) return true;
    const uint32_t bps = b.BytesPerSector();
    std::vector<uint8_t> sector(bps);
    const uint64_t sectorInVolume = b.ClusterToSector(cluster);
    if (volume_.ReadVolumeBytes(sectorInVolume * bps, sector) != kOk) return true;
    return CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, bps,
                                volume_.StartByte() / bps + sectorInVolume);
}

}  // namespace norvale
