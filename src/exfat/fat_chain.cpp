#include "exfat/fat_chain.h"

#include <algorithm>
#include <cstring>

#include "device/bytes.h"
#include "device/sector_reader.h"

namespace norvale {
namespace {

// What one FAT value means for the walk; kEndOfChain stands for "go on" when `next` is set.
ExfatChainEnd Classify(uint32_t value, uint32_t clusterCount, bool& link) {
    link = false;
    if (value == kExfatEndOfChain) return ExfatChainEnd::kEndOfChain;
    if (value == kExfatFreeCluster) return ExfatChainEnd::kFree;
    if (value >= kExfatBadCluster) return ExfatChainEnd::kBad;
    if (value < 2 || value - 2 >= clusterCount) return ExfatChainEnd::kOutOfHeap;
    link = true;
    return ExfatChainEnd::kEndOfChain;
}

// A chain may come back on itself before its limit: the index of the first cluster that repeats
// an earlier one, or clusters.size() when none does.
size_t FirstRepeat(const std::vector<uint32_t>& clusters) {
    std::vector<std::pair<uint32_t, size_t>> sorted;
    sorted.reserve(clusters.size());
    for (size_t i = 0; i < clusters.size(); ++i) sorted.emplace_back(clusters[i], i);
    std::sort(sorted.begin(), sorted.end());
    size_t first = clusters.size();
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i].first == sorted[i - 1].first) first = std::min(first, sorted[i].second);
    }
    return first;
}

template <typename EntryFn>
ExfatChainEnd WalkWith(uint32_t firstCluster, uint32_t clusterCount, uint64_t maxClusters,
                       std::vector<uint32_t>& out, EntryFn entry) {
    out.clear();
    if (firstCluster < 2 || firstCluster - 2 >= clusterCount) return ExfatChainEnd::kOutOfHeap;
    const uint64_t limit = std::min<uint64_t>(maxClusters, clusterCount);
    uint32_t cluster = firstCluster;
    ExfatChainEnd end = ExfatChainEnd::kLimit;
    while (out.size() < limit) {
        out.push_back(cluster);
        uint32_t value = 0;
        if (!entry(cluster, value)) {
            end = ExfatChainEnd::kUnreadable;
            break;
        }
        bool link = false;
        const ExfatChainEnd meaning = Classify(value, clusterCount, link);
        if (!link) {
            end = meaning;
            break;
        }
        // A chain longer than the heap must repeat a cluster.
        if (out.size() == clusterCount) {
            end = ExfatChainEnd::kLoop;
            break;
        }
        cluster = value;
    }
    // A walk that reached a mark of its own repeated nothing: following the same links again
    // would never have ended.
    if (end != ExfatChainEnd::kLimit && end != ExfatChainEnd::kLoop) return end;
    if (const size_t repeat = FirstRepeat(out); repeat < out.size()) {
        out.resize(repeat);  // the clusters up to the first one that came back
        return ExfatChainEnd::kLoop;
    }
    return end;
}

}  // namespace

ExfatChainEnd WalkExfatChain(uint32_t firstCluster, uint32_t clusterCount,
                             std::span<const uint8_t> fatBytes, uint64_t maxClusters,
                             std::vector<uint32_t>& out) {
    const uint64_t entries = fatBytes.size() / 4;
    ExfatChainEnd end = WalkWith(firstCluster, clusterCount, maxClusters, out,
                                 [&](uint32_t cluster, uint32_t& value) {
                                     if (cluster >= entries) return false;
                                     value = Le32(fatBytes.data() + uint64_t{cluster} * 4);
                                     return true;
                                 });
    // A FAT cut short is a cluster this FAT does not describe.
    return end == ExfatChainEnd::kUnreadable ? ExfatChainEnd::kOutOfHeap : end;
}

bool FollowExfatChain(uint32_t firstCluster, uint32_t clusterCount,
                      std::span<const uint8_t> fatBytes, uint64_t maxClusters,
                      std::vector<uint32_t>& out) {
    return WalkExfatChain(firstCluster, clusterCount, fatBytes, maxClusters, out) ==
           ExfatChainEnd::kEndOfChain;
}

