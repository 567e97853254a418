#include "professional/professional_recovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <map>

#include "carving/carve_only_recovery.h"
#include "carving/carving_context.h"
#include "carving/look_ahead.h"
#include "carving/signature_table.h"
#include "device/bytes.h"
#include "device/chunked_io.h"
#include "device/disk_table.h"
#include "engine/engine_factory.h"
#include "engine/fast_ext_recovery.h"
#include "engine/result_store.h"
#include "engine/scan_log_history.h"
#include "engine/search.h"
#include "engine/text_codec.h"

namespace norvale {
namespace {

constexpr int kPassScale = kPassProgressScale;  // 90: the pass after the 9 % stage
constexpr size_t kRecordCopyBytes = 8192;

const char kFastPrefix[] = "Fast_";

// The sectors the pass handed to the file-system stages, one 64-bit word each: the LBA in the
// low 56 bits, the stage's sector kind in the top byte. A resumed scan hands them over again in
// the same order, so the stages stand where they stood when the scan was stopped. The kind's
// two low bits are kept in the word's top two bits and the rest below them, so the kinds 1 to 3
// sit where the first format of this file (two bits of kind above 62 bits of LBA) put them.
const char kPassSectorsName[] = "PassSectors";
constexpr int kSectorKindShift = 56;
constexpr uint64_t kSectorLbaMask = (uint64_t{1} << kSectorKindShift) - 1;

uint64_t PassSectorWord(uint8_t kind, uint64_t lba) {
    return lba | (uint64_t{std::rotr(kind, 2)} << kSectorKindShift);
}
uint8_t PassSectorKindOf(uint64_t word) {
    return std::rotl(static_cast<uint8_t>(word >> kSectorKindShift), 2);
}

// Whether a result is the medium's doing: a structure that cannot be followed or sectors that
// cannot be read. Failures of our own side (a log that cannot be written) are not.
bool IsMediumFailure(Result r) {
    return r == kErrUnsupportedLayout || r == kErrEngineGeneric || r == kErrInvalidParameter ||
           r == kErrReadFault || r == kErrCrc || r == kErrSectorNotFound || r == kErrHandleEof;
}

// Whether a saved scan's folder still holds the log of its carving stage, which every pass
// opens first.
bool SavedFolderHoldsLogs(const std::string& folder) {
    std::string name;
    return ScanLogHistory::Instance().FindLogByPrefix(kCarvedLogPrefix, name, folder) == kOk;
}

// The name of the saved scan's log with `prefix` in `folder`; "" when there is none.
std::string SavedLog(const char* prefix, const std::string& folder) {
    std::string name;
    if (ScanLogHistory::Instance().FindLogByPrefix(prefix, name, folder) != kOk) return "";
    return name;
}

// Removes every log in `folder` whose name holds `prefix` (the store and its "_Relation" and
// "_DirInfo" files), so that a stage started afresh leaves no older log to be found instead.
Result RemoveSavedLogs(const char* prefix, const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return errno == ENOENT ? kOk : FromErrno(errno);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n = e->d_name;
        if (!n.empty() && n[0] != '.' && n.find(prefix) != std::string_view::npos)
            names.emplace_back(n);
    }
    ::closedir(dir);
    std::string base = folder;
    if (!base.empty() && base.back() != '/') base += '/';
    Result first = kOk;
    for (const std::string& n : names) {
        if (::unlink((base + n).c_str()) != 0 && errno != ENOENT && first == kOk)
            first = FromErrno(errno);
    }
    return first;
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

CProfessionalRecovery::CProfessionalRecovery(VolumeFreeBytesFn volumeFreeBytes)
    : recordCopy_(kRecordCopyBytes), volumeFreeBytes_(std::move(volumeFreeBytes)) {
    for (const FileSystemDescriptor& fs : RegisteredFileSystems()) {
        if (!fs.makeFullScan) continue;
        std::unique_ptr<IFileRecoveryParse> made = fs.makeFullScan();
        auto* stage = dynamic_cast<IFullScanStage*>(made.get());
        if (!stage) continue;  // a maker that made no stage: the file system has none
        (void)made.release();
        // The stages check content between the carver's candidates: one stream state, as the
        // carver's own content checks would leave it.
        stage->UseCarvingContext(carver_.Context());
        stages_.push_back({fs, std::unique_ptr<IFullScanStage>(stage)});
    }
}

std::vector<IFileRecoveryParse*> CProfessionalRecovery::FileSystemEngines() {
    std::vector<IFileRecoveryParse*> engines;
    if (inner_) engines.push_back(inner_.get());
    for (Stage& stage : stages_) engines.push_back(stage.engine.get());
    return engines;
}

void CProfessionalRecovery::ChooseTwin() {
    twin_ = nullptr;
    twinDeletedKind_ = twinFullKind_ = -1;
    if (!inner_ || reader_.TotalSectors() <= partitionStart_) return;
    // The file system the deleted-file engine was built for, told from the same bytes.
    const uint32_t s = bytesPerSector_ != 0 ? bytesPerSector_ : 512;
    const auto want = static_cast<uint32_t>(std::max<size_t>(1, kDetectBytes / s));
    std::vector<uint8_t> head(size_t{want} * s);
    uint32_t got = 0;
    (void)reader_.ReadSectors(want, head.data(), partitionStart_, s, got);
    if (got == 0) return;
    const FileSystemKind kind =
        DetectFileSystem(std::span<const uint8_t>(head.data(), size_t{got} * s));
    for (Stage& stage : stages_) {
        if (stage.fs.kind != kind || !stage.fs.rebuildsDeletedScanTree) continue;
        twin_ = stage.engine.get();
        twinDeletedKind_ = stage.fs.deletedEngineKind;
        twinFullKind_ = stage.fs.fullEngineKind;
        return;
    }
}

IFullScanStage* CProfessionalRecovery::StageOf(FileSystemKind kind) {
    for (Stage& stage : stages_) {
        if (stage.fs.kind == kind) return stage.engine.get();
    }
    return nullptr;
}

CProfessionalRecovery::~CProfessionalRecovery() = default;

void CProfessionalRecovery::TakeSavedScan(int found, const uint32_t (&words)[10]) {
    resumePending_ = found == 1;
    saved_ = resumePending_ ? UnpackResumeState(words) : ResumeState{};
}

Result CProfessionalRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    innerView_ = InnerView{};
    countedRaw_ = UINT64_MAX;
    diskNumber_ = kImageDiskNumber;
    partitionStart_ = 0;
    sourceTag_ = sourceTag;
    imagePath_ = imagePath;
    historyImagePath_ = imagePath;
    bytesPerSector_ = 512;
    inner_.reset();
    reader_.Close();
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return openResult_ = r;
    partitionLength_ = reader_.TotalSectors();

