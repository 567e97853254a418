#include "device/disk_enumerator.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <memory>

#include "device/disk_probe.h"
#include "device/partition_table.h"
#include "device/sector_source.h"

namespace norvale {

namespace {

using detail::ReadSysfsLine;
using detail::ReadSysfsNumber;

// Disks report no usable cylinder geometry on Linux; the classic translation of 255 heads and
// 63 sectors per track stands in, so a gap is listed when it is larger than one such cylinder
// and alignment padding (the first 2048 sectors) is not.
constexpr uint64_t kCylinderSectors = 255 * 63;
constexpr uint64_t kFirstTrackEnd = 63;

struct DiskShape {
    uint32_t bytesPerSector = 512;
    uint64_t sectors = 0;  // in the disk's logical sectors
};

DiskShape ShapeOf(const SystemPaths& paths, const std::string& kernelName) {
    const std::string dir = paths.sysBlock + "/" + kernelName;
    DiskShape shape;
    auto logical = ReadSysfsNumber(dir + "/queue/logical_block_size");
    if (logical && *logical >= 512 && *logical <= 65536 && (*logical & (*logical - 1)) == 0) {
        shape.bytesPerSector = static_cast<uint32_t>(*logical);
    }
    // sysfs counts sizes and starts in 512-byte units whatever the logical sector size.
    shape.sectors = ReadSysfsNumber(dir + "/size").value_or(0) / (shape.bytesPerSector / 512);
    return shape;
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// Partition folders of a disk in sysfs: "<disk>/<disk>1", "<disk>/<disk>p1", each with its
// start and size.
struct SysfsPartition {
    std::string name;
    int number = -1;
    uint64_t start512 = 0;
    uint64_t size512 = 0;
};

int TrailingNumber(const std::string& s) {
    size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
    if (i == s.size() || s.size() - i > 6) return -1;
    return std::stoi(s.substr(i));
}

std::vector<SysfsPartition> ListSysfsPartitions(const std::string& diskDir,
                                                const std::string& kernelName) {
    std::vector<SysfsPartition> parts;
    DIR* dir = ::opendir(diskDir.c_str());
    if (!dir) return parts;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() <= kernelName.size() ||
            name.compare(0, kernelName.size(), kernelName) != 0) {
            continue;
        }
        const std::string partDir = diskDir + "/" + name;
        auto start = ReadSysfsNumber(partDir + "/start");
        auto size = ReadSysfsNumber(partDir + "/size");
        if (!start || !size) continue;
        SysfsPartition p;
        p.name = name;
        p.number = static_cast<int>(
            ReadSysfsNumber(partDir + "/partition").value_or(uint64_t(TrailingNumber(name))));
        p.start512 = *start;
        p.size512 = *size;
        parts.push_back(std::move(p));
    }
    ::closedir(dir);
    std::sort(parts.begin(), parts.end(),
              [](const SysfsPartition& a, const SysfsPartition& b) { return a.number < b.number; });
    return parts;
}

// File system, label, mount point and space of the volume on device `devPath`, whose sysfs
// folder is `sysDir`.
void FillVolume(PartitionRecord& rec, const detail::FileSystemProbe& probe,
                const std::string& devPath, const std::string& sysDir, uint8_t mbrType,
                const std::map<std::string, std::string>& mounts) {
    detail::NameFileSystem(probe, mbrType, rec.fsName, rec.fsCode);
    rec.fsVersion = probe.version;
    rec.volumeLabel = probe.label;
    rec.volumeRoot = devPath;
    rec.deviceId = ReadSysfsLine(sysDir + "/dev").value_or("");
    if (auto it = mounts.find(rec.deviceId); !rec.deviceId.empty() && it != mounts.end()) {
        rec.mountPoint = it->second;
    }
    struct statvfs vfs {};
    if (!rec.mountPoint.empty() && ::statvfs(rec.mountPoint.c_str(), &vfs) == 0) {
        rec.totalBytes = uint64_t{vfs.f_blocks} * vfs.f_frsize;
        rec.freeBytes = uint64_t{vfs.f_bfree} * vfs.f_frsize;
    } else {
        // Not mounted (or not answering): the partition's length, nothing known to be free.
        rec.totalBytes = rec.sectorCount * rec.bytesPerSector;
        rec.freeBytes = 0;
    }
    rec.usedBytes = rec.totalBytes > rec.freeBytes ? rec.totalBytes - rec.freeBytes : 0;
}

PartitionRecord BaseRecord(const DiskEntry& disk, const DiskShape& shape, bool removable) {
    PartitionRecord rec;
    rec.diskNumber = disk.diskNumber;
    rec.diskPath = disk.devicePath;
    rec.bytesPerSector = shape.bytesPerSector;
    rec.removable = removable;
    return rec;
}

PartitionRecord UnallocatedRecord(const DiskEntry& disk, const DiskShape& shape, bool removable,
                                  uint64_t start, uint64_t length) {
    PartitionRecord rec = BaseRecord(disk, shape, removable);
    rec.kind = PartitionRecord::Kind::Unallocated;
    rec.startLba = start;
    rec.sectorCount = length;
    rec.totalBytes = rec.freeBytes = length * shape.bytesPerSector;
    return rec;
}

PartitionRecord WholeDiskRecord(const DiskEntry& disk, const DiskShape& shape, bool removable) {
    PartitionRecord rec = BaseRecord(disk, shape, removable);
    rec.kind = PartitionRecord::Kind::WholeDisk;
    rec.volumeRoot = disk.devicePath;
    rec.startLba = 0;
    rec.sectorCount = shape.sectors;
    rec.totalBytes = rec.freeBytes = shape.sectors * shape.bytesPerSector;
    return rec;
}

// Adds a record for every stretch between partitions, and after the last one, that is larger
// than one cylinder. `records` holds the disk's partitions sorted by start.
void AddGaps(std::vector<PartitionRecord>& records, const DiskEntry& disk, const DiskShape& shape,
             bool removable) {
    const uint64_t diskSectors = shape.sectors / kCylinderSectors * kCylinderSectors;
    uint64_t previousEnd = kFirstTrackEnd;
    std::vector<PartitionRecord> gaps;
    for (const auto& rec : records) {
        const int64_t gap = static_cast<int64_t>(rec.startLba - previousEnd);
        if (gap > static_cast<int64_t>(kCylinderSectors)) {
            gaps.push_back(UnallocatedRecord(disk, shape, removable, previousEnd, uint64_t(gap)));
        }
        // A partition nested inside an earlier one must not pull the end back, or the space
        // after it would be listed as free while the outer partition still covers it.
        previousEnd = std::max(previousEnd, rec.startLba + rec.sectorCount);
    }
    const int64_t tail = static_cast<int64_t>(diskSectors - previousEnd);
    if (tail > static_cast<int64_t>(kCylinderSectors)) {
        gaps.push_back(UnallocatedRecord(disk, shape, removable, previousEnd, uint64_t(tail)));
    }
    records.insert(records.end(), gaps.begin(), gaps.end());
}

bool ByStart(const PartitionRecord& a, const PartitionRecord& b) {
    return a.startLba < b.startLba;
}

// The records of a disk read through its own partition table rather than through partition
// devices: one per entry, with the file system probed at the entry's offset on `fd` (the
// disk), and the gaps between them; ordered by start. `table` counts in shape's sectors.
std::vector<PartitionRecord> TableRecords(const PartitionTable& table, int fd,
                                          const DiskEntry& disk, const DiskShape& shape,
                                          bool removable) {
    std::vector<PartitionRecord> records;
    const uint64_t bps = shape.bytesPerSector;
    for (const TableEntry& e : table.entries) {
        PartitionRecord rec = BaseRecord(disk, shape, removable);
        rec.partitionNumber = e.number;
        rec.startLba = e.startLba;
        rec.sectorCount = e.sectorCount;
        const detail::FileSystemProbe probe =
            detail::ProbeFileSystemAt(fd, e.startLba * bps, e.sectorCount * bps);
        detail::NameFileSystem(probe, e.mbrType, rec.fsName, rec.fsCode);
        rec.fsVersion = probe.version;
        rec.volumeLabel = probe.label;
        // Not mounted through a device of its own: the length, nothing known to be free.
        rec.totalBytes = rec.usedBytes = e.sectorCount * bps;
        rec.freeBytes = 0;
        records.push_back(std::move(rec));
    }
    std::stable_sort(records.begin(), records.end(), ByStart);
    AddGaps(records, disk, shape, removable);
    std::stable_sort(records.begin(), records.end(), ByStart);
    return records;
}

// The partition table of a disk the system lists without partition devices (a loop device
// attached without partition scan), read through the disk itself; false when it holds none.
bool ReadUnlistedTable(const DiskEntry& disk, const DiskShape& shape, bool removable,
                       std::vector<PartitionRecord>& records) {
    std::unique_ptr<FileSource> file;
    if (FileSource::Open(disk.devicePath, file) != kOk) return false;
    PartitionTable table;
    if (ReadPartitionTable(file->Fd(), file->SizeBytes(), shape.bytesPerSector, table) != kOk ||
        table.entries.empty()) {
        return false;
    }
    records = TableRecords(table, file->Fd(), disk, shape, removable);
    return true;
}

}  // namespace

