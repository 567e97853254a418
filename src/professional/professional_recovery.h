#pragma once
// CProfessionalRecovery: the engine of every full scan, whatever the source holds. It drives
// these engines through one pass over the source:
//  - the deleted-file engine of the source's file system (none when it is not recognised), run
//    first; when it can map the clusters in use, only the free extents are read afterwards;
//  - the full-scan stage of every registered file system (engine/file_system_registry.h; the
//    NTFS record scanner, the FAT directory rebuilder) and the signature carver, which share
//    one sector pass: every sector goes to the first stage that claims it, in registration
//    order, else to the carver;
// then the folder passes of the stages. Each engine keeps its own store ("Fast_", "Pro_Fat_",
// "Pro_Ntfs_", "File_Type_" logs in one scan folder); listings are merged here and
// every request about an item goes to the engine that found it. A stopped scan is saved in the
// scan-log history and goes on where it stopped when the same unchanged source is scanned again.
//
// Not thread-safe: one thread calls the engine at a time. The source is only ever read.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "carving/file_type_recovery.h"
#include "carving/full_scan_stage.h"
#include "carving/look_ahead.h"
#include "carving/sector_pass.h"
#include "device/sector_reader.h"
#include "engine/engine_progress.h"
#include "engine/file_system_registry.h"
#include "engine/recovery_parse.h"
#include "engine/scan_log_history.h"
#include "professional/volume_free_space.h"

namespace norvale {

inline constexpr int kImageDiskNumber = 128;  // the disk number saved for an image file

// The five resume values in the ten 32-bit words of a saved scan (little-endian halves).
struct ResumeState {
    PassPosition position;
    uint64_t filesFound = 0;
};
void PackResumeState(const ResumeState& state, uint32_t (&words)[10]);
ResumeState UnpackResumeState(const uint32_t (&words)[10]);

class CProfessionalRecovery final : public IFileRecoveryParse, private EngineProgress {
  public:
    // `volumeFreeBytes` tells a partition's free space when a saved scan is matched to it and
    // when one is saved: by default read from the volume's own allocation map, so any write to
    // the card makes a saved scan stale.
    explicit CProfessionalRecovery(VolumeFreeBytesFn volumeFreeBytes = VolumeFreeBytesOnMedium);
    ~CProfessionalRecovery() override;
    CProfessionalRecovery(const CProfessionalRecovery&) = delete;
    CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

    // The stages are made here, from the file systems registered at this time.
    // Both opens look for a saved scan of the source in the scan-log history (the history then
    // offers it: ResumeFound()), open the stages and build the deleted-file engine of the source
    // when its file system is known. They return the first failed stage's open result in
    // registration order (the source's own open error when it cannot be read at all).
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    // The pass reports on the 9-99 % band (scale 90) after the deleted-file stage's 0-9 %.
    Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                        void* userData, int progressScale) override;
    // Runs the whole scan (resuming a saved one when the history still offers it). Returns kOk,
    // kScanCancelled when the user stopped (the folder passes have run and the state is saved),
    // or the first error that ended it.
    Result Scan(const char* logName) override;
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    uint64_t GetItemCount() override;
    // Item requests go to the engine named by the item's engineKind; an item of a kind no
    // engine here makes gives kErrInvalidParameter (carved files have an empty path).
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;
    Result SetListCallback(ListProgressFn fn, void* userData) override;
    // The typed lists of all four engines; a carved file that starts where a file found through
    // a file system starts (same extension, or a ".jpg" on a ".thm") is left out.
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    Result BuildClusterMap() override;
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    // For tests and tools.
    bool ResumePending() const { return resumePending_; }
    const ResumeState& SavedState() const { return saved_; }
    IFileRecoveryParse* InnerEngine() { return inner_.get(); }
    // The stage of a registered file system; null when none was registered when this engine
    // was made. FatScanner and NtfsScanner need theirs registered.
    IFullScanStage* StageOf(FileSystemKind kind);
    // The stage paired with the deleted-file engine, chosen at open.
    IFullScanStage* Twin() { return twin_; }
    IFullScanStage& FatScanner() { return *StageOf(FileSystemKind::Fat); }
    IFullScanStage& NtfsScanner() { return *StageOf(FileSystemKind::Ntfs); }
    CFileTypeRecovery& Carver() { return carver_; }

  private:
    // How the stages of the pass start: a new pass; going on from a stopped one (the carver
    // adds to its log, the folder scanners are handed the saved sectors again); or a finished
    // one whose logs are only loaded.
    enum class StageStart { kFresh, kContinue, kReload };
    // One file system's stage of the pass.
    struct Stage {
        FileSystemDescriptor fs;
        std::unique_ptr<IFullScanStage> engine;
    };

