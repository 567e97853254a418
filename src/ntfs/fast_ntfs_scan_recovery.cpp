// The deleted-file scan of CFastNtfsRecovery: one pass over every MFT record, in batches, that
// records each deleted file and places the folders above it; then one item per folder met.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <set>

#include "carving/identify.h"
#include "ntfs/attribute_values.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/mft_record.h"
#include "ntfs/mft_scanner.h"

namespace norvale {
namespace {

constexpr uint32_t kRootKey = static_cast<uint32_t>(kMftRecordRoot);
// Stands for a parent reference past 2^32 - 1, which no MFT this engine reads can hold; the
// store's keys are 32 bits wide and a truncated number could name an unrelated folder.
constexpr uint32_t kUnreachableKey = std::numeric_limits<uint32_t>::max();
constexpr auto kEstimateInterval = std::chrono::seconds(5);

uint32_t ParentKey(uint64_t reference) {
    return reference > kUnreachableKey ? kUnreachableKey : static_cast<uint32_t>(reference);
}

}  // namespace

struct CFastNtfsRecovery::RecordFacts {
    FileNameInfo first;  // the first readable $FILE_NAME: parent, times, stated size
    std::string name;    // the first name, or a later Win32 one
    bool haveData = false;
    AttributeData data;  // the unnamed $DATA (its first extent, or all of it through a list)
    uint64_t size = 0;
};

Result CFastNtfsRecovery::RunScan() {
    MftScanner scanner(*volume_);
    if (Result r = scanner.Init(); r != kOk) return r;
    const uint64_t total = scanner.RecordsTotal();
    const uint32_t recordBytes = geometry_.recordBytes;
    std::vector<uint8_t> single(recordBytes);
    const auto start = std::chrono::steady_clock::now();
    auto lastEstimate = start;
    int secondsLeft = -1;
    uint64_t recordsRead = 0;
    Result firstError = kOk;
    int answer = 0;

    while (answer == 0) {
        const Result r = scanner.Next();
        if (r != kOk) {
            if (firstError == kOk) firstError = r;
            // The batch is read again record by record: a bad sector costs only the records
            // it holds, and the scan goes on past it.
            for (uint64_t n = scanner.FirstRecord(); n < scanner.RecordsDone(); ++n) {
                if (volume_->ReadRecordRaw(n, single) != kOk) continue;
                ++recordsRead;
                ParseDeletedRecord(single, n, volume_->RecordToLba(n).value_or(0));
            }
        } else if (scanner.Count() == 0) {
            break;
        } else {
            recordsRead += scanner.Count();
            for (uint32_t i = 0; i < scanner.Count(); ++i) {
                ParseDeletedRecord(scanner.Record(i), scanner.FirstRecord() + i,
                                   scanner.RecordLba(i));
            }
        }
        const uint64_t done = scanner.RecordsDone();
        const auto now = std::chrono::steady_clock::now();
        if (progressScale_ == kFullProgressScale && now - lastEstimate >= kEstimateInterval) {
            lastEstimate = now;
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - start);
            const uint64_t elapsed = std::max<int64_t>(1, seconds.count());
            const uint64_t speed = std::max<uint64_t>(1, done * recordBytes / elapsed);
            const uint64_t left = (total > done ? total - done : 0) * recordBytes / speed;
            secondsLeft = static_cast<int>(std::min<uint64_t>(left, INT32_MAX));
        }
        const int percent =
            total ? static_cast<int>(std::min<uint64_t>(done * 100 / total, 100)) : 0;
        answer = ReportScan(percent, secondsLeft);
    }

    // Also after a stop: the files found so far stay reachable from the root.
    for (size_t i = 0; i < directories_.size(); ++i) EmitFolder(directories_[i]);
    if (answer != 0) return answer;
    if (recordsRead == 0 && firstError != kOk) return firstError;
    return ReportScan(100, 0);
}

