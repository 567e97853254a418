// The deleted-file scan of CFastFatRecovery: a breadth-first walk over every directory that can
// still be reached from the root, recording deleted files and the folders above them.

#include <algorithm>
#include <chrono>
#include <set>

#include "carving/identify.h"
#include "fat/fast_fat_recovery.h"

namespace norvale {
namespace {

// A directory holds at most 65536 entries. A deleted folder's chain is cleared, so without this
// bound its walk would run on through all the free space behind it.
constexpr uint64_t kMaxDirectoryBytes = 65536 * kDirEntryBytes;
constexpr auto kReportInterval = std::chrono::milliseconds(5000);

bool OpensFolder(std::span<const uint8_t> block) {
    return block.size() >= 2 * kDirEntryBytes && block[0] == '.' && block[1] == ' ' &&
           (block[11] & kAttrDirectory) != 0 && block[32] == '.' && block[33] == '.';
}

}  // namespace

struct CFastFatRecovery::WalkState {
    uint32_t currentKey = 0;        // parent key of what is found: the "." entry's cluster
    bool inheritedDeleted = false;  // the folder itself, or one above it, was deleted
    uint32_t markedKey = 0;         // the folders above this key are already marked
    bool marked = false;
    LongNameState longName;
    std::vector<uint8_t> block;
};

Result CFastFatRecovery::RunScan() {
    pendingDirectories_.assign(1, geometry_.rootCluster);
    pendingHead_ = 0;
    int result = ReportScan(1, -1);
    std::set<uint32_t> visited;
    auto lastReport = std::chrono::steady_clock::now();
    int reports = 0;
    while (result == 0 && pendingHead_ < pendingDirectories_.size()) {
        const uint32_t key = pendingDirectories_[pendingHead_++];
        if (!visited.insert(key).second) continue;
        WalkDirectory(key);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReport < kReportInterval) continue;
        lastReport = now;
        ++reports;
        result = ReportWalkStep(reports);
    }
    pendingDirectories_.clear();
    if (result == 0) result = ReportScan(80, 10);
    // Also after a stop: the files found so far stay reachable from the root.
    EmitFolders();
    if (result == 0) result = ReportScan(100, 0);
    return result;
}

void CFastFatRecovery::WalkDirectory(uint32_t key) {
    const FatGeometry& g = geometry_;
    WalkState w;
    w.currentKey = key;
    const auto known = folderMap_.find(key);
    if (known != folderMap_.end()) w.inheritedDeleted = known->second.isDeleted != 0;

    if (!g.isFat32 && key == 0) {
        WalkBlock(w, RootDirectoryLba(g), FixedRootBytes(g) / g.bytesPerSector, false);
        return;
    }
    if (g.clusterBytes == 0) return;
    const uint64_t maxClusters = (kMaxDirectoryBytes + g.clusterBytes - 1) / g.clusterBytes;
    // A subfolder whose first cluster no longer opens with "." and ".." was overwritten.
    bool mustOpenFolder = known != folderMap_.end();
    for (ChainWalk walk(*table_, key, maxClusters); !walk.Done(); walk.Next()) {
        if (!WalkBlock(w, ClusterToLba(g, walk.Cluster()), g.sectorsPerCluster, mustOpenFolder)) {
            return;
        }
        mustOpenFolder = false;
    }
}