int DiskEnumerator::Enumerate() {
    iterDisk_ = 0;
    iterIndex_ = 0;
    Clear();
    if (DIR* dir = ::opendir(paths_.sysBlock.c_str())) {
        ::closedir(dir);
    } else {
        return 0;
    }

    const auto mounts = detail::ReadMountTable(paths_.mountInfo);
    for (const DiskEntry& disk : ListWholeDisks(paths_)) {
        const std::string diskDir = paths_.sysBlock + "/" + disk.kernelName;
        const DiskShape shape = ShapeOf(paths_, disk.kernelName);
        const bool removable = detail::IsRemovableKernelDisk(paths_, disk.kernelName);
        bytesPerSector_ = static_cast<int32_t>(shape.bytesPerSector);
        const uint64_t per512 = shape.bytesPerSector / 512;

        std::vector<PartitionRecord> records;
        const auto parts = ListSysfsPartitions(diskDir, disk.kernelName);
        const auto table = parts.empty() ? std::map<int, detail::PartitionTableEntry>{}
                                         : detail::ProbePartitionTable(disk.devicePath);
        for (const SysfsPartition& part : parts) {
            detail::PartitionTableEntry entry;
            if (auto it = table.find(part.number); it != table.end()) {
                entry = it->second;
            } else {
                // The table could not be read (no rights on the disk): the kernel shows an
                // extended partition as a stub of at most one sector or 1 KiB.
                entry.extended =
                    part.size512 * 512 <= std::max<uint64_t>(1024, shape.bytesPerSector);
            }
            // An extended partition only holds the logical ones, which are listed themselves.
            if (entry.extended) continue;
            PartitionRecord rec = BaseRecord(disk, shape, removable);
            rec.partitionNumber = part.number;
            rec.startLba = part.start512 / per512;
            rec.sectorCount = part.size512 / per512;
            // Kept even when nothing on it is recognised: the partition table proves it is
            // there, and a damaged card is exactly what must stay pickable.
            const std::string devPath = paths_.devDir + "/" + part.name;
            FillVolume(rec, detail::ProbeFileSystem(devPath), devPath, diskDir + "/" + part.name,
                       entry.type, mounts);
            records.push_back(std::move(rec));
        }

        if (parts.empty() && shape.sectors == 0) continue;  // a reader slot without a card
        if (!parts.empty()) {
            std::stable_sort(records.begin(), records.end(), ByStart);
            AddGaps(records, disk, shape, removable);
        } else if (!ReadUnlistedTable(disk, shape, removable, records)) {
            // No partition devices and no table (a table the kernel did not scan, as on a loop
            // device attached without partition scan, is listed from the table itself): a card
            // formatted without a partition table carries its volume on the disk itself.
            PartitionRecord rec = BaseRecord(disk, shape, removable);
            rec.partitionNumber = 0;
            rec.sectorCount = shape.sectors;
            const detail::FileSystemProbe probe = detail::ProbeFileSystem(disk.devicePath);
            if (!probe.type.empty()) {
                FillVolume(rec, probe, disk.devicePath, diskDir, 0, mounts);
            } else {
                rec = WholeDiskRecord(disk, shape, removable);
            }
            records.push_back(std::move(rec));
        }
        std::stable_sort(records.begin(), records.end(), ByStart);
        diskMap_[disk.diskNumber] = std::move(records);
    }

    // No Linux volume has a drive letter, so every record carries its position number.
    uint32_t position = 1;
    for (auto& [number, records] : diskMap_) {
        for (auto& rec : records) {
            rec.driveLetter = static_cast<uint16_t>(std::min<uint32_t>(position++, 0xFFFF));
        }
    }
    return 1;
}

