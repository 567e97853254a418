#include "professional/professional_recovery.h"

#include <algorithm>
#include <map>

#include "carving/carve_only_recovery.h"
#include "carving/carving_context.h"
#include "carving/signature_table.h"
#include "engine/engine_factory.h"
#include "engine/fast_ext_recovery.h"
#include "engine/result_store.h"
#include "engine/scan_log_history.h"
#include "engine/search.h"
#include "engine/text_codec.h"
#include "fat/directory.h"
#include "ntfs/found_record.h"

namespace norvale {
namespace {

constexpr int kPassScale = kPassProgressScale;  // 90: the pass after the 9 % stage
constexpr size_t kRecordCopyBytes = 8192;

const char kFastPrefix[] = "Fast_";
const char kProFatPrefix[] = "Pro_Fat_";
const char kProNtfsPrefix[] = "Pro_Ntfs_";

// The name of the saved scan's log with `prefix` in `folder`; "" when there is none.
std::string SavedLog(const char* prefix, const std::string& folder) {
    std::string name;
    if (ScanLogHistory::Instance().FindLogByPrefix(prefix, name, folder) != kOk) return "";
    return name;
}

// Whether a carved file with extension `carved` is the same file as one found through a file
// system with extension `found` at the same first sector: equal extensions, a ".jpg" on a
// camera's ".thm", or two names of one carved kind (".vob" and ".mpeg", ".wma" and ".wmv").
bool SameCarvedKind(const std::string& found, const std::string& carved) {
    if (found == carved || (found == "thm" && carved == "jpg")) return true;
    const SignatureRow* a = FirstRowWithExtension(found);
    const SignatureRow* b = FirstRowWithExtension(carved);
    return a != nullptr && b != nullptr && a->code == b->code;
}

}  // namespace

void PackResumeState(const ResumeState& state, uint32_t (&words)[10]) {
    const uint64_t values[5] = {state.position.extentStart, state.position.extentLength,
                                state.position.offset, state.position.sectorsDone,
                                state.filesFound};
    for (int i = 0; i < 5; ++i) {
        words[2 * i] = static_cast<uint32_t>(values[i]);
        words[2 * i + 1] = static_cast<uint32_t>(values[i] >> 32);
    }
}

ResumeState UnpackResumeState(const uint32_t (&words)[10]) {
    uint64_t values[5];
    for (int i = 0; i < 5; ++i) values[i] = words[2 * i] | (uint64_t{words[2 * i + 1]} << 32);
    ResumeState state;
    state.position.extentStart = values[0];
    state.position.extentLength = values[1];
    state.position.offset = values[2];
    state.position.sectorsDone = values[3];
    state.filesFound = values[4];
    return state;
}

CProfessionalRecovery::CProfessionalRecovery() : recordCopy_(kRecordCopyBytes) {}

CProfessionalRecovery::~CProfessionalRecovery() = default;

void CProfessionalRecovery::TakeSavedScan(int found, const uint32_t (&words)[10]) {
    resumePending_ = found == 1;
    saved_ = resumePending_ ? UnpackResumeState(words) : ResumeState{};
}

Result CProfessionalRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    diskNumber_ = kImageDiskNumber;
    partitionStart_ = 0;
    sourceTag_ = sourceTag;
    imagePath_ = imagePath;
    bytesPerSector_ = 512;
    inner_.reset();
    reader_.Close();
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return openResult_ = r;
    partitionLength_ = reader_.TotalSectors();

    ScanLogRecord record{};
    TakeSavedScan(ScanLogHistory::Instance().FindImageScan(imagePath, record), record.resumeState);
    const Result fatOpened = fat_.OpenImage(imagePath, sourceTag);
    Result r = ntfs_.OpenImage(imagePath, sourceTag);
    if (r == kOk) r = fatOpened;
    inner_ = CreateRecoveryEngine(imagePath, sourceTag, false);
    return openResult_ = r;
}

