// Copying found items out of the volume: recovery into the destination folder and extraction
// for preview, through the copy routines both NTFS engines share.

#include "engine/data_paths.h"
#include "engine/folder_recovery.h"
#include "ntfs/content_copy.h"
#include "ntfs/fast_ntfs_recovery.h"

namespace norvale {

Result CFastNtfsRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                      int /*destinationFlag*/) {
    if (!IsOpen()) return openResult_;
    bool stopped = false;
    if (item.isFolder) return RecoverFolder(item, destination, stopped);
    const size_t slash = destination.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (Result r = MakeFolders(destination.substr(0, slash)); r != kOk) return r;
    }
    return RecoverOneFile(item, destination, stopped);
}

Result CFastNtfsRecovery::RecoverFolder(const RecoveredItem& folder, const std::string& destination,
                                        bool& stopped) {
    return RecoverFolderTree(
        store_.get(), folder, destination,
        [this](const RecoveredItem& file, const std::string& path, bool& stop) {
            return RecoverOneFile(file, path, stop);
        },
        [this](int percent, Result error, const std::string& path) {
            return ReportRecover(percent, error, path);
        },
        stopped);
}

Result CFastNtfsRecovery::RecoverOneFile(const RecoveredItem& item, std::string path,
                                         bool& stopped) {
    return CopyFoundFile(
        item, [&](AttributeContent& content) { return LoadContent(item, content); },
        std::move(path),
        [this](int percent, Result error, const std::string& at) {
            return ReportRecover(percent, error, at);
        },
        stopped);
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