bool CFastFatRecovery::WalkBlock(WalkState& w, uint64_t lba, uint32_t sectors,
                                 bool mustOpenFolder) {
    const FatGeometry& g = geometry_;
    const uint32_t bps = g.bytesPerSector;
    if (sectors == 0) return false;
    w.block.resize(size_t{sectors} * bps);
    uint32_t got = 0;
    const Result r = reader_.ReadSectors(sectors, w.block.data(), lba, bps, got);
    // The entries before a bad sector are still walked; the directory ends there.
    const std::span<const uint8_t> bytes(w.block.data(), size_t{std::min(got, sectors)} * bps);
    if (mustOpenFolder && !OpensFolder(bytes)) return false;

    for (size_t i = 0; (i + 1) * kDirEntryBytes <= bytes.size(); ++i) {
        const DirEntryBytes e = EntryAt(bytes, i);
        if (e[0] == kEntryEnd) return false;
        if (!IsPlausibleEntry(bytes.subspan(i * kDirEntryBytes))) {
            DropLongName(w.longName);
            continue;
        }
        const ShortEntry s = DecodeShortEntry(e);
        if (s.IsLongName()) {
            // A 21st piece belongs to no name the format allows: the name gathered so far is
            // dropped and the directory goes on.
            if (!AssembleLongName(w.longName, e)) DropLongName(w.longName);
            continue;
        }
        const bool hasLongName = HasLongName(w.longName);
        if (s.IsDirectory()) {
            if (e[0] == '.') {
                const uint32_t self = s.FirstCluster(g.isFat32);
                if (e[1] == ' ' && IsDataCluster(g, self)) w.currentKey = self;
            } else {
                RecordFolderEntry(
                    w, e, hasLongName ? TakeLongName(w.longName) : DecodeShortName(e, true));
            }
        } else if ((s.attributes & kAttrArchive) != 0 && (s.IsDeleted() || w.inheritedDeleted)) {
            RecordDeletedFile(w, e,
                              hasLongName ? TakeLongName(w.longName) : DecodeShortName(e, false),
                              lba + i * kDirEntryBytes / bps);
        }
        DropLongName(w.longName);
    }
    return r == kOk && got >= sectors;
}

RecoveredItem CFastFatRecovery::BaseRecord(DirEntryBytes e, const std::string& name) const {
    RecoveredItem rec{};
    rec.sourceTag = sourceTag_;
    rec.engineKind = kEngineFastFat;
    rec.contentValid = 1;
    rec.clusterBytes = static_cast<int32_t>(geometry_.clusterBytes);
    const EntryTimes times = DecodeEntryTimes(e);
    rec.createdTime = times.created;
    rec.accessedTime = times.accessed;
    rec.modifiedTime = times.modified;
    rec.dataAreaStart = geometry_.dataStart;
    rec.SetName(name);
    return rec;
}

void CFastFatRecovery::RecordFolderEntry(WalkState& w, DirEntryBytes e, const std::string& name) {
    const uint32_t cluster = FirstCluster(e, true, name);
    // The root is never a subfolder of anything: a link to it would make the tree a loop.
    if (!IsDataCluster(geometry_, cluster) || cluster == w.currentKey ||
        cluster == geometry_.rootCluster) {
        return;
    }
    RecoveredItem rec = BaseRecord(e, name);
    rec.isFolder = 1;
    rec.isDeleted = (e[0] == kEntryDeleted || w.inheritedDeleted) ? 1 : 0;
    rec.recordIndex = static_cast<int32_t>(w.currentKey);
    rec.objectKey = static_cast<int32_t>(cluster);
    pendingDirectories_.push_back(cluster);
    folderMap_[cluster] = rec;
}

void CFastFatRecovery::RecordDeletedFile(WalkState& w, DirEntryBytes e, const std::string& name,
                                         uint64_t entryLba) {
    const uint32_t cluster = FirstCluster(e, false, name);
    RecoveredItem rec = BaseRecord(e, name);
    rec.isDeleted = 1;
    rec.objectKey = static_cast<int32_t>(cluster);
    rec.fileSize = DecodeShortEntry(e).fileSize;
    rec.location = entryLba;
    rec.partitionStart = partitionStartLba_;
    rec.contentValid = ContentMatches(cluster, name) ? 1 : 0;

    RecoveredItem* slot = store_->AppendRecord();
    if (!slot) return;
    rec.recordIndex = store_->RecordCount();
    *slot = rec;
    store_->LinkChild(w.currentKey, ChainDepth(w.currentKey), rec.recordIndex, rec.objectKey,
                      nullptr);
    if (!w.marked || w.markedKey != w.currentKey) {
        MarkFoldersAbove(w.currentKey);
        w.marked = true;
        w.markedKey = w.currentKey;
    }
}

