// The pass of CProfessionalExfatRecovery: which sectors it claims, and what it keeps of them
// (decoded entry sets, runs of directory sectors, sectors that open with an entry set, boot
// sectors) until FinishScan places them.

#include <algorithm>

#include "exfat/entry_set.h"
#include "exfat/professional_exfat_recovery.h"

namespace norvale {
namespace {

// The bytes a file entry set of `secondaries` secondary entries at `offset` takes.
size_t SetEnd(size_t offset, uint8_t secondaries) {
    return offset + (size_t{secondaries} + 1) * kExfatEntryBytes;
}

bool IsFileEntryType(uint8_t type) {
    return type == kExfatTypeFile || type == kExfatTypeDeletedFile;
}

// Entries only a root directory holds.
bool IsRootEntryType(uint8_t type) {
    return type == kExfatTypeBitmap || type == kExfatTypeUpcase || type == kExfatTypeLabel ||
           type == kExfatTypeEmptyLabel || type == kExfatTypeVolumeGuid;
}

// The first sector of an exFAT FAT: the media entry F8FFFFFF and FFFFFFFF for cluster 1. A
// FAT16 may open the same way; a FAT is only used where its chains describe a file whole.
bool IsFatStart(std::span<const uint8_t> sector) {
    static constexpr uint8_t kHead[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return sector.size() >= 16 && std::equal(std::begin(kHead), std::end(kHead), sector.begin());
}

// A sector that opens with a set too long for it (a long name takes up to 608 bytes) and holds
// nothing but that set's entries: the recogniser needs a whole set, so the set is claimed
// whole and checked when it is taken.
size_t LongSetBytes(std::span<const uint8_t> sector) {
    const uint8_t type = sector[0];
    const uint8_t secondaries = sector[1];
    const size_t bytes = (size_t{secondaries} + 1) * kExfatEntryBytes;
    if (!IsFileEntryType(type) || secondaries < kExfatMinSecondaries ||
        secondaries > kExfatMaxSecondaries || bytes <= sector.size()) {
        return 0;
    }
    const uint8_t inUse = type & kExfatInUseBit;
    if (sector[kExfatEntryBytes] != ((kExfatTypeStream & ~kExfatInUseBit) | inUse)) return 0;
    for (size_t at = 2 * kExfatEntryBytes; at + kExfatEntryBytes <= sector.size();
         at += kExfatEntryBytes) {
        if (sector[at] != ((kExfatTypeName & ~kExfatInUseBit) | inUse)) return 0;
    }
    return bytes;
}

}  // namespace

size_t CProfessionalExfatRecovery::ClaimSector(std::span<const uint8_t> sector,
                                               uint32_t bytesPerSector, uint8_t& kind) {
    if (bytesPerSector < 512 || sector.size() < bytesPerSector) return 0;
    sector = sector.first(bytesPerSector);
    if (IsExfatDirectorySector(sector)) {
        kind = kExfatDirectorySectorKind;
        // A set that begins here and runs on into the next sector is taken whole with it: the
        // next sector alone may hold no whole set and would not be claimed.
        size_t end = bytesPerSector;
        for (size_t at = 0; at + kExfatEntryBytes <= sector.size();) {
            const uint8_t type = sector[at];
            if (type == kExfatEndOfDirectory) break;
            if (!IsFileEntryType(type)) {
                at += kExfatEntryBytes;
                continue;
            }
            const uint8_t secondaries = sector[at + 1];
            const size_t setEnd = SetEnd(at, secondaries);
            if (setEnd > sector.size() && secondaries >= kExfatMinSecondaries &&
                secondaries <= kExfatMaxSecondaries) {
                end = std::max(end, setEnd);
            }
            at = setEnd > at ? std::max(setEnd, at + kExfatEntryBytes) : at + kExfatEntryBytes;
        }
        return (end + bytesPerSector - 1) / bytesPerSector * bytesPerSector;
    }
    if (const size_t bytes = LongSetBytes(sector); bytes != 0) {
        kind = kExfatDirectorySectorKind;
        return (bytes + bytesPerSector - 1) / bytesPerSector * bytesPerSector;
    }
    ExfatBootRegion boot;
    if (ParseExfatBootSector(sector, boot) || IsFatStart(sector)) {
        kind = kExfatBootSectorKind;
        return bytesPerSector;
    }
    return 0;
}

void CProfessionalExfatRecovery::TakeSector(uint8_t kind, std::span<const uint8_t> bytes,
                                            uint64_t lba) {
    if (!store_ || !store_->IsOpen() || bytes.size() < sectorSize_) return;
    // Whole sectors only: a part-read tail is zeros the coordinator added.
    bytes = bytes.first(bytes.size() / sectorSize_ * sectorSize_);
    if (kind == kExfatDirectorySectorKind) {
        TakeDirectoryBlock(bytes, lba);
    } else if (kind == kExfatBootSectorKind) {
        TakeBootSector(bytes.first(sectorSize_), lba);
    }
}

void CProfessionalExfatRecovery::TakeBootSector(std::span<const uint8_t> sector, uint64_t lba) {
    if (IsFatStart(sector)) {
        if (fatStarts_.size() < limits_.maxFatStarts) fatStarts_.push_back(lba);
        return;
    }
    ExfatBootRegion boot;
    if (!ParseExfatBootSector(sector, boot)) return;
    const uint32_t bps = boot.BytesPerSector();
    if (bps < sectorSize_ || bps % sectorSize_ != 0) return;
    const uint32_t scale = bps / sectorSize_;
    const uint32_t spc = (uint32_t{1} << boot.sectorsPerClusterShift) * scale;
    // The main boot sector opens the volume; its backup is the volume's 13th sector. The same
    // bytes stand in both places: each start is a candidate and the links decide.
    for (const uint64_t back : {uint64_t{0}, uint64_t{kExfatBootRegionSectors} * scale}) {
        if (lba < back) continue;
        ExfatLayout layout;
        layout.heapLba = lba - back + uint64_t{boot.clusterHeapOffset} * scale;
        layout.sectorsPerCluster = spc;
        layout.fromBoot = true;
        if (std::find(bootCandidates_.begin(), bootCandidates_.end(), layout) !=
            bootCandidates_.end()) {
            continue;
        }
        if (bootCandidates_.size() >= limits_.maxBootCandidates) return;
        bootCandidates_.push_back(layout);
    }
}

void CProfessionalExfatRecovery::NoteRun(uint64_t lba, uint64_t sectors, bool open, bool root) {
    if (!runs_.empty()) {
        Run& last = runs_.back();
        const uint64_t lastEnd = last.firstLba + last.sectors;
        // The coordinator may hand the second sector of a two-sector block again on its own;
        // a sector right after an end of directory begins another run.
        if (lba >= last.firstLba && (lba < lastEnd || (lba == lastEnd && last.open))) {
            const uint64_t end = std::max(lastEnd, lba + sectors);
            if (lba + sectors >= lastEnd) last.open = open;
            last.sectors = end - last.firstLba;
            last.root = last.root || root;
            return;
        }
    }
    if (runs_.size() >= limits_.maxRuns) return;
    runs_.push_back(Run{lba, sectors, open, root});
}

std::string_view CProfessionalExfatRecovery::NameOf(const FoundSet& s) const {
    if (size_t{s.nameOffset} + s.nameLength > names_.size()) return {};
    return std::string_view(names_).substr(s.nameOffset, s.nameLength);
}

void CProfessionalExfatRecovery::DropTail() {
    // The set did not go on in the next sector: its directory may go on in another cluster.
    if (!tail_.empty() && cutSets_.size() < limits_.maxCutSets) {
        cutSets_.push_back(
            CutSet{(tailEndLba_ * sectorSize_ - tail_.size()) / sectorSize_, tailEndLba_, tail_});
    }
    tail_.clear();
}

void CProfessionalExfatRecovery::KeepSet(const ExfatFileEntry& entry, uint64_t lba) {
    const size_t nameBytes = std::min<size_t>(entry.name.size(), 0xFFFF);
    if (sets_.size() >= limits_.maxSets || names_.size() + nameBytes > limits_.maxNameBytes) {
        return;
    }
    FoundSet s;
    s.lba = lba;
    s.validDataLength = entry.validDataLength;
    s.dataLength = entry.dataLength;
    s.createdTime = entry.createdTime;
    s.modifiedTime = entry.modifiedTime;
    s.accessedTime = entry.accessedTime;
    s.firstCluster = entry.firstCluster;
    s.nameOffset = static_cast<uint32_t>(names_.size());
    s.nameLength = static_cast<uint16_t>(nameBytes);
    s.deleted = entry.deleted;
    s.isFolder = entry.isFolder;
    s.noFatChain = entry.noFatChain;
    names_.append(entry.name, 0, nameBytes);
    sets_.push_back(s);
}

void CProfessionalExfatRecovery::TakeDirectoryBlock(std::span<const uint8_t> block, uint64_t lba) {
    const uint64_t blockSectors = block.size() / sectorSize_;
    // A set cut off at the end of the block before goes on here.
    std::vector<uint8_t> joined;
    uint64_t base = lba * sectorSize_;
    if (!tail_.empty() && tailEndLba_ == lba) {
        joined = tail_;
        joined.insert(joined.end(), block.begin(), block.end());
        base -= tail_.size();
        block = joined;
        tail_.clear();
    } else {
        DropTail();
        // A block that opens with the rest of a set taken nowhere yet: the second cluster of a
        // directory, whose first set began at the end of another cluster.
        size_t leading = 0;
        while ((leading + 1) * kExfatEntryBytes <= block.size() &&
               leading <= kExfatMaxSecondaries) {
            const uint8_t type = block[leading * kExfatEntryBytes];
            if ((type & kExfatSecondaryBit) == 0 || (type & 0x3F) > 1) break;
            ++leading;
        }
        if (leading != 0 && leading <= kExfatMaxSecondaries && base >= parsedUpTo_ &&
            heads_.size() < limits_.maxHeads) {
            heads_.push_back(
                Head{lba, leading,
                     std::vector<uint8_t>(
                         block.begin(), block.begin() + std::ptrdiff_t(leading * kExfatEntryBytes)),
                     false});
        }
    }
    // A block handed over out of order (a pass started again) is taken as it stands.
    if (parsedUpTo_ > base + block.size()) parsedUpTo_ = 0;

    bool endMarker = false;
    bool root = false;
    for (size_t at = 0; at + kExfatEntryBytes <= block.size();) {
        const uint8_t type = block[at];
        const uint64_t where = base + at;
        if (type == kExfatEndOfDirectory) {
            endMarker = true;
            break;
        }
        if (IsRootEntryType(type)) root = true;
        if (!IsFileEntryType(type) || where < parsedUpTo_) {
            at += kExfatEntryBytes;
            continue;
        }
        ExfatFileEntry entry;
        size_t used = 1;
        const EntrySetStatus status = DecodeEntrySet(block.subspan(at), entry, used);
        if (status == EntrySetStatus::kTruncated) {
            const uint8_t secondaries = block[at + 1];
            if (secondaries <= kExfatMaxSecondaries) {
                tail_.assign(block.begin() + std::ptrdiff_t(at), block.end());
                tailEndLba_ = lba + blockSectors;
            }
            break;
        }
        if (status != EntrySetStatus::kOk) {
            at += kExfatEntryBytes;
            continue;
        }
        used = std::max<size_t>(used, 1);
        parsedUpTo_ = where + used * kExfatEntryBytes;
        const uint64_t setLba = where / sectorSize_;
        if (where % sectorSize_ == 0 && starts_.size() < limits_.maxStarts &&
            (starts_.empty() || starts_.back() < setLba)) {
            starts_.push_back(setLba);
        }
        KeepSet(entry, setLba);
        at += used * kExfatEntryBytes;
    }
    NoteRun(lba, blockSectors, !endMarker, root);
}

}  // namespace norvale
