// Copying found items out: recovery into the destination folder and extraction for preview.
// A file's clusters follow each other from its first one (a formatted card's FAT is new and
// empty), unless the live volume's FAT still describes the file's whole chain. Its entry set is
// read again for what the record has no room for: ValidDataLength (bytes past it read as zeros)
// and the NoFatChain flag.

#include <algorithm>
#include <functional>

#include "engine/item_recovery.h"
#include "engine/preview_output.h"
#include "exfat/entry_set.h"
#include "exfat/fat_chain.h"
#include "exfat/professional_exfat_recovery.h"

namespace norvale {
namespace {

constexpr uint64_t kCopyChunkBytes = 1 << 20;
constexpr uint32_t kMaxCopyClusterBytes = 32u << 20;
// The sectors an entry set that starts in one sector may reach: a file entry, a stream entry
// and 17 name entries.
constexpr uint32_t kSetReadSectors = 2;

}  // namespace

Result CProfessionalExfatRecovery::PlanData(const RecoveredItem& item, std::vector<Extent>& extents,
                                            uint64_t& validBytes) {
    extents.clear();
    const uint64_t size = item.fileSize;
    validBytes = size;
    if (size == 0) return kOk;
    const auto clusterBytes = static_cast<uint32_t>(item.clusterBytes);
    if (item.clusterBytes <= 0 || clusterBytes > kMaxCopyClusterBytes ||
        clusterBytes % sectorSize_ != 0) {
        return kErrWriteFault;
    }
    const auto first = static_cast<uint32_t>(item.objectKey);
    if (first < 2) return kErrReadFault;
    const uint64_t spc = clusterBytes / sectorSize_;
    const uint64_t heap = item.partitionStart + item.dataAreaStart;
    const uint64_t clusters = (size + clusterBytes - 1) / clusterBytes;

    // The entry set at the record's sector, found again by its first cluster, size and name.
    bool noFatChain = false;
    std::vector<uint8_t> bytes;
    const uint64_t end = reader_.TotalSectors();
    const uint64_t location = item.location;
    const auto count = static_cast<uint32_t>(
        location < end ? std::min<uint64_t>(kSetReadSectors, end - location) : 0);
    if (count != 0 && ReadSectors(location, count, bytes)) {
        for (size_t at = 0; at + kExfatEntryBytes <= sectorSize_; at += kExfatEntryBytes) {
            ExfatFileEntry e;
            size_t used = 1;
            if (DecodeEntrySet(std::span<const uint8_t>(bytes).subspan(at), e, used) !=
                EntrySetStatus::kOk) {
                continue;
            }
            if (e.firstCluster != first || e.dataLength != size ||
                FitItemName(e.name) != item.Name()) {
                continue;
            }
            validBytes = std::min(e.validDataLength, size);
            noFatChain = e.noFatChain;
            break;
        }
    }

    if (const KnownFat* known = FatFor(heap, static_cast<uint32_t>(spc)); known && !noFatChain) {
        ExfatFatReader fat(reader_, known->boot, known->volumeStartByte, known->volumeBytes);
        std::vector<uint32_t> chain;
        if (fat.Walk(first, clusters, chain) == ExfatChainEnd::kEndOfChain &&
            chain.size() == clusters) {
            for (const uint32_t c : chain) {
                const uint64_t lba = heap + uint64_t{c - 2} * spc;
                if (!extents.empty() && extents.back().lba + extents.back().sectors == lba) {
                    extents.back().sectors += spc;
                } else {
                    extents.push_back(Extent{lba, spc});
                }
            }
            return kOk;
        }
    }
    extents.push_back(Extent{heap + uint64_t{first - 2} * spc, clusters * spc});
    return kOk;
}

template <typename Sink, typename Report>
Result CProfessionalExfatRecovery::CopyData(const RecoveredItem& item, uint64_t total,
                                            uint64_t& done, Sink sink, Report report) {
    done = 0;
    if (total == 0) return kOk;
    std::vector<Extent> extents;
    uint64_t validBytes = 0;
    if (Result r = PlanData(item, extents, validBytes); r != kOk) return r;
    const uint64_t chunkSectors = kCopyChunkBytes / sectorSize_;
    std::vector<uint8_t> buffer(size_t(chunkSectors) * sectorSize_);
    size_t e = 0;
    uint64_t inExtent = 0;  // sectors of extents[e] already read
    while (done < total) {
        const uint64_t wanted =
            std::min<uint64_t>(chunkSectors, ((total - done) + sectorSize_ - 1) / sectorSize_);
        size_t n = 0;
        if (done >= validBytes) {
            // Past ValidDataLength the file reads as zeros: nothing of the medium is needed.
            n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), total - done));
            std::fill(buffer.begin(), buffer.begin() + std::ptrdiff_t(n), 0);
        } else {
            while (e < extents.size() && inExtent >= extents[e].sectors) {
                ++e;
                inExtent = 0;
            }
            if (e == extents.size()) return kErrHandleEof;
            const uint64_t lba = extents[e].lba + inExtent;
            const uint64_t end = reader_.TotalSectors();
            const uint64_t count =
                lba < end ? std::min({wanted, extents[e].sectors - inExtent, end - lba}) : 0;
            if (count == 0) return kErrHandleEof;  // the medium ends inside the file
            uint32_t got = 0;
            Result r = reader_.ReadSectors(static_cast<uint32_t>(count), buffer.data(), lba,
                                           sectorSize_, got);
            if (r == kOk && got == 0) r = kErrReadFault;
            if (r != kOk) return r;
            inExtent += got;
            n = static_cast<size_t>(
                std::min<uint64_t>({uint64_t{got} * sectorSize_, total - done}));
            if (done + n > validBytes) {
                const auto valid = static_cast<size_t>(validBytes - done);
                std::fill(buffer.begin() + std::ptrdiff_t(valid),
                          buffer.begin() + std::ptrdiff_t(n), 0);
            }
        }
        if (Result w = sink(buffer.data(), n); w != kOk) return w;
        done += n;
        if (const int answer = report(done); answer != 0) return answer;
    }
    return kOk;
}

Result CProfessionalExfatRecovery::RecoverItem(const RecoveredItem& item,
                                               const std::string& destination,
                                               int /*destinationFlag*/) {
    if (!IsOpen()) return openResult_;
    return RecoverStoredItem(store_.get(), item, destination,
                             std::bind_front(&CProfessionalExfatRecovery::RecoverOneFile, this),
                             RecoverReporter());
}

Result CProfessionalExfatRecovery::RecoverOneFile(const RecoveredItem& item, std::string path,
                                                  bool& stopped) {
    uint64_t done = 0;
    return CopyToNewFile(item, path, item.fileSize, stopped,
                         [&](const ChunkSink& sink, const CopiedFn& copied) {
                             return CopyData(item, item.fileSize, done, sink, copied);
                         });
}

Result CProfessionalExfatRecovery::ExtractForPreview(const RecoveredItem& item,
                                                     std::string& tempPath, uint8_t* memory,
                                                     uint64_t& byteCount, PreviewProgressFn fn,
                                                     void* userData) {
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
            percent = total != 0 ? static_cast<int>(copied * 100 / total) : 100;
            return out.Report(percent, kOk);
        });
    if (result == kOk && percent < 100) out.Report(100, kOk);
    return out.Finish(result, done, false);
}

}  // namespace norvale
