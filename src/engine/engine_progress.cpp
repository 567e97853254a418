#include "engine/engine_progress.h"

#include <algorithm>

#include "engine/recovered_file_writer.h"

namespace norvale {

Result EngineProgress::KeepCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                                     void* userData, int progressScale) {
    scanProgress_ = scanProgress;
    recoverProgress_ = recoverProgress;
    userData_ = userData;
    progressScale_ = progressScale;
    return kOk;
}

Result EngineProgress::KeepListCallback(ListProgressFn fn, void* userData, ResultStore* store,
                                        Result withoutStore) {
    listCallback_ = fn;
    listUserData_ = userData;
    if (!store) return withoutStore;
    store->SetListCallback(fn, userData);
    return kOk;
}

void EngineProgress::RenewStore(std::unique_ptr<ResultStore>& store) const {
    // The old store's scan has ended and reported; its logs stay as they are.
    if (store) (void)store->Close();
    store = std::make_unique<ResultStore>();
    store->SetListCallback(listCallback_, listUserData_);
}

int EngineProgress::ReportScan(int percent, int secondsLeft) const {
    if (!scanProgress_) return 0;
    return scanProgress_(userData_, percent, progressScale_, secondsLeft, 0, 0, 0, 0);
}

int EngineProgress::ReportWalkStep(int reports) const {
    constexpr int kLastPeriodicPercent = 79;
    if (progressScale_ == kFullProgressScale)
        return ReportScan(std::min(1 + reports, kLastPeriodicPercent), std::max(100 - reports, 1));
    if (progressScale_ == kStageProgressScale)
        return ReportScan(std::min(20 + reports, kLastPeriodicPercent), -1);
    return 0;
}

int EngineProgress::ReportRecover(int percent, Result error, const std::string& path) const {
    if (!recoverProgress_) return 0;
    return recoverProgress_(userData_, percent, kFullProgressScale, error, path.c_str());
}

ItemReportFn EngineProgress::RecoverReporter() const {
    return [this](int percent, Result error, const std::string& path) {
        return ReportRecover(percent, error, path);
    };
}

int EngineProgress::ReportFileProgress(uint64_t done, uint64_t size, const std::string& path,
                                       bool& stopped) const {
    const auto percent = static_cast<int>(done * 100 / size);
    if (percent >= 100) return 0;
    const int answer = ReportRecover(percent, kOk, path);
    stopped = answer != 0;
    return answer;
}

Result EngineProgress::FinishFile(Result result, const std::string& path, bool& stopped) const {
    if (const int answer = ReportRecover(100, result, path); answer != 0) {
        stopped = true;
        return answer;
    }
    return result;
}

Result EngineProgress::CopyToNewFile(const RecoveredItem& item, std::string& path, uint64_t size,
                                     bool& stopped, const FileCopyBody& copy) const {
    RecoveredFileWriter writer(path, item);
    if (Result r = writer.Open(); r != kOk) {
        (void)writer.Finish(r);
        return FinishFile(r, path, stopped);
    }
    bool askedToStop = false;
    Result result =
        copy([&writer](const uint8_t* bytes, size_t n) { return writer.Write(bytes, n); },
             [&](uint64_t done) { return ReportFileProgress(done, size, path, askedToStop); });
    // A copy that ended early without saying why is still not the whole file.
    if (result == kOk && !askedToStop && writer.BytesWritten() < size) result = kErrHandleEof;
    result = writer.Finish(result, askedToStop);
    path = writer.Path();
    if (askedToStop) {
        stopped = true;
        return result;
    }
    return FinishFile(result, path, stopped);
}

}  // namespace norvale