    ScanLogRecord record{};
    TakeSavedScan(ScanLogHistory::Instance().FindImageScan(imagePath, record), record.resumeState);
    Result r = kOk;
    for (Stage& stage : stages_) {
        const Result opened = stage.engine->OpenImage(imagePath, sourceTag);
        if (r == kOk) r = opened;
    }
    inner_ = CreateRecoveryEngine(imagePath, sourceTag, false);
    ChooseTwin();
    return openResult_ = r;
}

Result CProfessionalRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                       uint64_t partitionSectorCount, uint16_t driveLetter) {
    innerView_ = InnerView{};
    countedRaw_ = UINT64_MAX;
    diskNumber_ = diskNumber;
    partitionStart_ = partitionStartLba;
    partitionLength_ = partitionSectorCount;
    sourceTag_ = driveLetter;
    imagePath_.clear();
    historyImagePath_ = ImageDiskPath(diskNumber);
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
    TakeSavedScan(
        historyImagePath_.empty()
            ? ScanLogHistory::Instance().FindPartitionScan(
                  diskNumber, partitionStartLba, partitionSectorCount, record, volumeFreeBytes_)
            : ScanLogHistory::Instance().FindImageScan(historyImagePath_, partitionStart_,
                                                       partitionLength_, record),
        record.resumeState);
    Result r = kOk;
    for (Stage& stage : stages_) {
        const Result opened = stage.engine->OpenDisk(diskNumber, partitionStartLba,
                                                     partitionSectorCount, driveLetter);
        if (r == kOk) r = opened;
    }
    inner_ = CreateRecoveryEngine(diskNumber, partitionStartLba, partitionSectorCount, driveLetter,
                                  false);
    ChooseTwin();
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
    for (Stage& stage : stages_)
        keep(stage.engine->SetCallbacks(scanProgress, recoverProgress, userData, kPassScale));
    keep(carver_.SetCallbacks(scanProgress, recoverProgress, userData, kPassScale));
    return r;
}