Result CProfessionalRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                       uint64_t partitionSectorCount, uint16_t driveLetter) {
    diskNumber_ = diskNumber;
    partitionStart_ = partitionStartLba;
    partitionLength_ = partitionSectorCount;
    sourceTag_ = driveLetter;
    imagePath_.clear();
    inner_.reset();
    reader_.Close();
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return openResult_ = r;
    bytesPerSector_ = reader_.MediumSectorSize();
    // Never past the end of the disk.
    const uint64_t diskSectors = reader_.TotalSectors();
    if (partitionStart_ >= diskSectors) {
        partitionLength_ = 0;
    } else {
        partitionLength_ = std::min(partitionLength_, diskSectors - partitionStart_);
    }

    ScanLogRecord record{};
    TakeSavedScan(ScanLogHistory::Instance().FindPartitionScan(diskNumber, partitionStartLba,
                                                               partitionSectorCount, record),
                  record.resumeState);
    const Result fatOpened =
        fat_.OpenDisk(diskNumber, partitionStartLba, partitionSectorCount, driveLetter);
    Result r = ntfs_.OpenDisk(diskNumber, partitionStartLba, partitionSectorCount, driveLetter);
    if (r == kOk) r = fatOpened;
    inner_ = CreateRecoveryEngine(diskNumber, partitionStartLba, partitionSectorCount, driveLetter,
                                  false);
    return openResult_ = r;
}

Result CProfessionalRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                           RecoverProgressFn recoverProgress, void* userData,
                                           int /*progressScale*/) {
    // The coordinator's own reports state their scales: the final one is on the full scale.
    Result r = KeepCallbacks(scanProgress, recoverProgress, userData, kFullProgressScale);
    auto keep = [&r](Result next) {
        if (r == kOk) r = next;
    };
    if (inner_) {
        keep(inner_->SetCallbacks(scanProgress, recoverProgress, userData, kStageProgressScale));
    }
    keep(fat_.SetCallbacks(scanProgress, recoverProgress, userData, kPassScale));
    keep(ntfs_.SetCallbacks(scanProgress, recoverProgress, userData, kPassScale));
    keep(carver_.SetCallbacks(scanProgress, recoverProgress, userData, kPassScale));
    return r;
}

Result CProfessionalRecovery::Scan(const char* /*logName*/) {
    if (!reader_.IsOpen()) return openResult_;
    ScanLogHistory& history = ScanLogHistory::Instance();
    // The history withdraws its offer when the user declined to resume.
    const bool resuming = resumePending_ && history.ResumeFound();
    if (!resuming) {
        resumePending_ = false;
        history.NewScanFolder();
    }
    const std::string folder = history.CurrentFolder();

    // The deleted-file stage.
    bool useMap = false;
    if (inner_) {
        if (Result r = inner_->SetCallbacks(scanProgress_, nullptr, userData_, kStageProgressScale);
            r != kOk) {
            resumePending_ = false;
            return r;
        }
        // The ext engine answers yes but maps nothing: the whole source is read then.
        useMap = inner_->BuildClusterMap() == kOk &&
                 dynamic_cast<CFastExtRecovery*>(inner_.get()) == nullptr;
        const std::string saved = resuming ? SavedLog(kFastPrefix, folder) : "";
        const Result r = inner_->Scan(saved.empty() ? nullptr : saved.c_str());
        if (r != kOk) {
            if (resuming) {
                // Start the pass over next time, keeping the saved logs.
                position_ = PassPosition{};
                savedFiles_ = 0;
                SaveState(folder);
            }
            resumePending_ = false;
            return r;
        }
    }

    if (Result r = OpenStages(resuming); r != kOk) {
        resumePending_ = false;
        return r;
    }
    Result result = RunPass(resuming, useMap);

    // The folder passes run also after a stop: what was seen so far is placed.
    Result placed = fat_.FinishScan();
    if (Result r = ntfs_.FinishScan(); placed == kOk) placed = r;
    if (ResultStore* store = carver_.Store()) {
        if (Result r = store->Flush(); placed == kOk) placed = r;
    }
    // Finds that could not be written to the logs are lost to the listing: the scan failed.
    if (result == kOk) result = placed;
    if (result == kOk) ReportScan(100, 0);
    SaveState(folder);
    return result;
}

