#pragma once
// The list of what can be scanned: every partition of every whole disk, stretches of a disk
// that no partition covers (larger than one cylinder), and disks without partitions, with file
// system, label, sizes and free space. Partitions come from sysfs, file-system type, version and
// label from libblkid, mount points from mountinfo and free space from statvfs.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "device/disk_table.h"
#include "device/result.h"

namespace norvale {

inline constexpr uint8_t kFsCodeNtfs = 7;
inline constexpr uint8_t kFsCodeFat32 = 11;
inline constexpr uint8_t kFsCodeFat = 6;
inline constexpr uint16_t kNoDriveLetter = u'*';

struct PartitionRecord {
    // Linux volumes have no drive letters: after enumeration every record holds its 1-based
    // position in the enumeration order here, which is also its source tag.
    uint16_t driveLetter = kNoDriveLetter;
    uint8_t fsCode = 0;  // 7 NTFS, 11 FAT32, 6 FAT12/16, else the MBR type byte, 0 unknown
    int32_t diskNumber = -1;
    // Kernel partition number; 0 for a volume on a disk without partition table; -1 for gaps
    // and whole disks.
    int32_t partitionNumber = -1;
    uint64_t totalBytes = 0;
    uint64_t usedBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t startLba = 0;  // in the disk's logical sectors
    uint64_t sectorCount = 0;
    // "NTFS", "FAT32", "FAT" (FAT12/16), "exFAT", else libblkid's name ("ext4"); empty: unknown
    std::string fsName;
    std::string fsVersion;
    // The device the volume is read through: the partition ("/dev/sdb1"), or the disk itself for
    // a whole disk and for a card formatted without partition table; empty for gaps.
    std::string volumeRoot;
    std::string volumeLabel;
    std::string mountPoint;  // empty when not mounted
    std::string diskPath;    // the whole-disk device ("/dev/sdb")
    std::string deviceId;    // kernel "major:minor" of the partition; empty for gaps
    uint32_t bytesPerSector = 512;
    bool removable = false;

    // Partition: a volume (a partition, or a file system on a disk without partition table);
    // Unallocated: a stretch no partition covers; WholeDisk: a disk holding no volume.
    enum class Kind : uint8_t { Partition, Unallocated, WholeDisk };
    Kind kind = Kind::Partition;
};

class DiskEnumerator {
  public:
    explicit DiskEnumerator(SystemPaths paths = CurrentSystemPaths()) : paths_(std::move(paths)) {}

    // Rebuilds the list; 0 when the block-device list cannot be read at all, else 1.
    int Enumerate();
    // Copies the next record (disks ascending, records by start) and returns 1; 0 after the last.
    int NextPartition(PartitionRecord& out);
    void AllPartitions(std::vector<PartitionRecord>& out) const;
    // Re-enumerates and appends every record of `previous` that has no current record with the
    // same diskNumber and startLba.
    void VanishedPartitions(const std::vector<PartitionRecord>& previous,
                            std::vector<PartitionRecord>& out);
    void Clear();

    const std::map<int, std::vector<PartitionRecord>>& DiskMap() const { return diskMap_; }

  private:
    SystemPaths paths_;
    int32_t bytesPerSector_ = 512;
    int iterDisk_ = 0;
    size_t iterIndex_ = 0;
    std::map<int, std::vector<PartitionRecord>> diskMap_;
};

// Removable: the sysfs removable flag, or a disk on USB or an SD/MMC card.
bool IsRemovableDisk(int diskNumber);
// Length in bytes of the disk, as the disk opener reports it.
Result GetDiskLength(int diskNumber, uint64_t& bytes);
// Free bytes of the record's volume (statvfs), provided it is still mounted where the record
// says; a volume that is not mounted gives kErrNotReady.
Result GetVolumeFreeBytes(const PartitionRecord& record, uint64_t& bytes);
// Free bytes of the volume of disk `diskNumber` that starts at `startLba`, from a fresh
// enumeration: kErrFileNotFound when no such partition exists, kErrNotReady when it is not
// mounted.
Result GetVolumeFreeBytesAt(int diskNumber, uint64_t startLba, uint64_t& bytes);
// The file-system name of the record's volume, probed again ("NTFS", "FAT32", "FAT", "exFAT",
// or libblkid's own name); kErrNotSupported when no file system is recognised.
Result GetVolumeFsName(const PartitionRecord& record, std::string& name);
// A disk or whole-disk image as the enumeration lists a disk: its partitions from its partition
// table (with file system, label and sizes probed at each partition's offset) and the stretches
// no partition covers, by the same gap rule; or, without a table, one record for the whole.
struct DiskLayout {
    // Ordered by start. Records carry kNoDriveLetter: the caller gives the tags. An image's
    // records carry the disk number RegisterImageDisk gave it and the image path as diskPath;
    // their volumeRoot is empty (the volume is read through the disk at its offset).
    std::vector<PartitionRecord> records;
    std::string scheme;                 // "dos", "gpt", ...; empty: no partition table
    std::vector<std::string> problems;  // the table's problems, one line each
    uint64_t sizeBytes = 0;
    uint32_t bytesPerSector = 512;
};
// For a whole-disk block device the enumeration lists, the enumeration's records of that disk
// (with their tags; built from the table itself when the system lists no partition devices for
// it) and its table's problems. Otherwise (an image file, a partition device, a block device
// the enumeration does not list) the table read through ReadPartitionTable: one Partition record
// per entry (partitionNumber = the entry's number, file system probed at its offset, freeBytes
// 0, usedBytes = totalBytes = its length), the Unallocated stretches by the enumeration's gap
// rule, and without a table one record for the whole medium (Partition with partitionNumber 0
// when a file system is found on it, else WholeDisk). kOk also when there is no table; a table
// that cannot be read is one problem line and the medium is listed whole. Errors only for a
// path that cannot be opened (kErrFileNotFound, kErrAccessDenied, kErrDirectoryName, ...).
Result ReadDiskLayout(const std::string& path, DiskLayout& out);

// The record of a device path: a partition device ("/dev/sdb1") gives its enumerated record;
// a whole-disk device gives a WholeDisk record covering the whole length (startLba 0). A disk
// whose enumeration lists no WholeDisk record gets a tag past every enumerated record, so it
// collides with none of them. kErrFileNotFound when the path is neither.
Result FindRecordForDevicePath(const std::string& devicePath, PartitionRecord& out);

}  // namespace norvale
