#pragma once
// EngineProgress: the callbacks an engine was handed (scan, recover and list progress with their
// user data) and the reports every store-backed engine makes through them. Engines derive from
// it privately, so their scan and copy code keeps reaching the callbacks by the same names.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "device/result.h"
#include "engine/folder_recovery.h"
#include "engine/recovery_parse.h"
#include "engine/result_store.h"

namespace norvale {

class EngineProgress {
  protected:
    // Takes `n` bytes of the file being copied, in order.
    using ChunkSink = std::function<Result(const uint8_t* bytes, size_t n)>;
    // Told how many bytes were copied after each chunk; a nonzero answer stops the copy.
    using CopiedFn = std::function<int(uint64_t done)>;
    // Copies a file's bytes into `sink`, calling `copied` after each chunk.
    using FileCopyBody = std::function<Result(const ChunkSink& sink, const CopiedFn& copied)>;

    // Keeps the callbacks of SetCallbacks. Returns kOk.
    Result KeepCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                         void* userData, int progressScale);
    // Keeps the list callback of SetListCallback and hands it to `store` when there is one.
    // Returns kOk, or `withoutStore` when there is no store yet.
    Result KeepListCallback(ListProgressFn fn, void* userData, ResultStore* store,
                            Result withoutStore);
    // Closes the store of an earlier scan and puts a new, unopened one in its place that
    // reports listing progress to the kept list callback.
    void RenewStore(std::unique_ptr<ResultStore>& store) const;

    // One scan report at the kept scale, without counts; 0 (go on) without a callback.
    int ReportScan(int percent, int secondsLeft) const;
    // The `reports`-th periodic report of a walk that cannot tell how much is left (a folder
    // tree): creeping up from 1 % on the full scale (from 20 % on a stage's) and never past 79 %,
    // which the walk's own end reports. 0 (go on) at any other scale or without a callback.
    int ReportWalkStep(int reports) const;
    // One report about the item at `path`, on the full scale; 0 (go on) without a callback.
    int ReportRecover(int percent, Result error, const std::string& path) const;
    // ReportRecover as a callback for the shared copy routines.
    ItemReportFn RecoverReporter() const;
    // A report while the file at `path` is copied, `done` of its `size` bytes; none at 100%,
    // where FinishFile reports once the file is closed. Sets `stopped` to whether the answer
    // asks to stop, and returns the answer.
    int ReportFileProgress(uint64_t done, uint64_t size, const std::string& path,
                           bool& stopped) const;
    // The one report at 100% that ends every copied file and carries its result. Returns the
    // callback's answer when it asked to stop (`stopped` is then set), else `result`.
    Result FinishFile(Result result, const std::string& path, bool& stopped) const;
    // Writes the `size` bytes `copy` hands over into a new file for `item` at `path` through
    // RecoveredFileWriter (its times set, never replacing anything; `path` becomes the final
    // name), with the reports of ReportFileProgress, and ends with FinishFile. A copy that gives
    // fewer bytes fails with kErrHandleEof and leaves no file under the real name. A stop asked
    // for during the copy returns the copy's result with `stopped` set and without the final
    // report; a file that cannot be created is reported.
    Result CopyToNewFile(const RecoveredItem& item, std::string& path, uint64_t size, bool& stopped,
                         const FileCopyBody& copy) const;

    ScanProgressFn scanProgress_ = nullptr;
    RecoverProgressFn recoverProgress_ = nullptr;
    void* userData_ = nullptr;
    int progressScale_ = kFullProgressScale;
    ListProgressFn listCallback_ = nullptr;
    void* listUserData_ = nullptr;
};

}  // namespace norvale
