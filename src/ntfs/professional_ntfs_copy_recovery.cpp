// Copying found items out, and the run loader the coordinator's merged listing uses. An item
// carries all this engine knows of its volume: the record's LBA (`location`), the volume's
// start (`partitionStart`) and its cluster size; the content is read through a volume shaped
// from them.

#include "engine/data_paths.h"
#include "engine/folder_recovery.h"
#include "ntfs/content_copy.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace norvale {
namespace {

constexpr int32_t kMaxClusterBytes = 2 << 20;

}  // namespace

Result CProfessionalNtfsRecovery::LoadDataRuns(uint64_t lba, std::vector<DataRun>& runs) {
    std::vector<uint8_t> record;
    if (Result r = ReadRecordAt(lba, record); r != kOk) return r;
    AttributeRef data;
    if (Result r = FirstDataAttribute(record, data); r != kOk) return r;
    if (!data.nonResident) return kErrUnsupportedLayout;
    // A list that ends badly still gives the runs before the damage; a copy that comes up
    // short of the file's size is reported as such by the copy.
    (void)DecodeRunList(data.bytes, 0, runs);
    return kOk;
}

Result CProfessionalNtfsRecovery::FirstDataSector(const RecoveredItem& item, uint64_t& lba) {
    const int32_t clusterBytes = item.clusterBytes;
    if (clusterBytes <= 0 || clusterBytes % int32_t(bytesPerSector_) != 0) {
        return kErrInvalidParameter;
    }
    std::vector<DataRun> runs;
    if (Result r = LoadDataRuns(item.location, runs); r != kOk) return r;
    if (runs.empty() || runs.front().sparse) return kErrUnsupportedLayout;
    const uint64_t spc = uint64_t(clusterBytes) / bytesPerSector_;
    uint64_t sector = 0;
    if (__builtin_mul_overflow(runs.front().lcn, spc, &sector) ||
        __builtin_add_overflow(sector, uint64_t{item.partitionStart}, &sector)) {
        return kErrInvalidParameter;
    }
    lba = sector;
    return kOk;
}

Result CProfessionalNtfsRecovery::LoadContent(const RecoveredItem& item,
                                              AttributeContent& content) {
    const int32_t clusterBytes = item.clusterBytes;
    const uint64_t volumeStart = item.partitionStart;
    const uint64_t total = reader_.TotalSectors();
    if (clusterBytes <= 0 || clusterBytes > kMaxClusterBytes ||
        (clusterBytes & (clusterBytes - 1)) != 0 || clusterBytes % int32_t(bytesPerSector_) != 0 ||
        volumeStart >= total) {
        return kErrInvalidParameter;
    }
    std::vector<uint8_t> record;
    if (Result r = ReadRecordAt(item.location, record); r != kOk) return r;
    AttributeRef attr;
    if (Result r = FirstDataAttribute(record, attr); r != kOk) return r;

    // The volume as the item knows it: from its start to the end of the source.
    NtfsGeometry g;
    g.partitionStartLba = volumeStart;
    g.partitionSectors = total - volumeStart;
    g.bytesPerSector = bytesPerSector_;
    g.clusterBytes = static_cast<uint32_t>(clusterBytes);
    g.sectorsPerCluster = g.clusterBytes / bytesPerSector_;
    g.totalSectors = g.partitionSectors;
    g.totalClusters = g.partitionSectors / g.sectorsPerCluster;
    g.recordBytes = static_cast<uint32_t>(record.size());
    g.sectorsPerRecord = g.recordBytes / bytesPerSector_;
    itemVolume_ = std::make_unique<NtfsVolume>(reader_);
    itemVolume_->SetGeometry(g);

    AttributeData data;
    if (!TakeAttribute(attr, g.totalClusters, data)) return kErrInvalidParameter;
    NonResidentHeader h;
    const uint16_t unitShift = DecodeNonResident(attr, h) ? h.compressionUnit : 0;
    return content.Init(*itemVolume_, std::move(data), unitShift);
}

Result CProfessionalNtfsRecovery::RecoverItem(const RecoveredItem& item,
                                              const std::string& destination,
                                              int /*destinationFlag*/) {
    if (!IsOpen()) return openResult_;
    auto report = [this](int percent, Result error, const std::string& path) {
        return ReportRecover(percent, error, path);
    };
    auto copy = [&](const RecoveredItem& file, const std::string& path, bool& stopped) {
        return CopyFoundFile(
            file, [&](AttributeContent& content) { return LoadContent(file, content); }, path,
            report, stopped);
    };
    bool stopped = false;
    if (item.isFolder) {
        return RecoverFolderTree(store_.get(), item, destination, copy, report, stopped);
    }
    const size_t slash = destination.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (Result r = MakeFolders(destination.substr(0, slash)); r != kOk) return r;
    }
    return copy(item, destination, stopped);
}

Result CProfessionalNtfsRecovery::ExtractForPreview(const RecoveredItem& item,
                                                    std::string& tempPath, uint8_t* memory,
                                                    uint64_t& byteCount, PreviewProgressFn fn,
                                                    void* userData) {
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
