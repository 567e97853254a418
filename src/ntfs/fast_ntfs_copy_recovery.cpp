// Copying found items out of the volume: recovery into the destination folder and extraction
// for preview, through the copy routines both NTFS engines share.

#include <functional>

#include "engine/data_paths.h"
#include "engine/item_recovery.h"
#include "ntfs/content_copy.h"
#include "ntfs/fast_ntfs_recovery.h"

namespace norvale {

Result CFastNtfsRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                      int /*destinationFlag*/) {
    if (!IsOpen()) return openResult_;
    return RecoverStoredItem(store_.get(), item, destination,
                             std::bind_front(&CFastNtfsRecovery::RecoverOneFile, this),
                             RecoverReporter());
}

Result CFastNtfsRecovery::RecoverOneFile(const RecoveredItem& item, std::string path,
                                         bool& stopped) {
    return CopyFoundFile(
        item, [&](AttributeContent& content) { return LoadContent(item, content); },
        std::move(path), RecoverReporter(), stopped);
}

Result CFastNtfsRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                            uint8_t* memory, uint64_t& byteCount,
                                            PreviewProgressFn fn, void* userData) {
    if (!IsOpen()) {
        byteCount = 0;
        tempPath.clear();
        return openResult_;
    }
    return ExtractFoundFile(
        item, [&](AttributeContent& content) { return LoadContent(item, content); }, tempPath,
        memory, byteCount, fn, userData);
}

}  // namespace norvale
