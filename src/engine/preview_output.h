#pragma once
// PreviewOutput: where one ExtractForPreview writes, shared by the engines. The target is
// chosen by the item's name (ChoosePreviewTarget): a temporary file, or the caller's memory.
// The engine reads the item its own way and hands the bytes over in order.

#include <cstdint>
#include <string>

#include "device/result.h"
#include "engine/preview_target.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"

namespace norvale {

class PreviewOutput {
  public:
    // Takes the ExtractForPreview arguments: `memory` holds `byteCount` bytes and is used when
    // the target is memory. `byteCount` becomes 0 and `tempPath` empty until the preview is
    // made (Open names the file, Finish gives the count).
    PreviewOutput(const RecoveredItem& item, uint8_t* memory, uint64_t& byteCount,
                  std::string& tempPath, PreviewProgressFn fn, void* userData);
    ~PreviewOutput();
    PreviewOutput(const PreviewOutput&) = delete;
    PreviewOutput& operator=(const PreviewOutput&) = delete;

    bool ToFile() const { return toFile_; }
    // The target is memory, but none was given for a nonzero capacity.
    bool LacksMemory() const { return !toFile_ && capacity_ > 0 && memory_ == nullptr; }
    // The bytes of a file of `fileSize` bytes the preview takes: all of them for a file
    // target, at most the capacity for memory.
    uint64_t Total(uint64_t fileSize) const;
    // Creates the preview file (file targets only; memory needs nothing) and names it in
    // `tempPath`. A failure with a positive code is reported at 100% before it is returned.
    Result Open();
    // The `n` bytes at offset `at` of the preview: written to the file or copied to memory.
    Result Put(const uint8_t* bytes, size_t n, uint64_t at);
    // One report to the caller's callback; 0 (go on) without one.
    int Report(int percent, Result error) const;
    // Closes the file; a failed preview's file is removed, and `tempPath` cleared too when
    // `clearPathOnFailure`. A memory target's `byteCount` becomes `done`. Returns `result`,
    // or the close's error when that is the first failure.
    Result Finish(Result result, uint64_t done, bool clearPathOnFailure);

  private:
    uint64_t& byteCount_;
    std::string& tempPath_;
    PreviewTarget target_;
    bool toFile_ = false;
    uint8_t* memory_ = nullptr;
    uint64_t capacity_ = 0;
    PreviewProgressFn fn_ = nullptr;
    void* userData_ = nullptr;
    int fd_ = -1;
};

}  // namespace norvale
