#include "app/source_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "app/format.h"
#include "device/disk_table.h"

namespace norvale {
namespace {

// Stretches outside every partition that the full scan reads besides the partitions: anything
// shorter cannot hold a file worth carving.
constexpr uint64_t kMinStretchBytes = 32 * 1024;

bool IsVolume(const PartitionRecord& r) {
    return r.kind == PartitionRecord::Kind::Partition;
}

// The stretches of the medium that no partition covers, sector 0 (the table) left out: the
// listed gaps and the smaller ones the listing leaves out, so that a full scan reads every
// sector a file could lie in.
std::vector<PartitionRecord> UncoveredStretches(const DiskLayout& layout) {
    std::vector<std::pair<uint64_t, uint64_t>> used;  // [start, end) of each partition
    for (const PartitionRecord& r : layout.records) {
        if (IsVolume(r)) used.emplace_back(r.startLba, r.startLba + r.sectorCount);
    }
    std::sort(used.begin(), used.end());
    const uint32_t sector = layout.bytesPerSector ? layout.bytesPerSector : 512;
    const uint64_t total = layout.sizeBytes / sector;
    const uint64_t minSectors = std::max<uint64_t>(1, kMinStretchBytes / sector);
    const PartitionRecord base = layout.records.empty() ? PartitionRecord{} : layout.records.front();
    std::vector<PartitionRecord> out;
    auto add = [&](uint64_t start, uint64_t end) {
        if (end <= start || end - start < minSectors) return;
        PartitionRecord gap;
        gap.kind = PartitionRecord::Kind::Unallocated;
        gap.diskNumber = base.diskNumber;
        gap.diskPath = base.diskPath;
        gap.bytesPerSector = sector;
        gap.removable = base.removable;
        gap.startLba = start;
        gap.sectorCount = end - start;
        gap.totalBytes = gap.freeBytes = gap.sectorCount * sector;
        out.push_back(std::move(gap));
    };
    uint64_t previousEnd = 1;
    for (const auto& [start, end] : used) {
        if (start > previousEnd) add(previousEnd, std::min(start, total));
        previousEnd = std::max(previousEnd, end);
    }
    add(previousEnd, total);
    return out;
}

std::string NumberList(const std::vector<PartitionRecord>& records) {
    std::string list;
    for (const PartitionRecord& r : records) {
        if (!IsVolume(r) || r.partitionNumber <= 0) continue;
        if (!list.empty()) list += ", ";
        list += std::to_string(r.partitionNumber);
    }
    return list.empty() ? "none" : list;
}

SourceInfo SourceOf(const PartitionRecord& record) {
    SourceInfo s;
    s.partition = record;
    if (s.partition->driveLetter == kNoDriveLetter) s.partition->driveLetter = NextImageTag();
    return s;
}

// One source for the whole of `path`: its enumerated record for a listed device, else the file
// (or unlisted device) read as an image, as a medium without partition table always was.
SourceInfo WholeSource(const std::string& path, bool isDevice) {
    SourceInfo s;
    PartitionRecord record;
    if (isDevice && FindRecordForDevicePath(path, record) == kOk) {
        s.partition = record;
    } else {
        s.imagePath = path;
        s.imageTag = NextImageTag();
    }
    return s;
}

}  // namespace

std::string PartitionDisplayName(const PartitionRecord& record) {
    if (record.kind != PartitionRecord::Kind::Partition) {
        const uint64_t sector = record.bytesPerSector ? record.bytesPerSector : 512;
        return "Unallocated space at " + FormatSize(int64_t(record.startLba * sector)) + " (" +
               FormatSize(int64_t(record.sectorCount * sector)) + ")";
    }
    std::string name =
        record.partitionNumber > 0 ? "Partition " + std::to_string(record.partitionNumber)
                                   : std::string("Volume");
    std::string detail = record.volumeLabel;
    if (!record.fsName.empty()) detail += (detail.empty() ? "" : ", ") + record.fsName;
    return detail.empty() ? name : name + " (" + detail + ")";
}

std::string PartitionFolderName(const PartitionRecord& record) {
    std::string name = PartitionDisplayName(record);
    for (char& c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
    }
    while (!name.empty() && name.front() == '.') name.front() = '_';
    return name;
}

Result PlanSources(const std::string& path, ScanMode mode, int partition, SourcePlan& out) {
    out = SourcePlan{};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return FromErrno(errno);
    const bool isDevice = S_ISBLK(st.st_mode);

    // A partition device is one volume whatever the disk around it holds.
    PartitionRecord record;
    if (isDevice && FindRecordForDevicePath(path, record) == kOk && IsVolume(record) &&
        record.partitionNumber > 0) {
        if (partition > 0) {
            out.notes.push_back("this is a partition, not a disk: --partition picks one "
                                "partition of a disk or of a whole-disk image.");
            return kErrInvalidParameter;
        }
        SourceInfo s;
        s.partition = record;
        out.sources.push_back(std::move(s));
        return kOk;
    }

    if (Result r = ReadDiskLayout(path, out.layout); r != kOk) return r;
    out.notes = out.layout.problems;
    if (out.layout.scheme.empty()) {
        if (partition > 0) {
            out.notes.push_back("there is no partition table, so there is no partition " +
                                std::to_string(partition) + ": scan it without --partition.");
            return kErrInvalidParameter;
        }
        out.sources.push_back(WholeSource(path, isDevice));
        return kOk;
    }

    if (partition > 0) {
        for (const PartitionRecord& r : out.layout.records) {
            if (IsVolume(r) && r.partitionNumber == partition) {
                out.sources.push_back(SourceOf(r));
                out.partitionNames.push_back(PartitionDisplayName(r));
                return kOk;
            }
        }
        out.notes.push_back("there is no partition " + std::to_string(partition) +
                            "; its partitions are " + NumberList(out.layout.records) + ".");
        return kErrFileNotFound;
    }

    if (mode == ScanMode::kCarve) {
        out.sources.push_back(WholeSource(path, isDevice));
        return kOk;
    }
    std::vector<PartitionRecord> chosen;
    for (const PartitionRecord& r : out.layout.records) {
        if (IsVolume(r)) chosen.push_back(r);
    }
    if (mode == ScanMode::kFull) {
        for (PartitionRecord& gap : UncoveredStretches(out.layout)) chosen.push_back(gap);
        std::stable_sort(chosen.begin(), chosen.end(),
                         [](const PartitionRecord& a, const PartitionRecord& b) {
                             return a.startLba < b.startLba;
                         });
    }
    if (chosen.empty()) {
        // A table without a single usable entry: the medium is still read as a whole.
        out.sources.push_back(WholeSource(path, isDevice));
        return kOk;
    }
    out.isDisk = true;
    for (const PartitionRecord& r : chosen) {
        out.sources.push_back(SourceOf(r));
        out.partitionNames.push_back(PartitionDisplayName(r));
    }
    return kOk;
}

}  // namespace norvale
