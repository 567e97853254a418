#include "engine/preview_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/chunked_io.h"

namespace norvale {

PreviewOutput::PreviewOutput(const RecoveredItem& item, uint8_t* memory, uint64_t& byteCount,
                             std::string& tempPath, PreviewProgressFn fn, void* userData)
    : byteCount_(byteCount),
      tempPath_(tempPath),
      target_(ChoosePreviewTarget(item.Name())),
      toFile_(target_.kind != PreviewTargetKind::kMemory),
      memory_(memory),
      capacity_(byteCount),
      fn_(fn),
      userData_(userData) {
    byteCount = 0;
    tempPath.clear();
}

PreviewOutput::~PreviewOutput() {
    if (fd_ >= 0) ::close(fd_);
}

uint64_t PreviewOutput::Total(uint64_t fileSize) const {
    return toFile_ ? fileSize : std::min(fileSize, capacity_);
}

Result PreviewOutput::Open() {
    if (!toFile_) return kOk;
    if (Result r = CreatePreviewFile(target_.path, fd_); r != kOk) {
        fd_ = -1;
        if (r > 0) Report(100, r);
        return r;
    }
    tempPath_ = target_.path;
    return kOk;
}

Result PreviewOutput::Put(const uint8_t* bytes, size_t n, uint64_t at) {
    if (toFile_) return WriteAllBytes(fd_, bytes, n);
    std::memcpy(memory_ + at, bytes, n);
    return kOk;
}

int PreviewOutput::Report(int percent, Result error) const {
    return fn_ ? fn_(userData_, percent, error) : 0;
}

Result PreviewOutput::Finish(Result result, uint64_t done, bool clearPathOnFailure) {
    if (fd_ >= 0) {
        if (::close(fd_) != 0 && result == kOk) result = FromErrno(errno);
        fd_ = -1;
        if (result != kOk) {
            ::unlink(target_.path.c_str());
            if (clearPathOnFailure) tempPath_.clear();
        }
    }
    if (!toFile_) byteCount_ = done;
    return result;
}

}  // namespace norvale