Result ReadMediumBytes(SectorReader& reader, uint64_t offset, std::span<uint8_t> out) {
    const uint32_t sector = std::clamp<uint32_t>(reader.MediumSectorSize(), 512, 4096);
    uint64_t lba = offset / sector;
    uint64_t head = offset % sector;
    size_t done = 0;
    if (head == 0 && out.size() % sector == 0) {
        while (done < out.size()) {
            const auto n = static_cast<uint32_t>(
                std::min<uint64_t>((out.size() - done) / sector, kMaxPieceBytes / sector));
            uint32_t got = 0;
            const Result r = reader.ReadSectors(n, out.data() + done, lba, sector, got);
            if (r != kOk) return r;
            if (got != n) return kErrReadFault;
            done += size_t{n} * sector;
            lba += n;
        }
        return kOk;
    }
    std::vector<uint8_t> bounce(kMaxPieceBytes + sector);
    while (done < out.size()) {
        const uint64_t want = std::min<uint64_t>(out.size() - done, kMaxPieceBytes);
        const auto n = static_cast<uint32_t>((head + want + sector - 1) / sector);
        uint32_t got = 0;
        const Result r = reader.ReadSectors(n, bounce.data(), lba, sector, got);
        if (r != kOk) return r;
        if (got != n) return kErrReadFault;
        std::memcpy(out.data() + done, bounce.data() + head, want);
        done += want;
        const uint64_t consumed = head + want;
        lba += consumed / sector;
        head = consumed % sector;
    }
    return kOk;
}

ExfatFatReader::ExfatFatReader(SectorReader& reader, const ExfatBootRegion& boot,
                               uint64_t volumeStartByte, uint64_t volumeBytes)
    : reader_(reader), boot_(boot), volumeBytes_(volumeBytes) {
    fatStartByte_ = volumeStartByte + (boot.ActiveFatSector() << boot.bytesPerSectorShift);
    const uint64_t mediumEnd =
        reader.TotalSectors() * std::clamp<uint32_t>(reader.MediumSectorSize(), 512, 4096);
    const uint64_t end =
        volumeBytes ? std::min(volumeStartByte + volumeBytes, mediumEnd) : mediumEnd;
    volumeBytes_ = end > volumeStartByte ? end - volumeStartByte : 0;
    volumeStart_ = volumeStartByte;
}

bool ExfatFatReader::Entry(uint32_t cluster, uint32_t& value) {
    if (uint64_t{cluster} >= uint64_t{boot_.clusterCount} + 2) return false;
    constexpr uint64_t kEntriesPerPiece = kPieceBytes / 4;
    const uint64_t first = cluster / kEntriesPerPiece * kEntriesPerPiece;
    Piece* hit = nullptr;
    for (Piece& p : pieces_) {
        if (p.first == first && !p.bytes.empty()) hit = &p;
    }
    if (hit == nullptr) {
        hit = &pieces_[0];
        for (Piece& p : pieces_) {
            if (p.lastUse < hit->lastUse) hit = &p;
        }
        uint64_t entries =
            std::min<uint64_t>(kEntriesPerPiece, uint64_t{boot_.clusterCount} + 2 - first);
        const uint64_t offset = fatStartByte_ + first * 4;
        // A FAT cut off by the end of the partition still gives the entries before the cut.
        const uint64_t end = volumeStart_ + volumeBytes_;
        if (offset >= end) return false;
        entries = std::min<uint64_t>(entries, (end - offset) / 4);
        if (entries == 0) return false;
        hit->first = ~uint64_t{0};
        hit->bytes.resize(entries * 4);
        if (ReadMediumBytes(reader_, offset, hit->bytes) != kOk) {
            hit->bytes.clear();
            return false;
        }
        hit->first = first;
    }
    hit->lastUse = ++clock_;
    const uint64_t index = cluster - hit->first;
    if (index * 4 + 4 > hit->bytes.size()) return false;
    value = Le32(hit->bytes.data() + index * 4);
    return true;
}

bool ExfatFatReader::Next(uint32_t cluster, uint32_t& next) {
    uint32_t value = 0;
    if (!Entry(cluster, value)) return false;
    bool link = false;
    (void)Classify(value, boot_.clusterCount, link);
    if (link) next = value;
    return link;
}

ExfatChainEnd ExfatFatReader::Walk(uint32_t firstCluster, uint64_t maxClusters,
                                   std::vector<uint32_t>& out) {
    return WalkWith(firstCluster, boot_.clusterCount, maxClusters, out,
                    [&](uint32_t cluster, uint32_t& value) { return Entry(cluster, value); });
}

}  // namespace norvale