int DiskEnumerator::NextPartition(PartitionRecord& out) {
    for (;;) {
        auto it = diskMap_.lower_bound(iterDisk_);
        if (it == diskMap_.end()) return 0;
        if (it->first != iterDisk_) {
            iterDisk_ = it->first;
            iterIndex_ = 0;
        }
        if (iterIndex_ < it->second.size()) {
            out = it->second[iterIndex_++];
            return 1;
        }
        if (iterDisk_ == INT_MAX) return 0;
        ++iterDisk_;
        iterIndex_ = 0;
    }
}

void DiskEnumerator::AllPartitions(std::vector<PartitionRecord>& out) const {
    for (const auto& [number, records] : diskMap_)
        out.insert(out.end(), records.begin(), records.end());
}

void DiskEnumerator::VanishedPartitions(const std::vector<PartitionRecord>& previous,
                                        std::vector<PartitionRecord>& out) {
    Enumerate();
    for (const auto& old : previous) {
        bool present = false;
        if (auto it = diskMap_.find(old.diskNumber); it != diskMap_.end()) {
            present =
                std::any_of(it->second.begin(), it->second.end(),
                            [&](const PartitionRecord& r) { return r.startLba == old.startLba; });
        }
        if (!present) out.push_back(old);
    }
}

void DiskEnumerator::Clear() {
    diskMap_.clear();
}