Result CProfessionalRecovery::Scan(const char* /*logName*/) {
    if (!reader_.IsOpen()) return openResult_;
    ScanLogHistory& history = ScanLogHistory::Instance();
    // The history withdraws its offer when the user declined to resume.
    bool resuming = resumePending_ && history.ResumeFound();
    if (resuming && !SavedFolderHoldsLogs(history.ResumeFolder())) {
        // The saved scan's logs are gone (removed by hand, or discarded by a run that was then
        // stopped before it saved anything): there is nothing to go on from.
        const std::string gone = history.ResumeFolder();
        history.DeclineResume();
        (void)history.DeleteScanLog(gone);
        resuming = false;
    }
    if (!resuming) {
        resumePending_ = false;
        history.NewScanFolder();
    }
    const std::string folder = history.CurrentFolder();
    passSectors_.clear();
    innerView_ = InnerView{};
    countedRaw_ = UINT64_MAX;
    shownRaw_ = 0;
    shownCount_ = 0;
    nextCount_ = {};

    // The deleted-file stage.
    bool useMap = false;
    if (inner_) {
        if (Result r = inner_->SetCallbacks(scanProgress_, nullptr, userData_, kStageProgressScale);
            r != kOk) {
            resumePending_ = false;
            return r;
        }
        // The ext engine answers yes but maps nothing: the whole source is read then.
        const bool mapped = inner_->BuildClusterMap() == kOk &&
                            dynamic_cast<CFastExtRecovery*>(inner_.get()) == nullptr;
        const std::string saved = resuming ? SavedLog(kFastPrefix, folder) : "";
        const Result r = inner_->Scan(saved.empty() ? nullptr : saved.c_str());
        if (r == kScanCancelled) {
            if (resuming) {
                // Start the pass over next time, keeping the saved logs.
                position_ = PassPosition{};
                (void)SaveState(folder);
            }
            resumePending_ = false;
            return r;
        }
        if (r == kOk) {
            useMap = mapped;
        } else if (IsMediumFailure(r)) {
            // A file system whose own scan fails on what the medium holds (its table or MFT is
            // not where its boot sector says) must not hide the medium from the other searches:
            // its finds are left out and the pass reads the whole source.
            inner_.reset();
            (void)RemoveSavedLogs(kFastPrefix, folder);
        } else {
            // Anything else (its log cannot be written, memory ran out) ends the scan.
            resumePending_ = false;
            return r;
        }
    }

    PlanPass(useMap);
    StageStart start = StageStart::kFresh;
    if (resuming) {
        // A pass stopped before its first sector starts over; a finished one is only loaded.
        const uint64_t done = saved_.position.sectorsDone;
        if (done >= total_) {
            start = StageStart::kReload;
        } else if (done != 0) {
            start = StageStart::kContinue;
        }
        if (start != StageStart::kFresh) position_ = saved_.position;
        resumePending_ = false;
    }
    if (Result r = OpenStages(start, folder); r != kOk) return r;

    Result result = kOk;
    if (start == StageStart::kContinue) result = ReplayPassSectors(folder);
    if (result == kOk && start != StageStart::kReload) result = RunPass(useMap);

    // The folder passes run also after a stop: what was seen so far is placed. Logs that could
    // not be written end the scan with that error, a stop included: its results would be lost.
    Result written = kOk;
    if (start != StageStart::kReload) {
        for (Stage& stage : stages_) {
            const Result finished = stage.engine->FinishScan();
            if (written == kOk) written = finished;
        }
    }
    if (ResultStore* store = carver_.Store()) {
        const Result carved = store->Flush();
        if (written == kOk) written = carved;
    }
    if (written == kOk) {
        written = SaveState(folder, result == kOk);
    } else if (resuming) {
        // The saved scan no longer matches its logs: it must not be resumed.
        (void)history.DeleteScanLog(folder);
    }
    if (written != kOk) return written;
    if (result == kOk) {
        // The last count shown is the one the listings will give.
        if (scanProgress_) {
            (void)scanProgress_(userData_, 110, kPassScale, 0, total_, total_, ShownCount(true), 0);
        }
        (void)ReportScan(100, 0);
    }
    return result;
}

Result CProfessionalRecovery::OpenStages(StageStart start, const std::string& folder) {
    Result r = kOk;
    if (start == StageStart::kFresh) {
        // A scan that starts over in a saved folder leaves none of the earlier logs behind.
        std::vector<const char*> prefixes = {kCarvedLogPrefix, kPassSectorsName};
        for (const Stage& stage : stages_) prefixes.push_back(stage.engine->LogPrefix());
        for (const char* prefix : prefixes) {
            if ((r = RemoveSavedLogs(prefix, folder)) != kOk) return r;
        }
        r = imagePath_.empty()
                ? carver_.OpenDisk(diskNumber_, partitionStart_, partitionLength_, sourceTag_)
                : carver_.OpenImage(imagePath_, sourceTag_);
    } else {
        // Carved files lie before the saved position: the carver adds to its log.
        const std::string carved = SavedLog(kCarvedLogPrefix, folder);
        const std::string name =
            carved.empty() ? ScanLogName(kCarvedLogPrefix, partitionStart_) : carved;
        r = imagePath_.empty()
                ? carver_.AttachToDisk(bytesPerSector_, diskNumber_, name, sourceTag_)
                : carver_.AttachToImage(bytesPerSector_, name, sourceTag_, imagePath_);
    }
    if (r != kOk) return r;
    for (Stage& stage : stages_) {
        const char* prefix = stage.engine->LogPrefix();
        std::string log;
        if (start == StageStart::kReload) {
            log = SavedLog(prefix, folder);
        } else if (start == StageStart::kContinue) {
            // The stages place what they saw only at the end: their logs are built again from
            // the sectors the stopped pass handed them, then the pass goes on.
            if ((r = RemoveSavedLogs(prefix, folder)) != kOk) return r;
        }
        if ((r = stage.engine->BeginScan(log.empty() ? nullptr : log.c_str())) != kOk) return r;
    }
    CarvingContext& context = carver_.Context();
    context.tsRanges.clear();
    context.transportStreamFlag = false;
    context.bdavFlag = false;
    if (start != StageStart::kFresh) {
        // The sectors of the earlier runs stay in the list the next save writes.
        if ((r = LoadPassSectors(folder, passSectors_)) != kOk) return r;
    }
    return kOk;
}