void CFastNtfsRecovery::ParseDeletedRecord(std::span<uint8_t> record, uint64_t number,
                                           uint64_t lba) {
    // The volume's own files are never reported, nor is a number the store cannot key.
    if (number <= kLastSystemRecord || number >= kUnreachableKey) return;
    MftRecordHeader h;
    if (!DecodeRecordHeader(record, h) || !h.HasSignature()) return;
    // An extension record holds attributes of its base record, which is reported on its own.
    if (h.InUse() || h.IsDirectory() || h.baseRecord != 0) return;
    if (PrepareRecord(record) != kOk) return;
    RecordFacts facts;
    if (!ReadFacts(record, number, facts, true)) return;

    RecoveredItem rec = BaseRecord(facts, number, lba);
    rec.isDeleted = 1;
    rec.contentValid = ContentMatches(facts) ? 1 : 0;
    const uint32_t parent = ParentKey(facts.first.parentRecord);
    const uint32_t level = ChildLevel(parent);
    RecoveredItem* slot = store_->AppendRecord();
    if (!slot) return;
    rec.recordIndex = store_->RecordCount();
    *slot = rec;
    store_->LinkChild(parent, level, rec.recordIndex, rec.objectKey, nullptr);
}

bool CFastNtfsRecovery::ReadFacts(std::span<const uint8_t> record, uint64_t number,
                                  RecordFacts& facts, bool withData) {
    bool haveName = false;
    bool haveList = false;
    AttributeRef attr;
    for (AttributeWalker walk(record); walk.Next(attr);) {
        if (attr.type == kAttrFileName) {
            FileNameInfo info;
            if (!DecodeFileName(ResidentValue(attr), info)) continue;
            if (!haveName) {
                facts.first = std::move(info);
                facts.name = facts.first.name;
                haveName = true;
            } else if (info.nameSpace == kNameSpaceWin32) {
                facts.name = std::move(info.name);
            }
        } else if (attr.type == kAttrAttributeList) {
            haveList = true;
        } else if (withData && attr.type == kAttrData && attr.IsUnnamed() && !facts.haveData) {
            NonResidentHeader nr;
            if (attr.nonResident && (!DecodeNonResident(attr, nr) || nr.startVcn != 0)) continue;
            AttributeData data;
            if (TakeAttribute(attr, geometry_.totalClusters, data)) {
                facts.data = std::move(data);
                facts.haveData = true;
            }
        }
    }
    // A record full of attributes (a folder of many hard links or a long index) keeps its
    // names in extension records: only the list knows where.
    if (!haveName && haveList) {
        AttributeData value;
        haveName = volume_->LoadAttribute(number, kAttrFileName, u"", value) == kOk &&
                   value.resident && DecodeFileName(value.residentValue, facts.first);
        facts.name = facts.first.name;
    }
    if (!haveName) return false;
    if (withData && !facts.haveData && haveList &&
        volume_->LoadAttribute(number, kAttrData, u"", facts.data) == kOk) {
        facts.haveData = true;
    }
    facts.size = facts.haveData ? facts.data.realSize : facts.first.realSize;
    return true;
}

RecoveredItem CFastNtfsRecovery::BaseRecord(const RecordFacts& facts, uint64_t number,
                                            uint64_t lba) const {
    RecoveredItem rec{};
    rec.sourceTag = sourceTag_;
    rec.engineKind = kEngineFastNtfs;
    rec.contentValid = 1;
    rec.objectKey = static_cast<int32_t>(number);
    rec.clusterBytes = static_cast<int32_t>(geometry_.clusterBytes);
    rec.createdTime = facts.first.createdTime;
    rec.accessedTime = facts.first.accessedTime;
    rec.modifiedTime = facts.first.modifiedTime;
    rec.fileSize = facts.size;
    rec.location = lba;
    rec.partitionStart = partitionStartLba_;
    rec.SetName(facts.name);
    return rec;
}