bool IsRemovableDisk(int diskNumber) {
    const SystemPaths& paths = CurrentSystemPaths();
    for (const auto& d : ListWholeDisks(paths)) {
        if (d.diskNumber == diskNumber) return detail::IsRemovableKernelDisk(paths, d.kernelName);
    }
    return false;
}

Result GetDiskLength(int diskNumber, uint64_t& bytes) {
    std::unique_ptr<ISectorSource> source;
    if (Result r = OpenDiskSource(diskNumber, source); r != kOk) return r;
    bytes = source->SizeBytes();
    return kOk;
}

Result GetVolumeFreeBytes(const PartitionRecord& record, uint64_t& bytes) {
    if (record.mountPoint.empty()) return kErrNotReady;
    std::string mountPoint = record.mountPoint;
    if (!record.deviceId.empty()) {
        // The record may be older than the last unmount; the free space of whatever folder is
        // left at the old mount point would be another volume's.
        const auto mounts = detail::ReadMountTable(CurrentSystemPaths().mountInfo);
        auto it = mounts.find(record.deviceId);
        if (it == mounts.end()) return kErrNotReady;
        mountPoint = it->second;
    }
    struct statvfs vfs {};
    if (::statvfs(mountPoint.c_str(), &vfs) != 0) return FromErrno(errno);
    bytes = uint64_t{vfs.f_bfree} * vfs.f_frsize;
    return kOk;
}

Result GetVolumeFreeBytesAt(int diskNumber, uint64_t startLba, uint64_t& bytes) {
    DiskEnumerator enumerator;
    if (!enumerator.Enumerate()) return kErrNotReady;
    auto it = enumerator.DiskMap().find(diskNumber);
    if (it == enumerator.DiskMap().end()) return kErrFileNotFound;
    for (const auto& rec : it->second) {
        if (rec.startLba != startLba || rec.kind == PartitionRecord::Kind::Unallocated) continue;
        return GetVolumeFreeBytes(rec, bytes);
    }
    return kErrFileNotFound;
}

Result GetVolumeFsName(const PartitionRecord& record, std::string& name) {
    if (record.volumeRoot.empty()) return kErrNotReady;
    // Opening first tells a missing device or missing rights apart from an unknown format.
    std::unique_ptr<FileSource> file;
    if (Result r = FileSource::Open(record.volumeRoot, file); r != kOk) return r;
    file.reset();
    const detail::FileSystemProbe probe = detail::ProbeFileSystem(record.volumeRoot);
    if (probe.type.empty()) return kErrNotSupported;
    uint8_t code = 0;
    detail::NameFileSystem(probe, 0, name, code);
    return kOk;
}