Result CProfessionalRecovery::OpenStages(bool resuming) {
    const std::string folder = ScanLogHistory::Instance().CurrentFolder();
    Result r;
    if (resuming) {
        const std::string carved = SavedLog(kCarvedLogPrefix, folder);
        const std::string name =
            carved.empty() ? ScanLogName(kCarvedLogPrefix, partitionStart_) : carved;
        r = imagePath_.empty()
                ? carver_.AttachToDisk(bytesPerSector_, diskNumber_, name, sourceTag_)
                : carver_.AttachToImage(bytesPerSector_, name, sourceTag_, imagePath_);
    } else {
        r = imagePath_.empty()
                ? carver_.OpenDisk(diskNumber_, partitionStart_, partitionLength_, sourceTag_)
                : carver_.OpenImage(imagePath_, sourceTag_);
    }
    if (r != kOk) return r;
    const std::string fatLog = resuming ? SavedLog(kProFatPrefix, folder) : "";
    const std::string ntfsLog = resuming ? SavedLog(kProNtfsPrefix, folder) : "";
    if ((r = fat_.BeginScan(fatLog.empty() ? nullptr : fatLog.c_str())) != kOk) return r;
    if ((r = ntfs_.BeginScan(ntfsLog.empty() ? nullptr : ntfsLog.c_str())) != kOk) return r;
    // A medium without a FAT boot sector is scanned all the same.
    (void)fat_.ProbeBootSector();
    CarvingContext& context = SharedCarvingContext();
    context.tsRanges.clear();
    context.transportStreamFlag = false;
    context.bdavFlag = false;
    return kOk;
}

Result CProfessionalRecovery::RunPass(bool resuming, bool useMap) {
    // The work: every free extent the deleted-file engine reports, or the whole source. Each
    // extent must begin past the one before, so an engine that repeats itself cannot hold the
    // pass.
    auto nextExtent = [&](uint64_t from, PassPosition& extent) {
        uint64_t at = from;
        uint64_t length = 0;
        // An engine that cannot tell leaves length at 0, which ends the extents.
        (void)inner_->SkipUsedClusters(at, length);
        if (length == 0 || at < from || at >= partitionLength_) return false;
        extent = PassPosition{};
        extent.extentStart = at;
        extent.extentLength = std::min(length, partitionLength_ - at);
        return true;
    };
    total_ = 0;
    PassPosition first;
    if (useMap) {
        PassPosition extent;
        bool any = false;
        for (uint64_t from = 0; nextExtent(from, extent);) {
            if (!any) first = extent;
            any = true;
            total_ += extent.extentLength;
            from = extent.extentStart + extent.extentLength;
        }
    } else {
        first.extentLength = partitionLength_;
        total_ = partitionLength_;
    }
    position_ = first;
    savedFiles_ = 0;
    if (resuming) {
        position_ = saved_.position;
        savedFiles_ = saved_.filesFound;
        resumePending_ = false;
    }
    clock_ = std::make_unique<TimeLeftEstimator>(bytesPerSector_);

    Result result = kOk;
    while (position_.extentLength != 0) {
        result = RunExtent(
            reader_, partitionStart_, bytesPerSector_, position_,
            [this](std::span<const uint8_t> chunk, uint64_t firstLba, uint64_t& covered) {
                return ClassifyChunk(chunk, firstLba, covered);
            },
            [this](const PassPosition&) { return ReportPass(); });
        if (result != kOk || !useMap) break;
        PassPosition next;
        if (!nextExtent(position_.extentStart + position_.extentLength, next)) break;
        next.sectorsDone = position_.sectorsDone;
        position_ = next;
    }
    return result;
}

