// Copying found items out: recovery into the destination folder and extraction for preview.
// There is no FAT to follow on a formatted volume, so a file's data is read from its first
// cluster on as one run of consecutive clusters.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/chunked_io.h"
#include "engine/data_paths.h"
#include "engine/folder_recovery.h"
#include "engine/output_naming.h"
#include "engine/preview_target.h"
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
    bool stopped = false;
    if (item.isFolder) {
        return RecoverFolderTree(
            store_.get(), item, destination,
            [this](const RecoveredItem& file, const std::string& path, bool& stop) {
                return RecoverOneFile(file, path, stop);
            },
            [this](int percent, Result error, const std::string& path) {
                return ReportRecover(percent, error, path);
            },
            stopped);
    }
    const size_t slash = destination.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (Result r = MakeFolders(destination.substr(0, slash)); r != kOk) return r;
    }
    return RecoverOneFile(item, destination, stopped);
}

Result CProfessionalFatRecovery::RecoverOneFile(const RecoveredItem& item, std::string path,
                                                bool& stopped) {
    // Every file ends with one report at 100% that carries its result.
    auto finish = [&](Result r) -> Result {
        if (const int answer = ReportRecover(100, r, path); answer != 0) {
            stopped = true;
            return answer;
        }
        return r;
    };
    int fd = -1;
    if (Result r = CreateNewFile(path, fd); r != kOk) return finish(r);
    uint64_t done = 0;
    bool askedToStop = false;
    Result result = CopyData(
        item, item.fileSize, done,
        [&](const uint8_t* bytes, size_t n) { return WriteAllBytes(fd, bytes, n); },
        [&](uint64_t written) {
            const auto percent = static_cast<int>(written * 100 / item.fileSize);
            if (percent >= 100) return 0;  // the final report follows the close
            const int answer = ReportRecover(percent, kOk, path);
            askedToStop = answer != 0;
            return answer;
        });
    if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    if (askedToStop) {
        stopped = true;
        return result;
    }
    return finish(result);
}

Result CProfessionalFatRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                                   uint8_t* memory, uint64_t& byteCount,
                                                   PreviewProgressFn fn, void* userData) {
    const uint64_t capacity = byteCount;
    byteCount = 0;
    tempPath.clear();
    if (!IsOpen()) return openResult_;
    auto report = [&](int percent, Result r) { return fn ? fn(userData, percent, r) : 0; };

    const PreviewTarget target = ChoosePreviewTarget(item.Name());
    const bool toFile = target.kind != PreviewTargetKind::kMemory;
    if (!toFile && capacity > 0 && memory == nullptr) return kErrInvalidParameter;
    int fd = -1;
    if (toFile) {
        if (Result r = CreatePreviewFile(target.path, fd); r != kOk) {
            if (r > 0) report(100, r);
            return r;
        }
        tempPath = target.path;
    }
    const uint64_t size = item.fileSize;  // a copy: the record is packed
    const uint64_t total = toFile ? size : std::min(size, capacity);
    uint64_t done = 0;
    int percent = 0;
    Result result = CopyData(
        item, total, done,
        [&](const uint8_t* bytes, size_t n) {
            if (toFile) return WriteAllBytes(fd, bytes, n);
            std::memcpy(memory + done, bytes, n);
            return kOk;
        },
        [&](uint64_t copied) {
            percent = static_cast<int>(copied * 100 / total);
            return report(percent, kOk);
        });
    if (result == kOk && percent < 100) report(100, kOk);
    if (fd >= 0) {
        if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
        if (result != kOk) ::unlink(target.path.c_str());
    }
    if (!toFile) byteCount = done;
    return result;
}

}  // namespace norvale
