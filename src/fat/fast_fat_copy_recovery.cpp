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
#include <functional>
#include <set>

#include "device/chunked_io.h"
#include "engine/data_paths.h"
#include "engine/item_recovery.h"
#include "engine/output_naming.h"
#include "engine/preview_output.h"
#include "engine/recovered_file_writer.h"
#include "fat/fast_fat_recovery.h"

namespace norvale {
namespace {

bool ClusterSizeCopyable(uint32_t clusterBytes) {
    return clusterBytes != 0 && clusterBytes <= kMaxCopyClusterBytes;
}

}  // namespace

Result CFastFatRecovery::ReadDataCluster(uint32_t cluster, std::vector<uint8_t>& buffer,
                                         uint32_t& got) {
    const FatGeometry& g = geometry_;
    got = 0;
    Result r = reader_.ReadSectors(g.sectorsPerCluster, buffer.data(), ClusterToLba(g, cluster),
                                   g.bytesPerSector, got);
    if (r == kOk && got == 0) r = kErrReadFault;
    return r;
}

Result CFastFatRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                     int /*destinationFlag*/) {
    if (!IsOpen()) return openResult_;
    return RecoverStoredItem(store_.get(), item, destination,
                             std::bind_front(&CFastFatRecovery::RecoverOneFile, this),
                             RecoverReporter());
}

Result CFastFatRecovery::RecoverOneFile(const RecoveredItem& item, std::string path,
                                        bool& stopped) {
    const FatGeometry& g = geometry_;
    // Every file ends with one report at 100% that carries its result.
    auto finish = [&](Result r) { return FinishFile(r, path, stopped); };
    if (!ClusterSizeCopyable(g.clusterBytes) ||
        static_cast<uint32_t>(item.clusterBytes) > kMaxCopyClusterBytes) {
        return finish(kErrWriteFault);
    }
    RecoveredFileWriter writer(path, item);
    if (Result r = writer.Open(); r != kOk) {
        (void)writer.Finish(r);
        return finish(r);
    }

    std::vector<uint8_t> buffer(item.fileSize > 0 ? g.clusterBytes : 0);
    Result result = kOk;
    uint64_t done = 0;
    if (item.fileSize > 0) {
        const uint64_t maxClusters = item.fileSize / g.clusterBytes + 1;
        for (ChainWalk walk(*table_, static_cast<uint32_t>(item.objectKey), maxClusters,
                            ChainRule::kSkipInUse);
             !walk.Done() && done < item.fileSize; walk.Next()) {
            uint32_t got = 0;
            if ((result = ReadDataCluster(walk.Cluster(), buffer, got)) != kOk) break;
            const auto n = static_cast<size_t>(
                std::min<uint64_t>(uint64_t{got} * g.bytesPerSector, item.fileSize - done));
            if ((result = writer.Write(buffer.data(), n)) != kOk) break;
            done += n;
            const auto percent = static_cast<int>(done * 100 / item.fileSize);
            if (percent >= 100) break;  // the final report follows the rename
            if (const int answer = ReportRecover(percent, kOk, path); answer != 0) {
                (void)writer.Finish(answer, true);
                stopped = true;
                return answer;
            }
        }
    }
    // The volume ran out before the stated size: the copy is incomplete, must not be reported
    // as a success and leaves no file under the real name.
    if (result == kOk && done < item.fileSize) result = kErrHandleEof;
    result = writer.Finish(result);
    path = writer.Path();
    return finish(result);
}

Result CFastFatRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                           uint8_t* memory, uint64_t& byteCount,
                                           PreviewProgressFn fn, void* userData) {
    PreviewOutput out(item, memory, byteCount, tempPath, fn, userData);
    if (!IsOpen()) return openResult_;
    const FatGeometry& g = geometry_;
    if (out.LacksMemory()) return kErrInvalidParameter;
    if (!ClusterSizeCopyable(g.clusterBytes)) return kErrWriteFault;
    if (Result r = out.Open(); r != kOk) return r;

    const uint64_t total = out.Total(item.fileSize);
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
            if ((result = ReadDataCluster(walk.Cluster(), buffer, got)) != kOk) break;
            const auto n = static_cast<size_t>(
                std::min<uint64_t>(uint64_t{got} * g.bytesPerSector, total - done));
            if ((result = out.Put(buffer.data(), n, done)) != kOk) break;
            done += n;
            percent = static_cast<int>(done * 100 / total);
            if (const int answer = out.Report(percent, kOk); answer != 0) {
                result = answer;
                break;
            }
        }
    }
    if (result == kOk && percent < 100) out.Report(100, kOk);
    return out.Finish(result, done, false);
}

}  // namespace norvale
