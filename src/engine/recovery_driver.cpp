#include "engine/recovery_driver.h"

#include <exception>

#include "engine/data_paths.h"
#include "engine/output_naming.h"

namespace norvale {

RecoveryDriver::RecoveryDriver(const std::vector<SourceInfo>& sources, IRecoveryObserver& observer)
    : sources_(sources), observer_(observer) {}

void RecoveryDriver::RequestStop() {
    stopRequested_ = true;
}

void RecoveryDriver::AddRow(const std::string& name, Result result) {
    RecoveryDetailRow row{name, result == kOk ? "Success" : ResultText(result), result};
    ++counts_.processed;
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
    if (self->stopRequested_) return kScanCancelled;
    int shown = percent * scale / 100;
    std::string name = itemName ? itemName : "";
    if (shown == 100) {
        self->itemReported_ = true;
        self->AddRow(name, errorCode);
    }
    self->observer_.OnProgress(name, shown, self->counts_);
    return 0;
}

bool RecoveryDriver::RecoverOne(const RecoveredItem& item, const std::string& root) {
    std::string name(item.Name());
    IFileRecoveryParse* engine = FindEngineForItem(sources_, item);
    if (!engine) {
        std::lock_guard guard(lock_);
        AddRow(name, kErrInvalidParameter);
        return true;
    }
    std::string folder = root + "/" + CategoryOf(name);
    if (Result r = MakeFolders(folder); r != kOk) {
        std::lock_guard guard(lock_);
        AddRow(name, r);
        return true;
    }
    std::string path = MakeUniquePath(folder + "/" + SafeFileName(name));
    if (engine->SetCallbacks(nullptr, &RecoveryDriver::ProgressThunk, this, kFullProgressScale) !=
        kOk) {
        return false;
    }
    {
        std::lock_guard guard(lock_);
        itemReported_ = false;
    }
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
    for (const RecoveredItem& item : items) {
        if (!RecoverOne(item, root)) {
            observer_.OnFinished(RecoveryOutcome::kStopped, counts_);
            return RecoveryOutcome::kStopped;
        }
    }
    observer_.OnFinished(RecoveryOutcome::kDone, counts_);
    return RecoveryOutcome::kDone;
}

RecoveryOutcome RecoveryDriver::RecoverSingle(const RecoveredItem& item, const std::string& root) {
    return RecoverItems({item}, root);
}

}  // namespace norvale
