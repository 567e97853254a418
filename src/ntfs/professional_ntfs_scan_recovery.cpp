// The sector pass of CProfessionalNtfsRecovery: each file record handed over becomes an item,
// placed on the volume it belongs to and under the folders its parent references lead to; the
// folders are recorded once the whole source has been read.

#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>
#include <unordered_map>

#include "carving/identify.h"
#include "device/bytes.h"
#include "device/chunked_io.h"
#include "ntfs/boot_sector.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace norvale {
namespace {

constexpr uint32_t kRootKey = static_cast<uint32_t>(kMftRecordRoot);
// Stands for a parent reference past 2^32 - 1: the store's keys and the record's own number
// field are 32 bits wide, and a truncated number could name an unrelated folder.
constexpr uint32_t kUnreachableKey = std::numeric_limits<uint32_t>::max();
constexpr size_t kBootBytes = 4096;

uint32_t ParentKey(uint64_t reference) {
    return reference >= kUnreachableKey ? kUnreachableKey : static_cast<uint32_t>(reference);
}

}  // namespace

void CProfessionalNtfsRecovery::RegisterBootMft() {
    mfts_.clear();
    std::vector<uint8_t> boot(std::max<size_t>(kBootBytes, bytesPerSector_));
    uint32_t got = 0;
    const auto count = static_cast<uint32_t>(boot.size() / bytesPerSector_);
    if (reader_.ReadSectors(count, boot.data(), partitionStart_, bytesPerSector_, got) != kOk ||
        got != count || !IsNtfsBootSector(boot)) {
        return;
    }
    // The boot sector counts in its own sectors; this engine in the source's.
    const uint32_t bootSector = Le16(boot.data() + 0x0B) ? Le16(boot.data() + 0x0B) : 512;
    const uint64_t clusterBytes = uint64_t{NtfsSectorsPerCluster(boot[0x0D])} * bootSector;
    if (clusterBytes == 0 || clusterBytes % bytesPerSector_ != 0) return;
    const uint64_t spc = clusterBytes / bytesPerSector_;
    uint64_t mftLba = 0;
    if (__builtin_mul_overflow(Le64(boot.data() + 0x30), spc, &mftLba) ||
        __builtin_add_overflow(mftLba, partitionStart_, &mftLba)) {
        return;
    }
    if (ReadRecordAt(mftLba, folderRecord_) != kOk) return;
    RegisterMft(folderRecord_, mftLba, static_cast<uint32_t>(spc));
}

void CProfessionalNtfsRecovery::RegisterMft(std::span<const uint8_t> record, uint64_t recordZeroLba,
                                            uint32_t sectorsPerCluster) {
    AttributeRef data;
    if (FirstDataAttribute(record, data) != kOk || !data.nonResident) return;
    std::vector<DataRun> runs;
    // A list that ends badly still places the records of the runs before the damage.
    (void)DecodeRunList(data.bytes, 0, runs);
    const uint32_t stated = SectorsPerClusterFromRecord(record, bytesPerSector_);
    if (stated != 0) sectorsPerCluster = stated;
    if (sectorsPerCluster == 0) sectorsPerCluster = spcEstimate_;
    MftPlacement placement;
    if (!BuildMftPlacement(recordZeroLba, runs, sectorsPerCluster, partitionStart_, placement)) {
        return;
    }
    if (mfts_.size() >= kMaxMftPlacements && !mfts_.count(recordZeroLba)) return;
    KnownMft& known = mfts_[recordZeroLba];
    known.placement = std::move(placement);
    known.sectorsPerRecord = static_cast<uint32_t>(record.size() / bytesPerSector_);
}

const CProfessionalNtfsRecovery::KnownMft* CProfessionalNtfsRecovery::ExplainingMft(
    uint64_t number, uint64_t lba, uint32_t sectorsPerRecord) const {
    for (const auto& [key, mft] : mfts_) {
        if (mft.sectorsPerRecord == sectorsPerRecord &&
            PlaceRecord(mft.placement, number, sectorsPerRecord) == lba) {
            return &mft;
        }
    }
    return nullptr;
}

