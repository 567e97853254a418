// Copying found items out: recovery into the destination folder and extraction for preview.
// There is no FAT to follow on a formatted volume, so a file's data is read from its first
// cluster on as one run of consecutive clusters.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "device/chunked_io.h"
#include "engine/data_paths.h"
#include "engine/item_recovery.h"
#include "engine/output_naming.h"
#include "engine/preview_output.h"
#include "fat/fast_fat_recovery.h"
#include "fat/professional_fat_recovery.h"

namespace norvale {
namespace {

constexpr uint64_t kCopyChunkBytes = 1 << 20;

}  // namespace

template <typename Sink, typename Report>
Result CProfessionalFatRecovery::CopyData(const RecoveredItem& item, uint64_t total, uint64_t& done,
                                          Sink sink, Report report) {
    done = 0;
    if (total == 0) return kOk;
    const auto clusterBytes = static_cast<uint32_t>(item.clusterBytes);
    if (item.clusterBytes <= 0 || clusterBytes > kMaxCopyClusterBytes ||
        clusterBytes % sectorSize_ != 0) {
        return kErrWriteFault;
    }
    // Cluster 0 and 1 hold no file data; a file that names them has lost its first cluster.
    const auto first = static_cast<uint32_t>(item.objectKey);
    if (first < 2) return kErrReadFault;
    const uint64_t spc = clusterBytes / sectorSize_;
    uint64_t lba = item.partitionStart + item.dataAreaStart + uint64_t{first - 2} * spc;
    const uint64_t chunkSectors = std::max<uint64_t>(spc, kCopyChunkBytes / clusterBytes * spc);
    std::vector<uint8_t> buffer(size_t(chunkSectors) * sectorSize_);
    while (done < total) {
        const uint64_t wanted =
            std::min<uint64_t>(chunkSectors, ((total - done) + sectorSize_ - 1) / sectorSize_);
        const uint64_t end = MediumEnd();
        const uint64_t count = lba < end ? std::min(wanted, end - lba) : 0;
        if (count == 0) return kErrHandleEof;  // the medium ends inside the file
        uint32_t got = 0;
        Result r =
            reader_.ReadSectors(static_cast<uint32_t>(count), buffer.data(), lba, sectorSize_, got);
        if (r == kOk && got == 0) r = kErrReadFault;
        if (r != kOk) return r;
        const auto n =
            static_cast<size_t>(std::min<uint64_t>(uint64_t{got} * sectorSize_, total - done));
        if (Result w = sink(buffer.data(), n); w != kOk) return w;
        done += n;
        lba += got;
        if (const int answer = report(done); answer != 0) return answer;
    }
    return kOk;
}

Result CProfessionalFatRecovery::RecoverItem(const RecoveredItem& item,
                                             const std::string& destination,
                                             int /*destinationFlag*/) {
    if (!IsOpen()) return openResult_;
    return RecoverStoredItem(store_.get(), item, destination,
                             std::bind_front(&CProfessionalFatRecovery::RecoverOneFile, this),
                             RecoverReporter());
}

Result CProfessionalFatRecovery::RecoverOneFile(const RecoveredItem& item, std::string path,
                                                bool& stopped) {
    uint64_t done = 0;
    return CopyToNewFile(item, path, item.fileSize, stopped,
                         [&](const ChunkSink& sink, const CopiedFn& copied) {
                             return CopyData(item, item.fileSize, done, sink, copied);
                         });
}

Result CProfessionalFatRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                                   uint8_t* memory, uint64_t& byteCount,
                                                   PreviewProgressFn fn, void* userData) {
    PreviewOutput out(item, memory, byteCount, tempPath, fn, userData);
    if (!IsOpen()) return openResult_;
    if (out.LacksMemory()) return kErrInvalidParameter;
    if (Result r = out.Open(); r != kOk) return r;
    const uint64_t size = item.fileSize;  // a copy: the record is packed
    const uint64_t total = out.Total(size);
    uint64_t done = 0;
    int percent = 0;
    Result result = CopyData(
        item, total, done, [&](const uint8_t* bytes, size_t n) { return out.Put(bytes, n, done); },
        [&](uint64_t copied) {
            percent = static_cast<int>(copied * 100 / total);
            return out.Report(percent, kOk);
        });
    if (result == kOk && percent < 100) out.Report(100, kOk);
    return out.Finish(result, done, false);
}

}  // namespace norvale