Result FindRecordForDevicePath(const std::string& devicePath, PartitionRecord& out) {
    if (devicePath.empty()) return kErrFileNotFound;
    DiskEnumerator enumerator;
    enumerator.Enumerate();
    std::vector<PartitionRecord> all;
    enumerator.AllPartitions(all);
    const std::string real = RealPath(devicePath);
    auto samePath = [&](const std::string& candidate) {
        return !candidate.empty() &&
               (candidate == devicePath || (!real.empty() && RealPath(candidate) == real));
    };
    for (const auto& rec : all) {
        if (rec.kind != PartitionRecord::Kind::Unallocated && samePath(rec.volumeRoot)) {
            out = rec;
            return kOk;
        }
    }
    const int diskNumber = DiskNumberOfPath(devicePath);
    if (diskNumber < 0) return kErrFileNotFound;
    for (const auto& d : ListWholeDisks(CurrentSystemPaths())) {
        if (d.diskNumber != diskNumber) continue;
        const DiskShape shape = ShapeOf(CurrentSystemPaths(), d.kernelName);
        out = WholeDiskRecord(d, shape,
                              detail::IsRemovableKernelDisk(CurrentSystemPaths(), d.kernelName));
        out.driveLetter = static_cast<uint16_t>(std::min<size_t>(all.size() + 1, 0xFFFF));
        return kOk;
    }
    return kErrFileNotFound;
}

}  // namespace norvale

namespace norvale {

Result ReadDiskLayout(const std::string& path, DiskLayout& out) {
    out = DiskLayout{};
    std::unique_ptr<FileSource> file;
    if (Result r = FileSource::Open(path, file); r != kOk) return r;
    out.sizeBytes = file->SizeBytes();
    out.bytesPerSector = file->SectorSize();
    PartitionTable table;
    if (Result r = ReadPartitionTable(file->Fd(), out.sizeBytes, out.bytesPerSector, table);
        r != kOk) {
        // A card whose first sectors fail is exactly one to recover from: listed as a whole.
        table = PartitionTable{};
        out.problems.push_back("the partition table of " + path + " cannot be read (" +
                               ResultText(r) + "): the medium is listed as a whole");
    }
    out.scheme = table.scheme;
    out.problems.insert(out.problems.end(), table.problems.begin(), table.problems.end());

    const SystemPaths& paths = CurrentSystemPaths();
    const int listedDisk = file->IsBlockDevice() ? DiskNumberOfPath(path) : -1;
    if (listedDisk >= 0) {
        // The enumeration's own records, tags included: built from the partition devices, or
        // from this same table when the system lists none.
        DiskEnumerator enumerator(paths);
        enumerator.Enumerate();
        if (auto it = enumerator.DiskMap().find(listedDisk);
            it != enumerator.DiskMap().end() && !it->second.empty()) {
            out.records = it->second;
            return kOk;
        }
    }

    DiskEntry disk;
    disk.diskNumber = listedDisk >= 0 ? listedDisk : RegisterImageDisk(path);
    disk.devicePath = path;
    DiskShape shape;
    shape.bytesPerSector = out.bytesPerSector;
    shape.sectors = out.sizeBytes / out.bytesPerSector;
    bool removable = false;
    if (file->IsBlockDevice()) {
        const std::string real = RealPath(path);
        const size_t slash = real.rfind('/');
        if (slash != std::string::npos) {
            removable = detail::IsRemovableKernelDisk(paths, real.substr(slash + 1));
        }
    }

    if (!table.entries.empty()) {
        out.records = TableRecords(table, file->Fd(), disk, shape, removable);
    } else {
        // No table (or one whose every entry was left out): the medium is one volume, or a
        // disk holding none.
        PartitionRecord rec = BaseRecord(disk, shape, removable);
        const detail::FileSystemProbe probe =
            detail::ProbeFileSystemAt(file->Fd(), 0, shape.sectors * shape.bytesPerSector);
        if (!probe.type.empty()) {
            rec.partitionNumber = 0;
            rec.sectorCount = shape.sectors;
            detail::NameFileSystem(probe, 0, rec.fsName, rec.fsCode);
            rec.fsVersion = probe.version;
            rec.volumeLabel = probe.label;
            rec.totalBytes = rec.usedBytes = shape.sectors * shape.bytesPerSector;
        } else {
            rec = WholeDiskRecord(disk, shape, removable);
        }
        out.records.push_back(std::move(rec));
    }
    // Read through the disk number at the record's offset, never through a device of its own.
    for (auto& rec : out.records) rec.volumeRoot.clear();
    return kOk;
}

}  // namespace norvale
