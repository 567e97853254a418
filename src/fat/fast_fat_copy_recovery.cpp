// Copying found items out of the volume: recovery into the destination folder and extraction
// for preview. Data is read a cluster at a time from the item's first cluster on, following the
// chain rule of the FAT table (a cleared chain runs on contiguously).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <set>

#include "device/chunked_io.h"
#include "engine/data_paths.h"
#include "engine/folder_recovery.h"
#include "engine/output_naming.h"
#include "engine/preview_target.h"
#include "fat/fast_fat_recovery.h"

namespace norvale {
namespace {

bool ClusterSizeCopyable(uint32_t clusterBytes) {
    return clusterBytes != 0 && clusterBytes <= kMaxCopyClusterBytes;
}

}  // namespace

Result CFastFatRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
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

Result CFastFatRecovery::RecoverFolder(const RecoveredItem& folder, const std::string& destination,
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

Result CFastFatRecovery::RecoverOneFile(const RecoveredItem& item, std::string path,
                                        bool& stopped) {
    const FatGeometry& g = geometry_;
    // Every file ends with one report at 100% that carries its result.
    auto finish = [&](Result r) -> Result {
        if (const int answer = ReportRecover(100, r, path); answer != 0) {
            stopped = true;
            return answer;
        }
        return r;
    };
    if (!ClusterSizeCopyable(g.clusterBytes) ||
        static_cast<uint32_t>(item.clusterBytes) > kMaxCopyClusterBytes) {
        return finish(kErrWriteFault);
    }
    int fd = -1;
    if (Result r = CreateNewFile(path, fd); r != kOk) return finish(r);
    if (item.fileSize == 0) {
        ::close(fd);
        return finish(kOk);
    }

    std::vector<uint8_t> buffer(g.clusterBytes);
    Result result = kOk;
    uint64_t done = 0;
    const uint64_t maxClusters = item.fileSize / g.clusterBytes + 1;
    for (ChainWalk walk(*table_, static_cast<uint32_t>(item.objectKey), maxClusters,
                        ChainRule::kSkipInUse);
         !walk.Done() && done < item.fileSize; walk.Next()) {
        uint32_t got = 0;
        result = reader_.ReadSectors(g.sectorsPerCluster, buffer.data(),
                                     ClusterToLba(g, walk.Cluster()), g.bytesPerSector, got);
        if (result == kOk && got == 0) result = kErrReadFault;
        if (result != kOk) break;
        const auto n = static_cast<size_t>(
            std::min<uint64_t>(uint64_t{got} * g.bytesPerSector, item.fileSize - done));
        // A file that cannot be written whole has failed; its partial output is left as it is.
        if ((result = WriteAllBytes(fd, buffer.data(), n)) != kOk) break;
        done += n;
        const auto percent = static_cast<int>(done * 100 / item.fileSize);
        if (percent >= 100) break;  // the final report follows the close
        if (const int answer = ReportRecover(percent, kOk, path); answer != 0) {
            ::close(fd);
            stopped = true;
            return answer;
        }
    }
    if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    // The volume ran out before the stated size: the bytes that exist are kept, but the copy
    // is incomplete and must not be reported as a success.
    if (result == kOk && done < item.fileSize) result = kErrHandleEof;
    return finish(result);
}

Result CFastFatRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                           uint8_t* memory, uint64_t& byteCount,
                                           PreviewProgressFn fn, void* userData) {
    const uint64_t capacity = byteCount;
    byteCount = 0;
    tempPath.clear();
    if (!IsOpen()) return openResult_;
    const FatGeometry& g = geometry_;
    auto report = [&](int percent, Result r) { return fn ? fn(userData, percent, r) : 0; };

    const PreviewTarget target = ChoosePreviewTarget(item.Name());
    const bool toFile = target.kind != PreviewTargetKind::kMemory;
    if (!toFile && capacity > 0 && memory == nullptr) return kErrInvalidParameter;
    if (!ClusterSizeCopyable(g.clusterBytes)) return kErrWriteFault;
    int fd = -1;
    if (toFile) {
        if (Result r = CreatePreviewFile(target.path, fd); r != kOk) {
            if (r > 0) report(100, r);
            return r;
        }
        tempPath = target.path;
    }

    const uint64_t total = toFile ? item.fileSize : std::min(uint64_t{item.fileSize}, capacity);
    Result result = kOk;
    uint64_t done = 0;
    int percent = 0;
    if (total > 0) {
        std::vector<uint8_t> buffer(g.clusterBytes);
        const uint64_t maxClusters = total / g.clusterBytes + 1;
        for (ChainWalk walk(*table_, static_cast<uint32_t>(item.objectKey), maxClusters,
                            ChainRule::kSkipInUse);
             !walk.Done() && done < total; walk.Next()) {
            uint32_t got = 0;
            result = reader_.ReadSectors(g.sectorsPerCluster, buffer.data(),
                                         ClusterToLba(g, walk.Cluster()), g.bytesPerSector, got);
            if (result == kOk && got == 0) result = kErrReadFault;
            if (result != kOk) break;
            const auto n = static_cast<size_t>(
                std::min<uint64_t>(uint64_t{got} * g.bytesPerSector, total - done));
            if (toFile) {
                if ((result = WriteAllBytes(fd, buffer.data(), n)) != kOk) break;
            } else {
                std::memcpy(memory + done, buffer.data(), n);
            }
            done += n;
            percent = static_cast<int>(done * 100 / total);
            if (const int answer = report(percent, kOk); answer != 0) {
                result = answer;
                break;
            }
        }
    }
    if (result == kOk && percent < 100) report(100, kOk);
    if (fd >= 0) {
        if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
        if (result != kOk) ::unlink(target.path.c_str());
    }
    if (!toFile) byteCount = done;
    return result;
}

}  // namespace norvale