void CFastFatRecovery::MarkFoldersAbove(uint32_t key) {
    std::set<uint32_t> seen;  // parent links from a damaged volume may form a loop
    while (seen.insert(key).second) {
        if (foldersToEmitSet_.insert(key).second) foldersToEmit_.push_back(key);
        const auto it = folderMap_.find(key);
        if (it == folderMap_.end()) return;
        const auto parent = static_cast<uint32_t>(it->second.recordIndex);
        if (parent == key || parent == geometry_.rootCluster || !IsDataCluster(geometry_, parent)) {
            return;
        }
        key = parent;
    }
}

void CFastFatRecovery::EmitFolders() {
    for (const uint32_t key : foldersToEmit_) {
        const auto it = folderMap_.find(key);
        if (it == folderMap_.end()) continue;  // the root
        RecoveredItem rec = it->second;
        const auto parent = static_cast<uint32_t>(rec.recordIndex);
        rec.contentValid = 1;
        rec.location = 0;
        rec.partitionStart = 0;
        RecoveredItem* slot = store_->AppendRecord();
        if (!slot) return;
        rec.recordIndex = store_->RecordCount();
        *slot = rec;
        store_->LinkChild(parent, ChainDepth(parent), rec.recordIndex, rec.objectKey, rec.name);
    }
}

bool CFastFatRecovery::ReadFirstSector(uint32_t cluster, std::vector<uint8_t>& sector,
                                       uint64_t& lba) {
    if (!IsDataCluster(geometry_, cluster)) return false;
    lba = ClusterToLba(geometry_, cluster);
    sector.resize(geometry_.bytesPerSector);
    uint32_t got = 0;
    return reader_.ReadSectors(1, sector.data(), lba, geometry_.bytesPerSector, got) == kOk &&
           got == 1;
}

bool CFastFatRecovery::ContentMatches(uint32_t cluster, std::string_view name) {
    const std::string_view ext = ExtensionOf(name);
    if (ext.empty()) return true;
    std::vector<uint8_t> sector;
    uint64_t lba = 0;
    if (!ReadFirstSector(cluster, sector, lba)) return true;
    return CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, geometry_.bytesPerSector,
                                lba);
}

uint32_t CFastFatRecovery::FirstCluster(DirEntryBytes e, bool asFolder, std::string_view name) {
    const FatGeometry& g = geometry_;
    const ShortEntry s = DecodeShortEntry(e);
    const uint32_t stated = s.FirstCluster(g.isFat32);
    if (!g.isFat32 || !s.IsDeleted() || s.clusterHigh != 0) return stated;
    // Deletion may have cleared the high word: find the one under which the low word leads to
    // the start of a folder, or to content of the kind the file's extension names.
    const std::string_view ext = ExtensionOf(name);
    if (!asFolder && (ext.empty() || s.fileSize == 0)) return stated;
    std::vector<uint8_t> sector;
    uint64_t lba = 0;
    for (uint64_t high = 0; high <= 256; ++high) {
        const uint64_t cluster = (high << 16) | s.clusterLow;
        if (cluster > LastCluster(g)) break;
        if (cluster < 2) continue;
        const auto c = static_cast<uint32_t>(cluster);
        if (!ReadFirstSector(c, sector, lba)) break;
        const bool accepted = asFolder ? OpensFolder(sector)
                                       : CheckTypeByExtension(*carvingContext_, sector, ext,
                                                              &reader_, g.bytesPerSector, lba);
        if (accepted) return c;
    }
    return stated;
}

uint32_t CFastFatRecovery::ChainDepth(uint32_t key) {
    if (const auto it = depthCache_.find(key); it != depthCache_.end()) return it->second;
    const FatGeometry& g = geometry_;
    std::set<uint32_t> visited;
    std::vector<uint8_t> sector;
    uint64_t lba = 0;
    uint32_t depth = 0;
    for (uint32_t current = key; current != 0 && current != g.rootCluster;) {
        if (!visited.insert(current).second || !ReadFirstSector(current, sector, lba)) break;
        if (sector[11] == kAttrVolumeLabel || sector[0] != '.' || sector[32] != '.' ||
            sector[33] != '.') {
            break;
        }
        ++depth;
        current = DecodeShortEntry(EntryAt(sector, 1)).FirstCluster(g.isFat32);
    }
    depthCache_[key] = depth;
    return depth;
}

}  // namespace norvale