int CProfessionalRecovery::ReportPass() {
    const uint64_t done = position_.sectorsDone;
    const int32_t secondsLeft = clock_->Update(done, total_);
    if (!scanProgress_) return 0;
    const int percent =
        total_ != 0 ? static_cast<int>(std::min<uint64_t>(done * 100 / total_, 100)) + 10 : 110;
    return scanProgress_(userData_, percent, kPassScale, secondsLeft, done, total_,
                         RawItemCount() + savedFiles_, 0);
}

Result CProfessionalRecovery::ClassifyChunk(std::span<const uint8_t> chunk, uint64_t firstLba,
                                            uint64_t& covered) {
    const uint32_t s = bytesPerSector_;
    const uint64_t count = chunk.size() / s;
    // A record may run on past the sector (1 KiB on 512-byte sectors, up to 4 KiB where the
    // record says so): near the chunk's end it is read again whole from the medium.
    uint64_t found = RawItemCount() + savedFiles_;
    const uint64_t doneBefore = position_.sectorsDone;
    uint64_t i = 0;
    while (i < count) {
        const std::span<const uint8_t> sector = chunk.subspan(i * s, s);
        const uint64_t lba = firstLba + i;
        uint64_t consumed = 1;
        if (const size_t needed = CandidateRecordBytes(sector, s); needed != 0) {
            std::span<const uint8_t> record = chunk.subspan(i * s);
            if (record.size() < needed) {
                uint32_t got = 0;
                const auto want = static_cast<uint32_t>(std::max<size_t>(1, needed / s));
                if (recordCopy_.size() < size_t{want} * s) recordCopy_.resize(size_t{want} * s);
                std::fill(recordCopy_.begin(), recordCopy_.end(), 0);
                // A read that fails part-way leaves `got` at what arrived; zeros stand for the rest.
                (void)reader_.ReadSectors(want, recordCopy_.data(), lba, s, got);
                record = got > 0 ? std::span<const uint8_t>(recordCopy_.data(), size_t{got} * s)
                                 : record;
            } else {
                record = record.first(std::min(record.size(), kRecordCopyBytes));
            }
            // A sector that only looked like a record is no record; store write failures
            // come back from FinishScan.
            if (!IsDirectoryRecord(record)) (void)ntfs_.ParseCandidate(record, lba);
        } else if (IsDotEntryPair(sector)) {
            fat_.OnDotSector(sector, lba);
        } else if (IsDirectoryBlock(sector)) {
            fat_.OnDirectorySector(sector, lba);
        } else {
            const Result r =
                carver_.CarveSector(s, sector, lba, doneBefore + i, total_ ? total_ : 1,
                                    clock_->SecondsLeft(), reader_, consumed, found);
            if (r == kScanCancelled) {
                covered = i;
                return r;
            }
        }
        i += consumed;
    }
    covered = i;
    return kOk;
}

void CProfessionalRecovery::SaveState(const std::string& folder) {
    ResumeState state;
    state.position = position_;
    state.filesFound = RawItemCount() + savedFiles_;
    uint32_t words[10] = {};
    PackResumeState(state, words);
    // A state that cannot be saved costs the resume only; the logs themselves are written.
    (void)ScanLogHistory::Instance().SaveScanState(diskNumber_, partitionStart_, partitionLength_, words,
                                             folder, imagePath_);
}

IFileRecoveryParse* CProfessionalRecovery::EngineByKind(int32_t kind) {
    switch (kind) {
        case kEngineFastNtfs:
        case kEngineFastFat:
            return inner_.get();
        case kEngineProfessionalNtfs:
            return &ntfs_;
        case kEngineProfessionalFat:
            return &fat_;
        case kEngineFileType:
            return &carver_;
        default:
            return nullptr;
    }
}

