// Where the data of a found file or folder lies on an exFAT volume, and reading it out.
//
// The FUSE driver clears a deleted file's FAT chain; Windows and the Linux kernel driver leave
// it. A chain is therefore believed only while it still describes the file (the cluster count
// its size needs, ending there, its clusters still free when the file is deleted); otherwise
// the file is read from its first cluster on through the clusters the allocation bitmap marks
// free, which is where a driver that allocates forward put the pieces of a fragmented file.

#include <algorithm>
#include <cstring>
#include <set>

#include "device/bytes.h"
#include "exfat/fast_exfat_recovery.h"

namespace norvale {
namespace {

// A folder holds at most 256 MiB of entries.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{256} << 20;

}  // namespace

// The clusters of one file or folder in order. Every mode ends: contiguous and free-run
// reading stop at the end of the heap, a chain stops at a cluster it has passed before, and
// none gives more than the limit it was made with.
class CFastExfatRecovery::ClusterCursor {
  public:
    enum class Mode { kContiguous, kChain, kFreeRun };

    ClusterCursor(CFastExfatRecovery& engine, uint32_t first, Mode mode, uint64_t limit)
        : engine_(engine), mode_(mode), limit_(limit), next_(first) {
        if (!engine_.volume_.Boot().IsHeapCluster(first)) limit_ = 0;
    }

    // The cursor over the `clusters` clusters of what these facts describe.
    static ClusterCursor For(CFastExfatRecovery& engine, const ExfatContentFacts& facts,
                             uint64_t clusters) {
        Mode mode = Mode::kFreeRun;
        if (facts.noFatChain) {
            mode = Mode::kContiguous;
        } else if (!facts.stale || engine.ChainDescribes(facts, clusters)) {
            // A live entry of a live folder: its chain is the one the volume keeps up to date.
            mode = Mode::kChain;
        }
        return ClusterCursor(engine, facts.firstCluster, mode, clusters);
    }

    // The next cluster; false when there is none.
    bool Next(uint32_t& cluster) {
        if (given_ >= limit_ || next_ == 0) return false;
        const ExfatBootRegion& b = engine_.volume_.Boot();
        if (given_ > 0) {
            uint64_t candidate = uint64_t{next_} + 1;
            switch (mode_) {
                case Mode::kContiguous:
                    break;
                case Mode::kChain: {
                    uint32_t linked = 0;
                    if (!engine_.volume_.NextCluster(next_, linked)) return Stop();
                    candidate = linked;
                    break;
                }
                case Mode::kFreeRun:
                    while (b.IsHeapCluster(candidate) &&
                           engine_.volume_.IsClusterInUse(static_cast<uint32_t>(candidate))) {
                        ++candidate;
                    }
                    break;
            }
            if (!b.IsHeapCluster(candidate)) return Stop();
            next_ = static_cast<uint32_t>(candidate);
        }
        if (mode_ == Mode::kChain && !seen_.insert(next_).second) return Stop();
        ++given_;
        cluster = next_;
        return true;
    }

  private:
    bool Stop() {
        next_ = 0;
        return false;
    }

