// Copying found items out of an exFAT volume: recovery into the destination folder and
// extraction for preview, both reading through CopyContent.

#include <functional>

#include "engine/item_recovery.h"
#include "engine/preview_output.h"
#include "exfat/fast_exfat_recovery.h"

namespace norvale {

Result CFastExfatRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                       int /*destinationFlag*/) {
    if (!IsOpen()) return openResult_;
    return RecoverStoredItem(store_.get(), item, destination,
                             std::bind_front(&CFastExfatRecovery::RecoverOneFile, this),
                             RecoverReporter());
}

Result CFastExfatRecovery::RecoverOneFile(const RecoveredItem& item, std::string path,
                                          bool& stopped) {
    const uint64_t size = item.fileSize;  // a copy: the record is packed
    uint64_t done = 0;
    return CopyToNewFile(item, path, size, stopped,
                         [&](const ChunkSink& sink, const CopiedFn& copied) {
                             return CopyContent(item, size, done, sink, copied);
                         });
}

Result CFastExfatRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                             uint8_t* memory, uint64_t& byteCount,
                                             PreviewProgressFn fn, void* userData) {
    PreviewOutput out(item, memory, byteCount, tempPath, fn, userData);
    if (!IsOpen()) return openResult_;
    if (out.LacksMemory()) return kErrInvalidParameter;
    if (Result r = out.Open(); r != kOk) return r;
    const uint64_t size = item.fileSize;
    const uint64_t total = out.Total(size);
    uint64_t done = 0;
    int percent = 0;
    Result result = CopyContent(
        item, total, done, [&](const uint8_t* bytes, size_t n) { return out.Put(bytes, n, done); },
        [&](uint64_t copied) {
            percent = static_cast<int>(copied * 100 / total);
            return out.Report(percent, kOk);
        });
    if (result == kOk && percent < 100) out.Report(100, kOk);
    return out.Finish(result, done, false);
}

}  // namespace norvale
