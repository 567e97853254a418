#pragma once
// The recovery driver: writes chosen items into a destination folder, one category sub-folder
// per kind, never overwriting an existing file. Each item goes through the engine that found it
// (by its source tag). Runs on the caller's thread; a stop request reaches the engine only
// through the callback's answer. Files written whole wait in a PublishBatch to reach the disk
// together; their rows come once they have their names, always before OnFinished.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/recovered_file_writer.h"
#include "engine/recovered_item.h"
#include "engine/source_info.h"

namespace norvale {

struct RecoveryDetailRow {
    std::string name;
    std::string status;  // "Success", "Already recovered" or the error's text
    Result result = kOk;
};

struct RecoveryCounts {
    int processed = 0;
    int failed = 0;
    int total = 0;
    // Successes that found an identical copy already in the destination and wrote nothing.
    int alreadyRecovered = 0;
    // Items of the list a stop left untouched or unfinished (a file cut off leaves nothing).
    int notTried = 0;
    int Succeeded() const { return processed - failed; }
};

// The status text of a file that was already in the destination.
inline constexpr char kAlreadyRecoveredText[] = "Already recovered";

enum class RecoveryOutcome { kDone, kStopped };

class IRecoveryObserver {
  public:
    virtual ~IRecoveryObserver() = default;
    // Every progress report: the current name, the shown percent of it and the counts so far.
    virtual void OnProgress(const std::string& name, int shownPercent,
                            const RecoveryCounts& counts) = 0;
    // One file finished, successfully when row.result is kOk.
    virtual void OnItemDone(const RecoveryDetailRow& row, const RecoveryCounts& counts) = 0;
    virtual void OnFinished(RecoveryOutcome outcome, const RecoveryCounts& counts) = 0;
};

class RecoveryDriver {
  public:
    RecoveryDriver(const std::vector<SourceInfo>& sources, IRecoveryObserver& observer);

    // Recovers every item into root/<category>/<name>.
    RecoveryOutcome RecoverItems(const std::vector<RecoveredItem>& items, const std::string& root);
    // One file, or one folder with all its content.
    RecoveryOutcome RecoverSingle(const RecoveredItem& item, const std::string& root);

    // How files are written (partial files kept, identical files skipped); before a run.
    void SetWriteOptions(const FileWriteOptions& options) { writeOptions_ = options; }
    // Items of the source with tag `key` go to root/<folder>/<category>/<name> (one folder per
    // partition of a disk); items of other sources stay at root/<category>/<name>.
    void SetSourceFolders(std::map<uint16_t, std::string> folders) {
        sourceFolders_ = std::move(folders);
    }

    void RequestStop();  // thread-safe and async-signal-safe
    std::unique_lock<std::mutex> HoldProgress() { return std::unique_lock(lock_); }

    // Failures first (newest on top), then successes in the order they finished.
    const std::vector<RecoveryDetailRow>& DetailRows() const { return rows_; }
    RecoveryCounts Counts() const { return counts_; }

  private:
    static int ProgressThunk(void* userData, int percent, int scale, int errorCode,
                             const char* itemName);
    // Returns false when the run must end (stopped).
    bool RecoverOne(const RecoveredItem& item, const std::string& root);
    // Adds the rows of files that were held back (see PublishBatch) and have since been named,
    // then this one's.
    void AddRow(const std::string& name, Result result, bool alreadyThere = false);
    void AddSettledRows();
    void AddOneRow(const std::string& name, Result result, bool alreadyThere);
    // Names every held file and adds its row; the lock must not be held.
    void SettleHeldFiles();

    const std::vector<SourceInfo>& sources_;
    IRecoveryObserver& observer_;
    std::map<uint16_t, std::string> sourceFolders_;
    std::mutex lock_;
    std::atomic<bool> stopRequested_{false};
    bool itemReported_ = false;  // the engine reported at least one finished file
    RecoveryCounts counts_;
    std::vector<RecoveryDetailRow> rows_;
    size_t failedRows_ = 0;
    FileWriteOptions writeOptions_;
    // Whole files of this run waiting for one flush to disk together.
    PublishBatch heldFiles_;
};

}  // namespace norvale