void CProfessionalRecovery::PlanPass(bool useMap) {
    total_ = 0;
    PassPosition first;
    if (useMap) {
        PassPosition extent;
        bool any = false;
        for (uint64_t from = 0; NextFreeExtent(from, extent);) {
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
}

bool CProfessionalRecovery::NextFreeExtent(uint64_t from, PassPosition& extent) {
    // Each extent must begin past the one before, so an engine that repeats itself cannot hold
    // the pass.
    uint64_t at = from;
    uint64_t length = 0;
    (void)inner_->SkipUsedClusters(at, length);
    if (length == 0 || at < from || at >= partitionLength_) return false;
    extent = PassPosition{};
    extent.extentStart = at;
    extent.extentLength = std::min(length, partitionLength_ - at);
    return true;
}

Result CProfessionalRecovery::RunPass(bool useMap) {
    clock_ = std::make_unique<TimeLeftEstimator>(bytesPerSector_);
    // Workers look ahead when there is more than one thread to look with: the stages' claims
    // and the carver's finds, which the pass then takes in order.
    const unsigned threads = PassWorkerCount();
    std::unique_ptr<CarveLookAhead> lookAhead;
    if (threads > 1) {
        lookAhead = std::make_unique<CarveLookAhead>(
            reader_, bytesPerSector_, threads,
            [this](ByteSpan sector, uint32_t, uint8_t& stage, uint8_t& kind) {
                return ClaimFor(sector, stage, kind);
            });
    }
    const unsigned workers = lookAhead ? lookAhead->Workers() : 0;
    ReadAheadPass pass(reader_, bytesPerSector_, lookAhead.get(), workers);
    Result result = kOk;
    while (position_.extentLength != 0) {
        result = pass.Run(
            partitionStart_, position_,
            [this](std::span<const uint8_t> block, uint64_t firstLba, uint64_t start,
                   const BlockExamination* examined, uint64_t& covered) {
                return ClassifyBlock(block, firstLba, start,
                                     static_cast<const BlockNotes*>(examined), covered);
            },
            [this](const PassPosition& at) { return ReportPass(at.sectorsDone); });
        if (result != kOk || !useMap || !inner_) break;
        PassPosition next;
        if (!NextFreeExtent(position_.extentStart + position_.extentLength, next)) break;
        next.sectorsDone = position_.sectorsDone;
        position_ = next;
    }
    return result;
}

Result CProfessionalRecovery::ReplayPassSectors(const std::string& /*folder*/) {
    const uint32_t s = bytesPerSector_;
    std::vector<uint8_t> bytes(kRecordCopyBytes);
    for (const uint64_t word : passSectors_) {
        const uint8_t kind = PassSectorKindOf(word);
        const uint64_t lba = word & kSectorLbaMask;
        const auto owner = std::find_if(stages_.begin(), stages_.end(), [&](const Stage& stage) {
            return stage.engine->OwnsSectorKind(kind);
        });
        if (owner == stages_.end()) continue;  // a kind of a file system no longer registered
        uint32_t got = 0;
        if (reader_.ReadSectors(1, bytes.data(), lba, s, got) != kOk || got != 1) continue;
        uint8_t claimed = 0;
        const size_t needed =
            owner->engine->ClaimSector(std::span<const uint8_t>(bytes.data(), s), s, claimed);
        if (needed == 0) continue;  // no longer its structure: the source changed
        const auto want = static_cast<uint32_t>(std::max<size_t>(1, (needed + s - 1) / s));
        if (want > 1) {
            if (bytes.size() < size_t{want} * s) bytes.resize(size_t{want} * s);
            if (reader_.ReadSectors(want, bytes.data(), lba, s, got) != kOk || got == 0) continue;
        }
        owner->engine->TakeSector(kind, std::span<const uint8_t>(bytes.data(), size_t{got} * s),
                                  lba);
    }
    return kOk;
}

Result CProfessionalRecovery::LoadPassSectors(const std::string& folder,
                                              std::vector<uint64_t>& out) {
    out.clear();
    const int fd = ::open((folder + kPassSectorsName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? kOk : FromErrno(errno);
    std::vector<uint8_t> chunk(kPassChunkBytes);
    Result r = kOk;
    std::vector<uint8_t> carry;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r = FromErrno(errno);
            break;
        }
        if (n == 0) break;
        carry.insert(carry.end(), chunk.begin(), chunk.begin() + n);
        size_t k = 0;
        for (; k + 8 <= carry.size(); k += 8) out.push_back(Le64(carry.data() + k));
        carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(k));
    }
    ::close(fd);
    return r;
}

Result CProfessionalRecovery::SavePassSectors(const std::string& folder) const {
    const std::string path = folder + kPassSectorsName;
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return FromErrno(errno);
    std::vector<uint8_t> bytes(passSectors_.size() * 8);
    for (size_t k = 0; k < passSectors_.size(); ++k) {
        for (int b = 0; b < 8; ++b)
            bytes[k * 8 + b] = static_cast<uint8_t>(passSectors_[k] >> (8 * b));
    }
    Result r = WriteAllBytes(fd, bytes.data(), bytes.size());
    if (::close(fd) != 0 && r == kOk) r = FromErrno(errno);
    if (r == kOk && ::rename(tmp.c_str(), path.c_str()) != 0) r = FromErrno(errno);
    if (r != kOk) ::unlink(tmp.c_str());
    return r;
}

void CProfessionalRecovery::NotePassSector(uint8_t kind, uint64_t lba) {
    if (lba <= kSectorLbaMask) passSectors_.push_back(PassSectorWord(kind, lba));
}

uint64_t CProfessionalRecovery::ShownCount(bool exact) {
    // The count the listings give costs a listing of every engine: it is taken again only when
    // something was found and not more often than the time it takes allows; what was found in
    // between is added as it comes.
    using Clock = std::chrono::steady_clock;
    const uint64_t raw = RawItemCount();
    const Clock::time_point now = Clock::now();
    if (exact || (raw != shownRaw_ && now >= nextCount_)) {
        shownCount_ = GetItemCount();
        shownRaw_ = raw;
        const Clock::time_point after = Clock::now();
        nextCount_ = after + std::max<Clock::duration>(std::chrono::seconds(2), (after - now) * 10);
    }
    return shownCount_ + (raw > shownRaw_ ? raw - shownRaw_ : 0);
}

int CProfessionalRecovery::ReportPass(uint64_t done) {
    const int32_t secondsLeft = clock_->Update(done, total_);
    if (!scanProgress_) return 0;
    const int percent =
        total_ != 0 ? static_cast<int>(std::min<uint64_t>(done * 100 / total_, 100)) + 10 : 110;
    return scanProgress_(userData_, percent, kPassScale, secondsLeft, done, total_,
                         ShownCount(false), 0);
}

void CProfessionalRecovery::TakeClaimed(Stage& stage, uint8_t kind, size_t needed,
                                        std::span<const uint8_t> from, uint64_t lba) {
    // A claimed structure may run on past the sector (an NTFS record: 1 KiB on 512-byte sectors,
    // up to 4 KiB where the record says so): near the block's end it is read again whole from
    // the medium.
    const uint32_t s = bytesPerSector_;
    std::span<const uint8_t> bytes = from;
    if (bytes.size() < needed) {
        uint32_t got = 0;
        const auto want = static_cast<uint32_t>(std::max<size_t>(1, (needed + s - 1) / s));
        if (recordCopy_.size() < size_t{want} * s) recordCopy_.resize(size_t{want} * s);
        std::fill(recordCopy_.begin(), recordCopy_.end(), 0);
        // A read that fails part-way leaves `got` at what arrived; zeros stand for the rest.
        (void)reader_.ReadSectors(want, recordCopy_.data(), lba, s, got);
        if (got > 0) bytes = std::span<const uint8_t>(recordCopy_.data(), size_t{got} * s);
    } else {
        bytes = bytes.first(needed);
    }
    stage.engine->TakeSector(kind, bytes, lba);
    NotePassSector(kind, lba);
}

size_t CProfessionalRecovery::ClaimFor(std::span<const uint8_t> sector, uint8_t& stage,
                                       uint8_t& kind) {
    for (size_t k = 0; k < stages_.size(); ++k) {
        uint8_t claimedKind = 0;
        const size_t needed = stages_[k].engine->ClaimSector(sector, bytesPerSector_, claimedKind);
        if (needed == 0) continue;
        stage = static_cast<uint8_t>(k);
        kind = claimedKind;
        return needed;
    }
    return 0;
}

Result CProfessionalRecovery::ClassifyBlock(std::span<const uint8_t> block, uint64_t firstLba,
                                            uint64_t start, const BlockNotes* notes,
                                            uint64_t& covered) {
    // Every sector goes to the first stage that claims it, else to the carver; the pass goes on
    // at the next sector whatever a claim spanned. What the workers noted ahead is taken as it
    // is; what they left open is done here.
    const uint32_t s = bytesPerSector_;
    const uint64_t count = block.size() / s;
    uint64_t found = RawItemCount();
    const uint64_t doneBefore = position_.sectorsDone;
    uint64_t i = start;
    while (i < count) {
        const std::span<const uint8_t> sector = block.subspan(i * s, s);
        const uint64_t lba = firstLba + i;
        uint64_t consumed = 1;
        bool carve = true;
        const SectorNote* note = nullptr;
        if (TakeSettledNote(carver_, notes, i, s, lba, consumed, found, note)) {
            i += consumed;
            continue;
        }
        if (note && note->kind == SectorNote::Kind::kClaimed) {
            if (note->claimKind != 0 && note->claimer < stages_.size()) {
                TakeClaimed(stages_[note->claimer], note->claimKind, note->claimBytes,
                            block.subspan(i * s), lba);
            }
            ++i;
            continue;
        }
        if (!note) {
            // Not looked at ahead: the stages are asked first, as they always are. A sector
            // noted to be looked at again was claimed by no stage.
            uint8_t stage = 0;
            uint8_t kind = 0;
            if (const size_t needed = ClaimFor(sector, stage, kind); needed != 0) {
                // A claim of kind 0 only keeps the sector from the carver.
                if (kind != 0) TakeClaimed(stages_[stage], kind, needed, block.subspan(i * s), lba);
                carve = false;
            }
        }
        if (carve) {
            const Result r = carver_.CarveSector(
                s, sector, lba, doneBefore + (i - start), total_ ? total_ : 1,
                clock_->SecondsLeft(), reader_, consumed, found, block.subspan(i * s));
            if (r == kScanCancelled) {
                covered = i - start;
                return r;
            }
        }
        i += consumed;
    }
    covered = i - start;
    return kOk;
}

Result CProfessionalRecovery::SaveState(const std::string& folder, bool finished) {
    if (Result r = SavePassSectors(folder); r != kOk) return r;
    ResumeState state;
    state.position = position_;
    state.filesFound = RawItemCount();
    uint32_t words[10] = {};
    PackResumeState(state, words);
    return ScanLogHistory::Instance().SaveScanState(diskNumber_, partitionStart_, partitionLength_,
                                                    words, folder, historyImagePath_,
                                                    volumeFreeBytes_, finished);
}

IFileRecoveryParse* CProfessionalRecovery::EngineByKind(int32_t kind) {
    if (kind == kEngineFileType) return &carver_;
    for (Stage& stage : stages_) {
        // The deleted-file engine of whichever file system the source holds answers for the
        // deleted-file kinds of them all, as it always did.
        if (stage.fs.deletedEngineKind == kind) return inner_.get();
        if (stage.fs.fullEngineKind == kind || stage.engine->StageEngineKind() == kind)
            return stage.engine.get();
    }
    return nullptr;
}

Result CProfessionalRecovery::ListChildren(const RecoveredItem* folder, int level,
                                           std::vector<RecoveredItem>& out) {
    Result r = kOk;
    if (folder) {
        const int32_t kind = folder->engineKind;
        if (kind == kEngineFileType) return kOk;
        if (IFileRecoveryParse* engine = EngineByKind(kind)) {
            const size_t begin = out.size();
            r = engine->ListChildren(folder, level, out);
            if (kind == twinFullKind_) {
                // Folders the deleted-file scan placed are listed where it placed them.
                const std::map<uint32_t, std::string>& placed = InnerFinds().folderPaths;
                out.erase(
                    std::remove_if(out.begin() + static_cast<std::ptrdiff_t>(begin), out.end(),
                                   [&](const RecoveredItem& item) {
                                       return item.isFolder &&
                                              placed.count(static_cast<uint32_t>(item.objectKey));
                                   }),
                    out.end());
                DropCopiesOfInnerFinds(out, begin);
            }
            if (kind == twinDeletedKind_) AppendRebuiltChildren(*folder, out);
        }
    } else {
        if (level != 0) return kErrInvalidParameter;
        for (IFileRecoveryParse* engine : FileSystemEngines()) {
            std::vector<RecoveredItem> top;
            const Result one = engine->ListChildren(nullptr, 0, top);
            if (r == kOk) r = one;
            if (twin_ && engine == twin_) {
                // A rebuilt folder that the deleted-file scan placed is shown there, with what
                // only the rebuilder found added to it.
                const std::map<uint32_t, std::string>& placed = InnerFinds().folderPaths;
                std::erase_if(top, [&](const RecoveredItem& item) {
                    return item.isFolder && placed.count(static_cast<uint32_t>(item.objectKey));
                });
                DropCopiesOfInnerFinds(top, 0);
            }
            out.insert(out.end(), top.begin(), top.end());
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
    std::vector<IFileRecoveryParse*> engines = FileSystemEngines();
    engines.push_back(&carver_);
    for (IFileRecoveryParse* engine : engines) {
        int one = 0;
        if (Result r = engine->CountFiles(nullptr, 0, one); r != kOk) return r;
        count += one;
    }
    return kOk;
}

uint64_t CProfessionalRecovery::RawItemCount() {
    uint64_t n = carver_.GetItemCount();
    for (IFileRecoveryParse* engine : FileSystemEngines()) n += engine->GetItemCount();
    return n;
}

uint64_t CProfessionalRecovery::GetItemCount() {
    // What the listings show: carved copies of files the file systems found are left out. They
    // are counted once per state of the stores (the progress reports use the raw count).
    // The folder rebuilder's copies of files the deleted-file scan listed are left out too.
    const uint64_t raw = RawItemCount();
    if (carver_.GetItemCount() == 0 && (!twin_ || twin_->GetItemCount() == 0)) return raw;
    if (raw != countedRaw_) {
        const std::string everything = BuildFilter({}) + "|*.other";
        std::vector<RecoveredItem> carved, kept, rebuilt;
        const ListProgressFn fn = listCallback_;
        void* const data = listUserData_;
        (void)carver_.SetListCallback(nullptr, nullptr);
        carver_.ListByType(everything, carved);
        (void)carver_.SetListCallback(fn, data);
        AppendCarvedOnly(carved, FileSystemStarts(ListFileSystemFinds(), 0), kept);
        if (twin_) {
            (void)twin_->SetListCallback(nullptr, nullptr);
            twin_->ListByType(everything, rebuilt);
            (void)twin_->SetListCallback(fn, data);
        }
        const size_t rebuiltFiles = rebuilt.size();
        DropCopiesOfInnerFinds(rebuilt, 0);
        // Rebuilt folders that the deleted-file scan placed are shown as its own.
        size_t placedFolders = 0;
        if (const ResultStore* store = twin_ ? twin_->Store() : nullptr; store && inner_) {
            const std::map<uint32_t, std::string>& placed = InnerFinds().folderPaths;
            for (const DirInfoEntry& d : store->DirInfo())
                placedFolders += placed.count(static_cast<uint32_t>(d.folderKey));
        }
        carvedCopies_ =
            (carved.size() - kept.size()) + (rebuiltFiles - rebuilt.size()) + placedFolders;
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
    for (IFileRecoveryParse* engine : FileSystemEngines()) {
        // Engines without a store have no listing to report on; that is all these can say.
        (void)engine->SetListCallback(nullptr, nullptr);
        engine->ListByType(everything, found);
        (void)engine->SetListCallback(fn, data);
    }
    return found;
}

Result CProfessionalRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    out.clear();
    if (item.engineKind == kEngineFileType) return kOk;  // carved files have no folder
    IFileRecoveryParse* engine = EngineByKind(item.engineKind);
    // An item no engine of this scan made (a damaged log, a foreign record) has no path here.
    if (!engine) return kErrInvalidParameter;
    const Result r = engine->GetItemPath(item, out);
    if (r != kOk || item.engineKind != twinFullKind_ || !twin_ || !twin_->Store()) return r;
    // Below a folder the deleted-file scan placed, the rebuilt entries take that folder's path
    // instead of the lost folders the rebuilder saw around it.
    const std::map<uint32_t, std::string>& placed = InnerFinds().folderPaths;
    if (placed.empty()) return r;
    std::vector<RecoveredItem> ancestors;  // nearest first
    if (twin_->Store()->CollectAncestors(item, ancestors) != kOk) return r;
    for (size_t k = 0; k < ancestors.size(); ++k) {
        const auto it = placed.find(static_cast<uint32_t>(ancestors[k].objectKey));
        if (it == placed.end()) continue;
        std::string path = it->second;
        for (size_t j = k; j-- > 0;) {
            path += ancestors[j].Name();
            path += '/';
        }
        out = path;
        break;
    }
    return r;
}

Result CProfessionalRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                          int destinationFlag) {
    IFileRecoveryParse* engine = EngineByKind(item.engineKind);
    // Nothing can be written for an item no engine of this scan made: a failure, never a
    // success that wrote nothing.
    return engine ? engine->RecoverItem(item, destination, destinationFlag) : kErrInvalidParameter;
}

Result CProfessionalRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                                uint8_t* memory, uint64_t& byteCount,
                                                PreviewProgressFn fn, void* userData) {
    IFileRecoveryParse* engine = EngineByKind(item.engineKind);
    if (!engine) {
        byteCount = 0;
        return kErrInvalidParameter;
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
    for (Stage& stage : stages_) (void)stage.engine->SetListCallback(fn, userData);
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
        // The stage of the item's file system places the files of both its engines.
        for (Stage& stage : stages_) {
            if (stage.fs.deletedEngineKind != kind && stage.fs.fullEngineKind != kind) continue;
            known = stage.engine->FirstDataSector(item, lba) == kOk;
            break;
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
    // Each store sorts the whole list it adds to: the rebuilt files are sifted on their own.
    for (Stage& stage : stages_) {
        if (stage.engine.get() != twin_) {
            any |= stage.engine->ListByType(pattern, out);
            continue;
        }
        std::vector<RecoveredItem> rebuilt;
        any |= twin_->ListByType(pattern, rebuilt);
        DropCopiesOfInnerFinds(rebuilt, 0);
        out.insert(out.end(), rebuilt.begin(), rebuilt.end());
    }

    const std::map<uint64_t, std::string> starts = FileSystemStarts(out, begin);
    std::vector<RecoveredItem> carved;
    any |= carver_.ListByType(pattern, carved);
    AppendCarvedOnly(carved, starts, out);
    if (out.size() > 1) SortItemsForListing(out);
    return any;
}

const CProfessionalRecovery::InnerView& CProfessionalRecovery::InnerFinds() {
    // The deleted-file stage is over before anything is listed: its finds are taken once per
    // state of its store.
    const uint64_t count = inner_ ? inner_->GetItemCount() : 0;
    const IFileRecoveryParse* engine = inner_.get();
    if (innerView_.valid && innerView_.engine == engine && innerView_.count == count) {
        return innerView_;
    }
    innerView_ = InnerView{};
    innerView_.valid = true;
    innerView_.engine = engine;
    innerView_.count = count;
    if (!inner_) return innerView_;
    const std::string everything = BuildFilter({}) + "|*.other";
    const ListProgressFn fn = listCallback_;
    void* const data = listUserData_;
    std::vector<RecoveredItem> files;
    (void)inner_->SetListCallback(nullptr, nullptr);
    inner_->ListByType(everything, files);
    (void)inner_->SetListCallback(fn, data);
    innerView_.starts = FileSystemStarts(files, 0);

    // The folders it placed, by their first cluster (the rebuilder of the same file system keys
    // its folders the same way). The tree comes from a damaged medium: bounded in depth and size.
    constexpr int kMaxDepth = 64;
    constexpr size_t kMaxFolders = 100000;
    std::vector<std::pair<RecoveredItem, std::pair<int, std::string>>> work;
    std::vector<RecoveredItem> children;
    if (inner_->ListChildren(nullptr, 0, children) != kOk) return innerView_;
    for (const RecoveredItem& c : children) {
        if (c.isFolder && c.engineKind == twinDeletedKind_) work.push_back({c, {1, ""}});
    }
    while (!work.empty() && innerView_.folderPaths.size() < kMaxFolders) {
        const auto [folder, where] = work.back();
        work.pop_back();
        const std::string path = where.second + std::string(folder.Name()) + "/";
        if (!innerView_.folderPaths.emplace(static_cast<uint32_t>(folder.objectKey), path).second)
            continue;  // met before: a loop in a damaged tree
        if (where.first >= kMaxDepth) continue;
        children.clear();
        if (inner_->ListChildren(&folder, where.first, children) != kOk) continue;
        for (const RecoveredItem& c : children) {
            if (c.isFolder && c.engineKind == twinDeletedKind_)
                work.push_back({c, {where.first + 1, path}});
        }
    }
    return innerView_;
}

void CProfessionalRecovery::AppendRebuiltChildren(const RecoveredItem& folder,
                                                  std::vector<RecoveredItem>& out) {
    ResultStore* store = twin_ ? twin_->Store() : nullptr;
    if (!store || !store->IsOpen() || !inner_) return;
    const auto key = static_cast<uint32_t>(folder.objectKey);
    const std::map<uint32_t, std::string>& placed = InnerFinds().folderPaths;
    if (placed.count(key) == 0) return;
    // The rebuilder files its folders by their first cluster at a depth of its own.
    const auto& lists = store->ChildMap();
    const auto it = std::find_if(lists.begin(), lists.end(),
                                 [&](const auto& list) { return list.first.parentKey == key; });
    if (it == lists.end()) return;
    std::vector<RecoveredItem> rebuilt;
    if (store->ListChildren(key, it->first.level, rebuilt) != kOk) return;
    DropCopiesOfInnerFinds(rebuilt, 0);
    for (const RecoveredItem& item : rebuilt) {
        // Folders the deleted-file scan placed are listed through its own items.
        if (item.isFolder && placed.count(static_cast<uint32_t>(item.objectKey))) continue;
        out.push_back(item);
    }
}

void CProfessionalRecovery::DropCopiesOfInnerFinds(std::vector<RecoveredItem>& items,
                                                   size_t begin) {
    if (begin >= items.size() || !inner_) return;
    const std::map<uint64_t, std::string>& starts = InnerFinds().starts;
    if (starts.empty()) return;
    // A file the rebuilder found in a deleted folder that the deleted-file scan also read is
    // the same file: one of them is listed.
    auto copy = [&](const RecoveredItem& item) {
        if (item.isFolder || item.engineKind != twinFullKind_) return false;
        const std::map<uint64_t, std::string> own = FileSystemStarts({item}, 0);
        if (own.empty()) return false;
        const auto it = starts.find(own.begin()->first);
        return it != starts.end() && it->second == own.begin()->second;
    };
    items.erase(
        std::remove_if(items.begin() + static_cast<std::ptrdiff_t>(begin), items.end(), copy),
        items.end());
}

}  // namespace norvale