std::optional<uint64_t> CProfessionalNtfsRecovery::NumberAt(uint64_t lba,
                                                            uint32_t sectorsPerRecord) const {
    for (const auto& [key, mft] : mfts_) {
        if (mft.sectorsPerRecord != sectorsPerRecord) continue;
        for (const MftPlacement::Extent& e : mft.placement.extents) {
            if (lba < e.lba || lba - e.lba >= e.sectors) continue;
            const uint64_t sector = e.firstSector + (lba - e.lba);
            if (sector % sectorsPerRecord == 0) return sector / sectorsPerRecord;
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> CProfessionalNtfsRecovery::Locate(const Origin& from,
                                                          uint64_t number) const {
    if (from.mft) {
        if (auto lba = PlaceRecord(from.mft->placement, number, from.sectorsPerRecord)) return lba;
    }
    // Past the runs that are known (or with none known) the MFT is taken to run on without a
    // break; the number in the record read there tells whether that held.
    return ExtrapolateRecord(from.lba, from.number, number, from.sectorsPerRecord);
}

Result CProfessionalNtfsRecovery::ParseCandidate(std::span<const uint8_t> record,
                                                 uint64_t foundLba) {
    if (!store_ || !store_->IsOpen()) return kErrInvalidHandle;
    if (record.size() < recordBytes_) return kErrInvalidParameter;
    // A record larger than the size assumed (4 KiB records on 512-byte sectors) is taken whole
    // when it was handed over whole.
    uint32_t size = CandidateRecordBytes(record, bytesPerSector_);
    if (size < recordBytes_ || size > record.size()) size = recordBytes_;
    record_.assign(record.begin(), record.begin() + size);
    const uint32_t sectorsPerRecord = size / bytesPerSector_;
    MftRecordHeader h;
    if (!DecodeRecordHeader(record_, h) || !h.HasSignature()) return kErrEngineGeneric;
    if (h.IsDirectory()) return kOk;  // folders are met through the files below them
    if (!RestoreFoundFixups(record_)) return kErrEngineGeneric;
    if (!HasUsableHeader(record_)) return kErrInvalidParameter;
    uint64_t ownNumber = h.recordNumber;
    if (!h.HasOwnNumber()) {
        // Its number is where it lies, which only a known MFT tells.
        const std::optional<uint64_t> placed = NumberAt(foundLba, sectorsPerRecord);
        if (!placed) return kOk;
        ownNumber = *placed;
    }
    if (ownNumber >= kUnreachableKey) return kOk;
    const auto number = static_cast<uint32_t>(ownNumber);
    if (number == kMftRecordMft) {
        if (IsMftSelfRecord(record_)) RegisterMft(record_, foundLba, 0);
        return kOk;
    }
    if (number <= kLastSystemRecord || number >= kUnreachableKey) return kOk;

    if (const uint32_t spc = SectorsPerClusterFromRecord(record_, bytesPerSector_); spc != 0) {
        spcEstimate_ = spc;
    }
    FoundRecordFacts facts;
    if (!ReadFoundRecordFacts(record_, facts)) return kOk;

    Origin origin;
    origin.mft = ExplainingMft(number, foundLba, sectorsPerRecord);
    origin.lba = foundLba;
    origin.number = number;
    origin.volumeStart = origin.mft ? origin.mft->placement.volumeStart : partitionStart_;
    origin.sectorsPerCluster = origin.mft ? origin.mft->placement.sectorsPerCluster : spcEstimate_;
    origin.sectorsPerRecord = sectorsPerRecord;

    const uint32_t parent = ParentKey(facts.first.parentRecord);
    // What lies in the volume's own folders ($Extend: $ObjId, $Quota, $Reparse) is the file
    // system's bookkeeping, not a file of the person's, and cannot be recovered as one.
    if (parent != kRootKey && parent <= kLastSystemRecord) return kOk;
    uint32_t level = 0;
    bool deletedAbove = false;
    if (parent != kRootKey) {
        const FolderPlace& place = PlaceFolder(parent, origin);
        level = place.level + 1;
        deletedAbove = place.deleted;
    }

    RecoveredItem item{};
    item.sourceTag = sourceTag_;
    item.engineKind = kEngineProfessionalNtfs;
    item.isFolder = 0;
    item.isDeleted = (!h.InUse() || deletedAbove) ? 1 : 0;
    item.contentValid = ContentMatches(facts, origin.volumeStart, origin.sectorsPerCluster) ? 1 : 0;
    item.objectKey = static_cast<int32_t>(number);
    item.clusterBytes = static_cast<int32_t>(origin.sectorsPerCluster * bytesPerSector_);
    item.createdTime = facts.first.createdTime;
    item.accessedTime = facts.first.accessedTime;
    item.modifiedTime = facts.first.modifiedTime;
    item.fileSize = facts.size;
    item.dataAreaStart = 0;
    item.location = foundLba;
    item.partitionStart = origin.volumeStart;
    item.SetName(facts.name);
    RecoveredItem* slot = store_->AppendRecord();
    if (!slot) return kErrInvalidHandle;
    item.recordIndex = NextRecordIndex();
    *slot = item;
    store_->LinkChild(parent, level, item.recordIndex, item.objectKey, nullptr);
    return kOk;
}

bool CProfessionalNtfsRecovery::ContentMatches(const FoundRecordFacts& facts, uint64_t volumeStart,
                                               uint32_t spc) {
    const std::string_view ext = ExtensionOf(facts.name);
    if (ext.empty() || !facts.haveData) return true;
    const uint32_t bps = bytesPerSector_;
    if (!facts.data.nonResident) {
        const std::span<const uint8_t> value = ResidentValue(facts.data);
        if (value.empty()) return false;
        // A resident stream has no sectors after it for a detector to read ahead in.
        return CheckTypeByExtension(*carvingContext_, value, ext, nullptr, bps, 0);
    }
    // The stored clusters of compressed or encrypted content say nothing about the file.
    if ((facts.data.flags & (kAttrFlagCompressed | kAttrFlagEncrypted)) != 0) return true;
    std::vector<DataRun> runs;
    // The runs before any damage are what can be checked.
    (void)DecodeRunList(facts.data.bytes, 0, runs);
    if (runs.empty()) return true;
    std::vector<uint8_t> sector(bps, 0);  // a sparse start reads as zeros
    uint64_t lba = 0;
    if (!runs.front().sparse) {
        if (__builtin_mul_overflow(runs.front().lcn, uint64_t{spc}, &lba) ||
            __builtin_add_overflow(lba, volumeStart, &lba)) {
            return true;
        }
        uint32_t got = 0;
        if (reader_.ReadSectors(1, sector.data(), lba, bps, got) != kOk || got != 1) return true;
    }
    return CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, bps, lba);
}

bool CProfessionalNtfsRecovery::ReadFolder(uint64_t lba, uint32_t number, uint32_t& parent,
                                           bool& inUse) {
    if (ReadRecordAt(lba, folderRecord_) != kOk) return false;
    MftRecordHeader h;
    DecodeRecordHeader(folderRecord_, h);
    // The record there must still be this folder: a record reused by a file, or one of another
    // number (a wrong guess at where the MFT continues), is not. A record that keeps no number
    // of its own is taken for the one its place says.
    if (!h.IsDirectory() || (h.HasOwnNumber() && h.recordNumber != number)) return false;
    AttributeRef attr;
    FileNameInfo name;
    for (AttributeWalker walk(folderRecord_); walk.Next(attr);) {
        if (attr.type == kAttrFileName && DecodeFileName(ResidentValue(attr), name)) {
            parent = ParentKey(name.parentRecord);
            inUse = h.InUse();
            return true;
        }
    }
    return false;
}

const CProfessionalNtfsRecovery::FolderPlace& CProfessionalNtfsRecovery::PlaceFolder(
    uint32_t number, const Origin& from) {
    if (const auto it = places_.find(number); it != places_.end()) return it->second;
    // Walk up until the root, a folder already placed, a folder that is gone (lost: it hangs
    // under the root) or a folder met twice (a loop on a damaged volume: the last folder of the
    // walk hangs under the root). Each folder is read once per pass, however many files it holds.
    std::vector<std::pair<uint32_t, FolderPlace>> path;
    std::set<uint32_t> onPath;
    uint32_t anchor = kRootKey;  // what the last folder of the path hangs under
    uint32_t anchorLevel = 0;    // the level of anchor's children
    bool anchorDeleted = false;
    Origin origin = from;
    for (uint32_t current = number;;) {
        if (current == kRootKey) break;
        if (const auto it = places_.find(current); it != places_.end()) {
            anchor = current;
            anchorLevel = it->second.level + 1;
            anchorDeleted = it->second.deleted;
            break;
        }
        if (!onPath.insert(current).second || path.size() >= kMaxFolderDepth) break;
        folders_.push_back(current);
        FolderPlace place;
        place.volumeStart = origin.volumeStart;
        place.sectorsPerCluster = origin.sectorsPerCluster;
        const std::optional<uint64_t> lba =
            current == kUnreachableKey ? std::nullopt : Locate(origin, current);
        place.lba = lba.value_or(0);
        uint32_t parent = 0;
        bool inUse = false;
        if (!lba || !ReadFolder(*lba, current, parent, inUse)) {
            place.parent = kRootKey;
            place.level = 0;
            place.lost = place.deleted = true;
            places_[current] = place;
            anchor = current;
            anchorLevel = 1;
            anchorDeleted = true;
            break;
        }
        place.deleted = !inUse;
        path.emplace_back(current, place);
        origin.lba = *lba;
        origin.number = current;
        current = parent;
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        FolderPlace& place = it->second;
        place.parent = anchor;
        place.level = anchorLevel;
        place.deleted = place.deleted || anchorDeleted;
        places_[it->first] = place;
        anchor = it->first;
        ++anchorLevel;
        anchorDeleted = place.deleted;
    }
    return places_.at(number);
}

void CProfessionalNtfsRecovery::RecordFolder(uint32_t number, FolderPlace& place,
                                             Result& firstError) {
    RecoveredItem item{};
    bool named = false;
    if (!place.lost) {
        const Result r = ReadRecordAt(place.lba, folderRecord_);
        if (r > 0 && firstError == kOk) firstError = r;
        MftRecordHeader h;
        FoundRecordFacts facts;
        if (r == kOk && DecodeRecordHeader(folderRecord_, h) && h.IsDirectory() &&
            (!h.HasOwnNumber() || h.recordNumber == number) &&
            ReadFoundRecordFacts(folderRecord_, facts)) {
            // The volume's own folders ($Extend) are not shown, nor is what lies in them.
            if (number <= kLastSystemRecord) {
                place.recorded = true;
                return;
            }
            item.isDeleted = place.deleted ? 1 : 0;
            item.createdTime = facts.first.createdTime;
            item.accessedTime = facts.first.accessedTime;
            item.modifiedTime = facts.first.modifiedTime;
            item.fileSize = facts.size;
            item.SetName(facts.name);
            named = true;
        }
    }
    if (!named) {
        // The folder the files were in is gone; its record number is all that is left of it.
        // One that became unreadable since it was placed stays where its children expect it.
        char name[32];
        std::snprintf(name, sizeof name, "LostFolder%u", number);
        item.isDeleted = 1;
        item.SetName(name);
    }
    item.sourceTag = sourceTag_;
    item.engineKind = kEngineProfessionalNtfs;
    item.isFolder = 1;
    item.contentValid = 1;
    item.objectKey = static_cast<int32_t>(number);
    item.clusterBytes = static_cast<int32_t>(place.sectorsPerCluster * bytesPerSector_);
    item.dataAreaStart = 0;
    item.location = place.lba;
    item.partitionStart = place.volumeStart;
    RecoveredItem* slot = store_->AppendRecord();
    if (!slot) return;
    item.recordIndex = NextRecordIndex();
    *slot = item;
    store_->LinkChild(place.parent, place.level, item.recordIndex, item.objectKey, item.name);
    place.recorded = true;
}

Result CProfessionalNtfsRecovery::FinishScan() {
    if (!store_ || !store_->IsOpen()) return kErrInvalidHandle;
    Result firstError = kOk;
    for (const uint32_t number : folders_) {
        FolderPlace& place = places_.at(number);
        if (!place.recorded) RecordFolder(number, place, firstError);
    }
    folders_.clear();
    const Result flushed = store_->Flush();
    return firstError != kOk ? firstError : flushed;
}

void CProfessionalNtfsRecovery::RestoreRecordedFolders() {
    // A resumed pass appends to the store of the interrupted one, whose folders were recorded
    // when it stopped: they keep their place, and files found now join them.
    std::unordered_map<int32_t, ChildKey> linkedAt;
    for (const auto& [key, records] : store_->ChildMap()) {
        for (const int32_t index : records) linkedAt.emplace(index, key);
    }
    for (const DirInfoEntry& folder : store_->DirInfo()) {
        const auto it = linkedAt.find(folder.recordIndex);
        if (it == linkedAt.end()) continue;
        FolderPlace place;
        place.parent = it->second.parentKey;
        place.level = it->second.level;
        place.recorded = true;
        places_.emplace(static_cast<uint32_t>(folder.folderKey), place);
    }
}

}  // namespace norvale
