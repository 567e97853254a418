#pragma once
// The questions the device layer asks the system, one function each: sysfs values, libblkid
// probes of a partition's file system and of a disk's partition table, and the mount table.
// Every function answers "unknown" rather than failing. Those in `detail` are the disk
// enumerator's own; ReadDiskFacts is also for the views that show a disk.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "device/disk_table.h"

namespace norvale::detail {

// The first line of a sysfs attribute, without trailing white space.
std::optional<std::string> ReadSysfsLine(const std::string& path);
std::optional<uint64_t> ReadSysfsNumber(const std::string& path);

struct FileSystemProbe {
    std::string type;     // libblkid's TYPE ("vfat", "ntfs", "exfat", "ext4"); empty: none
    std::string version;  // VERSION ("FAT32", "FAT16", ...)
    std::string label;    // LABEL
};
// Probes the superblock of the device (or image) at `path`; an empty result when it cannot be
// opened or holds nothing libblkid recognises.
FileSystemProbe ProbeFileSystem(const std::string& path);
// The same for the volume that lies `sizeBytes` long at byte `offsetBytes` of the disk or
// image open on `fd` (a partition read through its disk); `fd` stays the caller's.
FileSystemProbe ProbeFileSystemAt(int fd, uint64_t offsetBytes, uint64_t sizeBytes);

struct PartitionTableEntry {
    uint8_t type = 0;       // MBR type byte; 0 on tables without one (GPT)
    bool extended = false;  // an MBR extended-partition container
};
// The partition table of the whole disk at `diskPath`, by partition number, as the table states
// it (see ReadPartitionTable); empty when there is none or it cannot be read.
std::map<int, PartitionTableEntry> ProbePartitionTable(const std::string& diskPath);

// The mount point of each mounted device, by "major:minor". A device mounted several times
// gives the first mount of its file system's root.
std::map<std::string, std::string> ReadMountTable(const std::string& mountInfoPath);

// The displayed file-system name and the fsCode of a probed volume: NTFS 7, FAT32 11,
// FAT12/16 6, otherwise the MBR type byte (0 when unknown).
void NameFileSystem(const FileSystemProbe& probe, uint8_t mbrType, std::string& fsName,
                    uint8_t& fsCode);

// sysfs removable flag set, attached through USB, or an SD/MMC card.
bool IsRemovableKernelDisk(const SystemPaths& paths, const std::string& kernelName);

}  // namespace norvale::detail

namespace norvale {

// What sysfs says of a whole disk, for showing it: "vendor model" (an SD/MMC card has only a
// name), and its length, which sysfs counts in 512-byte units whatever the sector size.
struct DiskFacts {
    std::string model;       // trimmed; empty when the kernel reports none
    uint64_t sizeBytes = 0;  // 0 when unknown or not a number that fits in 64 bits as bytes
};
DiskFacts ReadDiskFacts(const SystemPaths& paths, const std::string& kernelName);

}  // namespace norvale
