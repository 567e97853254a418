#pragma once
// The scan driver: scans a list of sources one after another on the caller's thread (the
// views run it on one worker thread). For each source it builds the engine with the factory,
// hands it the progress callback and runs its Scan. A stop request reaches the engine only
// through the callback's answer (kScanCancelled), which ends the pass.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/source_info.h"

namespace norvale {

// What the stage line shows for the source being scanned.
struct ScanStage {
    size_t index = 0;  // 0-based position in the list
    size_t count = 0;  // sources in the list
    bool isImage = false;
    bool hasLetter = false;  // a partition with an alphabetic drive letter
    uint16_t tag = 0;        // drive letter or position number for a partition
    std::string imageName;   // file name of an image, without its folders
    std::string devicePath;  // partition device or image path, for views that show it
    // With AskResume: the saved scan ran to its end; resuming it only loads its finds again.
    bool savedScanFinished = false;
};

struct ScanProgress {
    int shownPercent = 0;  // percent * scale / 100
    int secondsLeft = -1;  // -1 while unknown
    uint64_t currentSector = 0;
    uint64_t totalSectors = 0;  // 0: the engine reports no sector counts
    uint64_t filesFound = 0;
};

enum class ScanOutcome {
    kCompleted,     // every source was scanned (some scans may have failed)
    kStopped,       // the user stopped; later sources were not scanned
    kEngineFailed,  // a source could not be opened or recognised; later ones were not scanned
    kNothingToDo,   // the list was empty
};

class IScanObserver {
  public:
    virtual ~IScanObserver() = default;
    virtual void OnStage(const ScanStage& stage) = 0;
    virtual void OnProgress(const ScanProgress& progress) = 0;
    // Called after a source's Scan returned; `result` is the engine's result.
    virtual void OnSourceDone(const ScanStage& stage, Result result, uint64_t itemCount) = 0;
    // Professional mode, when a saved scan of the source exists: true to resume it (a finished
    // one is then loaded, not scanned again; stage.savedScanFinished says which it is).
    virtual bool AskResume(const ScanStage& stage) = 0;
    // `failedIndex` names the source whose engine could not be built (kEngineFailed only).
    virtual void OnFinished(ScanOutcome outcome, size_t failedIndex) = 0;
    // With SetSkipUnreadable: a source whose engine could not be built was passed over.
    virtual void OnSourceSkipped(const ScanStage& /*stage*/) {}
};

class ScanDriver {
  public:
    ScanDriver(std::vector<SourceInfo*> sources, bool professional, IScanObserver& observer);

    // Builds and opens the engine of a source in place of the factory (a scan mode that the
    // factory does not know, such as carving alone). Null: the engine could not be built.
    using EngineBuilder = std::function<std::unique_ptr<IFileRecoveryParse>(const SourceInfo&)>;
    void SetEngineBuilder(EngineBuilder builder) { builder_ = std::move(builder); }
    // The partitions of one disk: a partition no engine can read (swap, ext4, an unformatted
    // one) is reported through OnSourceSkipped and the next one is scanned. The run fails with
    // kEngineFailed only when no source at all could be read.
    void SetSkipUnreadable(bool skip) { skipUnreadable_ = skip; }

    // Runs the whole pass; returns when every source is done, a stop was honoured or an
    // engine could not be built.
    ScanOutcome Run();

    // Thread-safe. The next progress report answers kScanCancelled.
    void RequestStop();
    // Held by a view while it asks whether to stop: the worker waits at its next progress
    // report, so the display does not move while the question is open.
    std::unique_lock<std::mutex> HoldProgress() { return std::unique_lock(lock_); }

  private:
    static int ProgressThunk(void* userData, int percent, int scale, int secondsLeft,
                             uint64_t currentSector, uint64_t totalSectors, uint64_t filesFound,
                             int reserved);

    std::vector<SourceInfo*> sources_;
    bool professional_;
    EngineBuilder builder_;
    bool skipUnreadable_ = false;
    IScanObserver& observer_;
    std::mutex lock_;
    std::atomic<bool> stopRequested_{false};
};

// "%d Hour %d Min" from 3600 s, "%d Min %d Sec" from 60 s, else "%d Sec".
std::string RemainingTimeText(int64_t seconds);

}  // namespace norvale
