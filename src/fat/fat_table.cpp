#include "fat/fat_table.h"

#include <algorithm>
#include <new>

#include "device/bytes.h"
#include "device/sector_reader.h"

namespace norvale {
namespace {

struct EntryPlace {
    uint64_t offset;  // byte offset inside the FAT copy
    uint32_t width;   // bytes that hold the entry
};

EntryPlace PlaceOf(FatKind kind, uint32_t cluster) {
    switch (kind) {
        case FatKind::Fat12:
            return {uint64_t{cluster} + cluster / 2, 2};
        case FatKind::Fat16:
            return {uint64_t{cluster} * 2, 2};
        case FatKind::Fat32:
            return {uint64_t{cluster} * 4, 4};
    }
    return {0, 0};
}

// First value of each width that no longer names a next cluster.
uint32_t EndOfChainOf(FatKind kind) {
    switch (kind) {
        case FatKind::Fat12:
            return 0xFF8;
        case FatKind::Fat16:
            return 0xFFF8;
        case FatKind::Fat32:
            return 0x0FFFFFF8;
    }
    return 0;
}

}  // namespace

FatTable::FatTable(SectorReader& reader, const FatGeometry& geometry, uint32_t windowBytes)
    : reader_(reader), geometry_(geometry) {
    const uint32_t bps = std::max<uint32_t>(geometry_.bytesPerSector, 1);
    windowSectors_ = std::max<uint32_t>(windowBytes / bps, 2);
    windowSectors_ = std::min(windowSectors_, geometry_.fatSectors);
}

Result FatTable::Load() {
    window_.clear();
    windowValid_ = 0;
    if (windowSectors_ == 0) return kOk;  // no FAT to read: every chain runs on contiguously
    try {
        window_.resize(size_t{windowSectors_} * geometry_.bytesPerSector);
    } catch (const std::bad_alloc&) {
        window_.clear();
        return kErrNotEnoughMemory;
    }
    return LoadWindowAt(0);
}

uint64_t FatTable::ReadableEndLba() const {
    // The reader counts the medium in its own sectors; the FAT is read in the volume's.
    uint64_t end = reader_.TotalSectors() * reader_.MediumSectorSize() / geometry_.bytesPerSector;
    if (geometry_.partitionSectors != 0) {
        end = std::min(end, geometry_.partitionStartLba + geometry_.partitionSectors);
    }
    return end;
}

Result FatTable::LoadWindowAt(uint64_t firstSector) {
    const uint32_t bps = geometry_.bytesPerSector;
    if (firstSector >= geometry_.fatSectors) return kErrInvalidParameter;
    const uint64_t lba = geometry_.fatStartLba + firstSector;
    const uint64_t end = ReadableEndLba();
    if (lba >= end) return kErrInvalidParameter;
    // A window near the end of a short medium is cut to what the medium holds instead of
    // being refused as a whole.
    const auto count = static_cast<uint32_t>(
        std::min<uint64_t>({windowSectors_, geometry_.fatSectors - firstSector, end - lba}));

    // The first sector is tried on its own, so an unreadable FAT sector leaves the window and
    // the entries it already serves untouched.
    std::vector<uint8_t> probe(bps);
    uint32_t got = 0;
    Result r = reader_.ReadSectors(1, probe.data(), lba, bps, got);
    if (got == 0) return r != kOk ? r : kErrReadFault;

    got = 0;
    r = reader_.ReadSectors(count, window_.data(), lba, bps, got);
    sectorsLoaded_ += got;
    windowStart_ = firstSector;
    windowValid_ = got;  // a bad sector further on only shortens the window
    if (got == 0) return r != kOk ? r : kErrReadFault;
    return kOk;
}

Result FatTable::ReadFatEntry(uint32_t cluster, uint32_t& value) {
    if (window_.empty()) {
        value = cluster + 1;
        return kOk;
    }
    const uint32_t bps = geometry_.bytesPerSector;
    const EntryPlace place = PlaceOf(geometry_.kind, cluster);
    if (place.offset + place.width > uint64_t{geometry_.fatSectors} * bps) {
        return kErrInvalidParameter;
    }
    auto inWindow = [&] {
        const uint64_t first = windowStart_ * bps;
        const uint64_t last = (windowStart_ + windowValid_) * bps;
        return place.offset >= first && place.offset + place.width <= last;
    };
    if (!inWindow()) {
        // A FAT12 entry may straddle two sectors; loading from its first byte's sector brings
        // both in, unless the second one could not be read.
        const Result r = LoadWindowAt(place.offset / bps);
        if (r != kOk) return r;
        if (!inWindow()) return kErrReadFault;
    }
    const uint8_t* p = window_.data() + (place.offset - windowStart_ * bps);
    switch (geometry_.kind) {
        case FatKind::Fat12: {
            const uint16_t pair = Le16(p);
            value = (cluster & 1) ? pair >> 4 : pair & 0x0FFF;
            break;
        }
        case FatKind::Fat16:
            value = Le16(p);
            break;
        case FatKind::Fat32:
            value = Le32(p);
            break;
    }
    return kOk;
}

uint32_t FatTable::NextCluster(uint32_t cluster) {
    if (!IsDataCluster(geometry_, cluster)) return 0;
    uint32_t value = 0;
    if (ReadFatEntry(cluster, value) != kOk) value = 0;
    if (value == 0) {
        // Deletion clears the chain. When the next entry is free too, the file most likely
        // went on there; when it is in use, something else owns that cluster.
        if (!IsDataCluster(geometry_, cluster + 1)) return 0;
        uint32_t following = 0;
        if (ReadFatEntry(cluster + 1, following) != kOk) following = 0;
        return following == 0 ? cluster + 1 : 0;
    }
    const uint32_t next = geometry_.kind == FatKind::Fat32 ? value & 0x0FFFFFFF : value;
    if (next >= EndOfChainOf(geometry_.kind)) return 0;
    // Bad-cluster marks and links to cluster 1 or past the volume lead nowhere that holds
    // file data; following them would copy foreign sectors into the file.
    if (!IsDataCluster(geometry_, next)) return 0;
    return next;
}

uint32_t FatTable::NextFreeClusterForCopy(uint32_t cluster) {
    if (!IsDataCluster(geometry_, cluster)) return 0;
    uint32_t value = 0;
    if (ReadFatEntry(cluster, value) != kOk) value = 0;
    if (value != 0) return NextCluster(cluster);
    // One pass to the end of the data area at most: each entry is read through the window.
    for (uint32_t next = cluster + 1; IsDataCluster(geometry_, next); ++next) {
        uint32_t entry = 0;
        if (ReadFatEntry(next, entry) != kOk) entry = 0;
        if (entry == 0) return next;
    }
    return 0;
}

ChainWalk::ChainWalk(FatTable& table, uint32_t firstCluster, uint64_t maxClusters, ChainRule rule)
    : table_(table), maxClusters_(maxClusters), rule_(rule) {
    if (maxClusters_ > 0 && IsDataCluster(table_.Geometry(), firstCluster)) {
        current_ = firstCluster;
        Mark(firstCluster);
        count_ = 1;
    }
}

void ChainWalk::Next() {
    if (current_ == 0) return;
    if (count_ >= maxClusters_) {
        current_ = 0;
        return;
    }
    const uint32_t next = rule_ == ChainRule::kSkipInUse ? table_.NextFreeClusterForCopy(current_)
                                                         : table_.NextCluster(current_);
    if (next == 0) {
        current_ = 0;
        return;
    }
    if (!Mark(next)) {
        loopFound_ = true;
        current_ = 0;
        return;
    }
    current_ = next;
    ++count_;
}

bool ChainWalk::Mark(uint32_t cluster) {
    const size_t word = cluster / 64;
    const uint64_t bit = uint64_t{1} << (cluster % 64);
    if (word >= seen_.size()) seen_.resize(word + 1, 0);
    if (seen_[word] & bit) return false;
    seen_[word] |= bit;
    return true;
}

}  // namespace norvale