bool CFastNtfsRecovery::ContentMatches(const RecordFacts& facts) {
    const std::string_view ext = ExtensionOf(facts.name);
    if (ext.empty() || !facts.haveData) return true;
    const uint32_t bps = geometry_.bytesPerSector;
    if (facts.data.resident) {
        if (facts.data.residentValue.empty()) return false;
        // A resident stream has no sectors after it for a detector to read ahead in.
        return CheckTypeByExtension(*carvingContext_, facts.data.residentValue, ext, nullptr, bps,
                                    0);
    }
    // The stored clusters of compressed or encrypted content say nothing about the file.
    if (facts.data.runs.empty() ||
        (facts.data.flags & (kAttrFlagCompressed | kAttrFlagEncrypted)) != 0) {
        return true;
    }
    const DataRun& run = facts.data.runs.front();
    std::vector<uint8_t> sector(bps, 0);  // a sparse start reads as zeros
    uint64_t lba = 0;
    if (!run.sparse) {
        lba = geometry_.partitionStartLba + run.lcn * geometry_.sectorsPerCluster;
        if (volume_->ReadSectors(lba, 1, sector.data()) != kOk) return true;
    }
    return CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, bps, lba);
}

uint32_t CFastNtfsRecovery::ChildLevel(uint32_t parent) {
    return parent == kRootKey ? 0 : PlaceFolder(parent).level + 1;
}

bool CFastNtfsRecovery::ReadFolderParent(uint32_t number, uint32_t& parent) {
    if (volume_->ReadRecord(number, record_) != kOk) return false;
    MftRecordHeader h;
    DecodeRecordHeader(record_, h);
    if (!h.IsDirectory() || h.baseRecord != 0) return false;
    RecordFacts facts;
    if (!ReadFacts(record_, number, facts, false)) return false;
    parent = ParentKey(facts.first.parentRecord);
    return true;
}

const CFastNtfsRecovery::FolderPlace& CFastNtfsRecovery::PlaceFolder(uint32_t number) {
    if (const auto it = places_.find(number); it != places_.end()) return it->second;
    // Walk up until the root, a folder already placed, a record that is no folder (lost) or a
    // folder met twice (a loop on a damaged volume: the last one hangs under the root). Each
    // folder is read once per scan, however many files it holds.
    std::vector<uint32_t> path;
    std::set<uint32_t> onPath;
    uint32_t anchor = kRootKey;  // what the last folder of the path hangs under
    uint32_t anchorLevel = 0;    // the level of anchor's children
    for (uint32_t current = number;;) {
        if (current == kRootKey) break;
        if (const auto it = places_.find(current); it != places_.end()) {
            anchor = current;
            anchorLevel = it->second.level + 1;
            break;
        }
        if (!onPath.insert(current).second) break;
        directories_.push_back(current);
        uint32_t parent = 0;
        if (!ReadFolderParent(current, parent)) {
            places_[current] = FolderPlace{kRootKey, 0, true};
            anchor = current;
            anchorLevel = 1;
            break;
        }
        path.push_back(current);
        current = parent;
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        places_[*it] = FolderPlace{anchor, anchorLevel, false};
        anchor = *it;
        ++anchorLevel;
    }
    return places_.at(number);
}

void CFastNtfsRecovery::EmitFolder(uint32_t number) {
    const FolderPlace place = places_.at(number);
    RecoveredItem rec{};
    bool named = false;
    if (!place.lost && volume_->ReadRecord(number, record_) == kOk) {
        MftRecordHeader h;
        DecodeRecordHeader(record_, h);
        RecordFacts facts;
        if (ReadFacts(record_, number, facts, false)) {
            rec = BaseRecord(facts, number, volume_->RecordToLba(number).value_or(0));
            rec.isFolder = 1;
            rec.isDeleted = h.InUse() ? 0 : 1;
            named = true;
        }
    }
    if (!named) {
        // The folder the files were in is gone; its record number is all that is left of it.
        // One that became unreadable since it was placed stays where its children expect it.
        char name[32];
        std::snprintf(name, sizeof name, "LostFolder%u", number);
        rec.sourceTag = sourceTag_;
        rec.engineKind = kEngineFastNtfs;
        rec.isFolder = 1;
        rec.isDeleted = 1;
        rec.contentValid = 1;
        rec.objectKey = static_cast<int32_t>(number);
        rec.clusterBytes = -1;
        rec.SetName(name);
    }
    RecoveredItem* slot = store_->AppendRecord();
    if (!slot) return;
    rec.recordIndex = store_->RecordCount();
    *slot = rec;
    store_->LinkChild(place.parent, place.level, rec.recordIndex, rec.objectKey, rec.name);
}

}  // namespace norvale
