#include "engine/recovery_driver.h"

#include <sys/stat.h>

#include <exception>

#include "engine/data_paths.h"
#include "engine/output_naming.h"

namespace norvale {
namespace {

// The longest folder name the destinations of this system hold (NAME_MAX bytes).
constexpr size_t kFolderNameMax = 255;

}  // namespace

RecoveryDriver::RecoveryDriver(const std::vector<SourceInfo>& sources, IRecoveryObserver& observer)
    : sources_(sources), observer_(observer) {}

void RecoveryDriver::RequestStop() {
    stopRequested_ = true;
}

void RecoveryDriver::AddSettledRows() {
    for (const PublishBatch::Settled& s : heldFiles_.TakeSettled())
        AddOneRow(s.path, s.result, s.outcome == FileWriteOutcome::kAlreadyThere);
}

void RecoveryDriver::SettleHeldFiles() {
    heldFiles_.Settle();
    std::lock_guard guard(lock_);
    AddSettledRows();
}

void RecoveryDriver::AddRow(const std::string& name, Result result, bool alreadyThere) {
    AddSettledRows();
    AddOneRow(name, result, alreadyThere);
}

void RecoveryDriver::AddOneRow(const std::string& name, Result result, bool alreadyThere) {
    RecoveryDetailRow row{name,
                          result != kOk  ? ResultText(result)
                          : alreadyThere ? std::string(kAlreadyRecoveredText)
                                         : std::string("Success"),
                          result};
    ++counts_.processed;
    if (result == kOk && alreadyThere) ++counts_.alreadyRecovered;
    if (result != kOk) {
        ++counts_.failed;
        rows_.insert(rows_.begin(), row);
        ++failedRows_;
    } else {
        rows_.push_back(row);
    }
    observer_.OnItemDone(row, counts_);
}

int RecoveryDriver::ProgressThunk(void* userData, int percent, int scale, int errorCode,
                                  const char* itemName) {
    auto* self = static_cast<RecoveryDriver*>(userData);
    std::lock_guard guard(self->lock_);
    int shown = percent * scale / 100;
    std::string name = itemName ? itemName : "";
    if (shown == 100) {
        // The file is finished (written, or failed and removed): it is counted also when a
        // stop came in meanwhile, so the counts match what the destination holds.
        const FileWriteOutcome outcome = TakeLastFileWriteOutcome();
        self->itemReported_ = true;
        // A held file gets its row once it has its name (AddSettledRows).
        if (outcome == FileWriteOutcome::kHeld && errorCode == kOk)
            self->AddSettledRows();
        else
            self->AddRow(name, errorCode, outcome == FileWriteOutcome::kAlreadyThere);
    }
    if (self->stopRequested_) return kScanCancelled;
    self->observer_.OnProgress(name, shown, self->counts_);
    return 0;
}

bool RecoveryDriver::RecoverOne(const RecoveredItem& item, const std::string& root) {
    // A folder takes a free name and gets its times once its content is written: the files
    // held so far take their names first, and the folder's own files are named at once.
    if (item.isFolder) SettleHeldFiles();
    std::string name(item.Name());
    IFileRecoveryParse* engine = FindEngineForItem(sources_, item);
    if (!engine) {
        std::lock_guard guard(lock_);
        AddRow(name, kErrInvalidParameter);
        return true;
    }
    std::string folder = root;
    if (auto it = sourceFolders_.find(item.sourceTag); it != sourceFolders_.end())
        folder += "/" + it->second;
    folder += "/" + CategoryOf(name);
    if (Result r = MakeFolders(folder); r != kOk) {
        std::lock_guard guard(lock_);
        AddRow(name, r);
        return true;
    }
    std::string path = folder + "/" + SafeFileName(name);
    if (item.isFolder) {
        path = folder + "/" + FitFileName(SafeFileName(name), "", kFolderNameMax);
        // A folder recovered before is filled again, so that its identical files are found;
        // anything else takes a fresh name. Files get their free names as they are written.
        struct stat st {};
        const bool reuse =
            writeOptions_.skipExisting && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (!reuse) path = MakeUniquePath(path);
    }
    if (Result r =
            engine->SetCallbacks(nullptr, &RecoveryDriver::ProgressThunk, this, kFullProgressScale);
        r != kOk) {
        std::lock_guard guard(lock_);
        AddRow(name, r);
        return true;
    }
    {
        std::lock_guard guard(lock_);
        itemReported_ = false;
    }
    const FileWriteScope writeScope(writeOptions_, item.isFolder ? nullptr : &heldFiles_);
    Result r;
    try {
        r = engine->RecoverItem(item, path, DestinationDepth(root));
    } catch (const std::exception&) {
        r = kErrEngineGeneric;
    }
    if (r == kScanCancelled) return false;
    std::lock_guard guard(lock_);
    // An engine that gave up before reporting any file would otherwise leave the item
    // uncounted, and a failed run would read as complete.
    if (r != kOk && !itemReported_) AddRow(name, r);
    return true;
}

RecoveryOutcome RecoveryDriver::RecoverItems(const std::vector<RecoveredItem>& items,
                                             const std::string& root) {
    counts_ = RecoveryCounts{};
    counts_.total = int(items.size());
    rows_.clear();
    for (size_t i = 0; i < items.size(); ++i) {
        const RecoveredItem& item = items[i];
        // A stop between two files (or during one that makes no reports) ends the run here.
        bool stopped = stopRequested_;
        size_t done = i;
        if (!stopped && !RecoverOne(item, root)) {
            stopped = true;
            std::lock_guard guard(lock_);
            // A file whose final report came in before the stop is finished; a file cut off
            // (which leaves nothing) and a folder cut short count as not tried.
            if (!item.isFolder && itemReported_) done = i + 1;
        }
        if (stopped) {
            // The files written whole before the stop are kept and counted.
            SettleHeldFiles();
            RecoveryCounts counts;
            {
                std::lock_guard guard(lock_);
                counts_.notTried = int(items.size() - done);
                counts = counts_;
            }
            observer_.OnFinished(RecoveryOutcome::kStopped, counts);
            return RecoveryOutcome::kStopped;
        }
    }
    SettleHeldFiles();
    observer_.OnFinished(RecoveryOutcome::kDone, counts_);
    return RecoveryOutcome::kDone;
}

RecoveryOutcome RecoveryDriver::RecoverSingle(const RecoveredItem& item, const std::string& root) {
    return RecoverItems({item}, root);
}

}  // namespace norvale