Result CProfessionalRecovery::ListChildren(const RecoveredItem* folder, int level,
                                           std::vector<RecoveredItem>& out) {
    Result r = kOk;
    if (folder) {
        const int32_t kind = folder->engineKind;
        if (kind == kEngineFileType) return kOk;
        if (IFileRecoveryParse* engine = EngineByKind(kind))
            r = engine->ListChildren(folder, level, out);
    } else {
        if (level != 0) return kErrInvalidParameter;
        std::vector<IFileRecoveryParse*> engines = {inner_.get(), &fat_, &ntfs_};
        for (IFileRecoveryParse* engine : engines) {
            if (!engine) continue;
            const Result one = engine->ListChildren(nullptr, 0, out);
            if (r == kOk) r = one;
        }
        // Carved files sit at the top, except those that are copies of files the file systems
        // found, as in the flat listing; those are looked for among every file they found.
        std::vector<RecoveredItem> carved;
        const Result one = carver_.ListChildren(nullptr, 0, carved);
        if (r == kOk) r = one;
        if (!carved.empty())
            AppendCarvedOnly(carved, FileSystemStarts(ListFileSystemFinds(), 0), out);
    }
    if (out.size() > 1) SortItemsForListing(out);
    return r;
}

Result CProfessionalRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    count = 0;
    if (folder) {
        const int32_t kind = folder->engineKind;
        if (kind == kEngineFileType) return kOk;
        IFileRecoveryParse* engine = EngineByKind(kind);
        return engine ? engine->CountFiles(folder, level, count) : kOk;
    }
    if (level != 0) return kErrInvalidParameter;
    for (IFileRecoveryParse* engine :
         {inner_.get(), static_cast<IFileRecoveryParse*>(&fat_),
          static_cast<IFileRecoveryParse*>(&ntfs_), static_cast<IFileRecoveryParse*>(&carver_)}) {
        if (!engine) continue;
        int one = 0;
        if (Result r = engine->CountFiles(nullptr, 0, one); r != kOk) return r;
        count += one;
    }
    return kOk;
}

uint64_t CProfessionalRecovery::RawItemCount() {
    uint64_t n = fat_.GetItemCount() + ntfs_.GetItemCount() + carver_.GetItemCount();
    if (inner_) n += inner_->GetItemCount();
    return n;
}

uint64_t CProfessionalRecovery::GetItemCount() {
    // What the listings show: carved copies of files the file systems found are left out. They
    // are counted once per state of the stores (the progress reports use the raw count).
    const uint64_t raw = RawItemCount();
    if (carver_.GetItemCount() == 0) return raw;
    if (raw != countedRaw_) {
        const std::string everything = BuildFilter({}) + "|*.other";
        std::vector<RecoveredItem> carved, kept;
        const ListProgressFn fn = listCallback_;
        void* const data = listUserData_;
        (void)carver_.SetListCallback(nullptr, nullptr);
        carver_.ListByType(everything, carved);
        (void)carver_.SetListCallback(fn, data);
        AppendCarvedOnly(carved, FileSystemStarts(ListFileSystemFinds(), 0), kept);
        carvedCopies_ = carved.size() - kept.size();
        countedRaw_ = raw;
    }
    return raw - std::min(raw, carvedCopies_);
}

std::vector<RecoveredItem> CProfessionalRecovery::ListFileSystemFinds() {
    // Every file of every kind; nobody asked for a listing, so nobody hears of its progress.
    const std::string everything = BuildFilter({}) + "|*.other";
    const ListProgressFn fn = listCallback_;
    void* const data = listUserData_;
    std::vector<RecoveredItem> found;
    for (IFileRecoveryParse* engine : {inner_.get(), static_cast<IFileRecoveryParse*>(&fat_),
                                       static_cast<IFileRecoveryParse*>(&ntfs_)}) {
        if (!engine) continue;
        // Engines without a store have no listing to report on; that is all these can say.
        (void)engine->SetListCallback(nullptr, nullptr);
        engine->ListByType(everything, found);
        (void)engine->SetListCallback(fn, data);
    }
    return found;
}

Result CProfessionalRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    if (item.engineKind == kEngineFileType) return kOk;
    IFileRecoveryParse* engine = EngineByKind(item.engineKind);
    return engine ? engine->GetItemPath(item, out) : kOk;
}