    void TakeSavedScan(int found, const uint32_t (&words)[10]);
    // Picks the stage that rebuilds the tree the deleted-file engine read (twin_).
    void ChooseTwin();
    Result OpenStages(StageStart start, const std::string& folder);
    // The work of the pass (total_) and its first extent (position_).
    void PlanPass(bool useMap);
    bool NextFreeExtent(uint64_t from, PassPosition& extent);
    Result RunPass(bool useMap);
    Result ClassifyBlock(std::span<const uint8_t> block, uint64_t firstLba, uint64_t start,
                         const BlockNotes* notes, uint64_t& covered);
    // The first stage that claims `sector` (registration order): the bytes it spans, the
    // stage's index and the kind it gave; 0 when none does. Changes nothing, so workers call it.
    size_t ClaimFor(std::span<const uint8_t> sector, uint8_t& stage, uint8_t& kind);
    // Hands a claimed structure that starts at `lba` (its bytes from `from` on, read again from
    // the medium where `from` holds fewer than `needed`) to its stage.
    void TakeClaimed(Stage& stage, uint8_t kind, size_t needed, std::span<const uint8_t> from,
                     uint64_t lba);
    Result ReplayPassSectors(const std::string& folder);
    void NotePassSector(uint8_t kind, uint64_t lba);
    static Result LoadPassSectors(const std::string& folder, std::vector<uint64_t>& out);
    Result SavePassSectors(const std::string& folder) const;
    // Reports the pass at `done` sectors (where it stands, or further while workers size a
    // large file ahead of it).
    int ReportPass(uint64_t done);
    // The found count for the progress reports: what GetItemCount gives, taken again at most
    // every few seconds (always when `exact`), with what was found since added.
    uint64_t ShownCount(bool exact);
    IFileRecoveryParse* EngineByKind(int32_t kind);
    // The deleted-file engine (when there is one), then the stages in registration order.
    std::vector<IFileRecoveryParse*> FileSystemEngines();
    // `finished`: the pass ran to its end, so the saved scan has nothing left to continue.
    Result SaveState(const std::string& folder, bool finished = false);
    // The stores' record count, carved copies of file-system finds included.
    uint64_t RawItemCount();
    // Every file the file-system engines found, listed without progress reports.
    std::vector<RecoveredItem> ListFileSystemFinds();
    // Where each file of `items` (from `begin` on) found through a file system starts, with
    // its lower-case extension.
    std::map<uint64_t, std::string> FileSystemStarts(const std::vector<RecoveredItem>& items,
                                                     size_t begin);
    // What the deleted-file stage found: where its files start and the paths of the folders it
    // placed, by first cluster.
    struct InnerView {
        bool valid = false;
        const IFileRecoveryParse* engine = nullptr;
        uint64_t count = 0;
        std::map<uint64_t, std::string> starts;
        std::map<uint32_t, std::string> folderPaths;
    };
    const InnerView& InnerFinds();
    // Removes from `items` (from `begin` on) the rebuilt FAT files that start where a file of
    // the deleted-file stage starts, with the same extension.
    void DropCopiesOfInnerFinds(std::vector<RecoveredItem>& items, size_t begin);
    // Adds to the children of a folder the deleted-file scan placed those that the folder
    // rebuilder found in the same folder (by first cluster) and the deleted-file scan did not.
    void AppendRebuiltChildren(const RecoveredItem& folder, std::vector<RecoveredItem>& out);
    // Appends to `out` the carved items that are no copy of a file starting in `starts`.
    static void AppendCarvedOnly(const std::vector<RecoveredItem>& carved,
                                 const std::map<uint64_t, std::string>& starts,
                                 std::vector<RecoveredItem>& out);

    // The source.
    int diskNumber_ = kImageDiskNumber;
    uint64_t partitionStart_ = 0;
    uint64_t partitionLength_ = 0;
    uint16_t sourceTag_ = 0;
    std::string imagePath_;
    // The image file a saved scan of this source is filed under: the opened image, or the image
    // a partition is read from (its disk number is given afresh in every run, its path is not).
    std::string historyImagePath_;
    uint32_t bytesPerSector_ = 512;
    SectorReader reader_;
    Result openResult_ = kErrInvalidHandle;

    std::vector<Stage> stages_;
    // The stage of the file system the deleted-file engine read (null when none was
    // recognised): its rebuilt files and folders are merged with what that scan found, by first
    // cluster, and its engine kinds.
    IFullScanStage* twin_ = nullptr;
    int32_t twinDeletedKind_ = -1;
    int32_t twinFullKind_ = -1;
    CFileTypeRecovery carver_;
    std::unique_ptr<IFileRecoveryParse> inner_;

    // A saved scan of this source, offered by the history at open.
    bool resumePending_ = false;
    ResumeState saved_;

    // The running pass.
    PassPosition position_;
    uint64_t total_ = 0;
    // The sectors handed to the folder scanners so far, earlier runs of a resumed scan included.
    std::vector<uint64_t> passSectors_;
    uint64_t shownRaw_ = 0;
    uint64_t shownCount_ = 0;
    std::chrono::steady_clock::time_point nextCount_{};
    // Carved copies of file-system finds, counted when the stores held countedRaw_ records.
    uint64_t carvedCopies_ = 0;
    uint64_t countedRaw_ = UINT64_MAX;
    InnerView innerView_;
    std::unique_ptr<TimeLeftEstimator> clock_;
    std::vector<uint8_t> recordCopy_;
    VolumeFreeBytesFn volumeFreeBytes_;
};

}  // namespace norvale