    CFastExfatRecovery& engine_;
    Mode mode_;
    uint64_t limit_;
    uint32_t next_;
    uint64_t given_ = 0;
    std::set<uint32_t> seen_;  // chains only: a loop ends the walk
};

bool CFastExfatRecovery::ChainDescribes(const ExfatContentFacts& facts, uint64_t clusters) {
    const ExfatBootRegion& b = volume_.Boot();
    if (clusters == 0 || clusters > b.clusterCount || !b.IsHeapCluster(facts.firstCluster)) {
        return false;
    }
    // A chain that loops never reaches its end within the count, so no visited set is needed.
    const bool checkFree = facts.entryDeleted && volume_.HasBitmap();
    uint32_t cluster = facts.firstCluster;
    for (uint64_t i = 1;; ++i) {
        if (checkFree && volume_.IsClusterInUse(cluster)) return false;
        uint32_t next = 0;
        const bool linked = volume_.NextCluster(cluster, next);
        if (i == clusters) return !linked;
        if (!linked) return false;
        cluster = next;
    }
}

std::vector<uint32_t> CFastExfatRecovery::DirectoryClusters(const Directory& dir) {
    const ExfatBootRegion& b = volume_.Boot();
    const uint64_t most = kMaxDirectoryBytes / b.ClusterBytes();
    std::vector<uint32_t> clusters;
    if (!b.IsHeapCluster(dir.facts.firstCluster)) return clusters;
    // A deleted folder whose first cluster is taken again holds someone else's data now.
    if (dir.facts.entryDeleted && volume_.HasBitmap() &&
        volume_.IsClusterInUse(dir.facts.firstCluster)) {
        return clusters;
    }
    // Folders state their size; a damaged one is still read no further than the most a folder
    // can hold. The root states none: its chain is followed.
    const uint64_t stated = (dir.facts.dataLength + b.ClusterBytes() - 1) / b.ClusterBytes();
    ClusterCursor cursor =
        dir.depth == 0
            ? ClusterCursor(*this, dir.facts.firstCluster, ClusterCursor::Mode::kChain, most)
            : ClusterCursor::For(*this, dir.facts, std::clamp<uint64_t>(stated, 1, most));
    for (uint32_t c = 0; cursor.Next(c);) clusters.push_back(c);
    return clusters;
}

ExfatContentFacts CFastExfatRecovery::FactsOf(const RecoveredItem& item) {
    ExfatContentFacts facts;
    facts.firstCluster = static_cast<uint32_t>(item.objectKey);
    facts.dataLength = item.fileSize;
    facts.validDataLength = item.fileSize;
    facts.stale = item.isDeleted != 0;
    facts.entryDeleted = facts.stale;
    // The stream extension entry of the file sits in the sector the record names; a sector that
    // changed since the scan no longer holds an entry with this first cluster and size.
    const uint32_t bps = volume_.Boot().BytesPerSector();
    const uint64_t at = item.location * bps;
    std::vector<uint8_t> sector(bps);
    if (at < volume_.StartByte() ||
        volume_.ReadVolumeBytes(at - volume_.StartByte(), sector) != kOk) {
        return facts;
    }
    for (size_t off = 0; off + kExfatEntryBytes <= sector.size(); off += kExfatEntryBytes) {
        const uint8_t* e = sector.data() + off;
        if ((e[0] | kExfatInUseBit) != kExfatTypeStream) continue;
        if (Le32(e + 20) != facts.firstCluster || Le64(e + 24) != facts.dataLength) continue;
        facts.noFatChain = (e[1] & kExfatFlagNoFatChain) != 0;
        facts.validDataLength = std::min(Le64(e + 8), facts.dataLength);
        facts.entryDeleted = (e[0] & kExfatInUseBit) == 0;
        break;
    }
    return facts;
}

Result CFastExfatRecovery::CopyContent(const RecoveredItem& item, uint64_t total, uint64_t& done,
                                       const ChunkSink& sink, const CopiedFn& copied) {
    const ExfatBootRegion& b = volume_.Boot();
    const uint32_t clusterBytes = b.ClusterBytes();
    const ExfatContentFacts facts = FactsOf(item);
    total = std::min(total, facts.dataLength);
    const uint64_t needed = (facts.dataLength + clusterBytes - 1) / clusterBytes;
    // A size the heap cannot hold belongs to a damaged entry: nothing is read for it.
    if (needed > b.clusterCount) return kErrHandleEof;
    ClusterCursor cursor = ClusterCursor::For(*this, facts, needed);
    std::vector<uint8_t> buffer(total > 0 ? clusterBytes : 0);
    while (done < total) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(clusterBytes, total - done));
        if (done >= facts.validDataLength) {
            // Never written: zeros, whatever the clusters hold.
            std::fill_n(buffer.begin(), n, 0);
        } else {
            uint32_t cluster = 0;
            if (!cursor.Next(cluster)) return kErrHandleEof;
            if (Result r = volume_.ReadCluster(cluster, buffer); r != kOk) return r;
            if (done + n > facts.validDataLength) {
                const auto valid = static_cast<size_t>(facts.validDataLength - done);
                std::fill(buffer.begin() + valid, buffer.begin() + n, 0);
            }
        }
        if (Result r = sink(buffer.data(), n); r != kOk) return r;
        done += n;
        if (const int answer = copied(done); answer != 0) return answer;
    }
    return kOk;
}

}  // namespace norvale