Result CProfessionalRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                          int destinationFlag) {
    IFileRecoveryParse* engine = EngineByKind(item.engineKind);
    return engine ? engine->RecoverItem(item, destination, destinationFlag) : kOk;
}

Result CProfessionalRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                                uint8_t* memory, uint64_t& byteCount,
                                                PreviewProgressFn fn, void* userData) {
    IFileRecoveryParse* engine = EngineByKind(item.engineKind);
    if (!engine) {
        byteCount = 0;
        return kOk;
    }
    return engine->ExtractForPreview(item, tempPath, memory, byteCount, fn, userData);
}

Result CProfessionalRecovery::SkipUsedClusters(uint64_t& /*position*/, uint64_t& freeLength) {
    freeLength = 0;
    return kOk;
}

Result CProfessionalRecovery::BuildClusterMap() {
    return kOk;
}

Result CProfessionalRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    // The coordinator keeps no store of its own: every engine gets the callback.
    // Engines without a store answer that they have nothing to report on.
    (void)KeepListCallback(fn, userData, nullptr, kOk);
    if (inner_) (void)inner_->SetListCallback(fn, userData);
    (void)fat_.SetListCallback(fn, userData);
    (void)ntfs_.SetListCallback(fn, userData);
    (void)carver_.SetListCallback(fn, userData);
    return kOk;
}

std::map<uint64_t, std::string> CProfessionalRecovery::FileSystemStarts(
    const std::vector<RecoveredItem>& items, size_t begin) {
    std::map<uint64_t, std::string> starts;
    for (size_t i = begin; i < items.size(); ++i) {
        const RecoveredItem& item = items[i];
        if (item.isFolder) continue;
        uint64_t lba = 0;
        bool known = false;
        const int32_t kind = item.engineKind;
        if (kind == kEngineFastNtfs || kind == kEngineProfessionalNtfs) {
            known = ntfs_.FirstDataSector(item, lba) == kOk;
        } else if (kind == kEngineFastFat || kind == kEngineProfessionalFat) {
            const int32_t clusterBytes = item.clusterBytes;
            const uint64_t partitionStart = item.partitionStart;
            const uint64_t dataStart = item.dataAreaStart;
            const int32_t key = item.objectKey;
            if (key == 0) {
                known = partitionStart + dataStart >= 32;
                lba = partitionStart + dataStart - 32;
            } else if (clusterBytes > 0 && key >= 2) {
                const uint64_t spc = static_cast<uint64_t>(clusterBytes) / bytesPerSector_;
                lba = partitionStart + dataStart + uint64_t(key - 2) * spc;
                known = spc != 0;
            }
        }
        if (known) starts.emplace(lba, ToLowerAscii(std::string(ExtensionOf(item.Name()))));
    }

    return starts;
}

void CProfessionalRecovery::AppendCarvedOnly(const std::vector<RecoveredItem>& carved,
                                             const std::map<uint64_t, std::string>& starts,
                                             std::vector<RecoveredItem>& out) {
    for (const RecoveredItem& item : carved) {
        const uint64_t location = item.location;
        const auto it = starts.find(location);
        if (it != starts.end() &&
            SameCarvedKind(it->second, ToLowerAscii(std::string(ExtensionOf(item.Name()))))) {
            continue;
        }
        out.push_back(item);
    }
}

int CProfessionalRecovery::ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) {
    int any = 0;
    const size_t begin = out.size();
    if (inner_) any |= inner_->ListByType(pattern, out);
    any |= fat_.ListByType(pattern, out);
    any |= ntfs_.ListByType(pattern, out);

    const std::map<uint64_t, std::string> starts = FileSystemStarts(out, begin);
    std::vector<RecoveredItem> carved;
    any |= carver_.ListByType(pattern, carved);
    AppendCarvedOnly(carved, starts, out);
    if (out.size() > 1) SortItemsForListing(out);
    return any;
}

}  // namespace norvale
