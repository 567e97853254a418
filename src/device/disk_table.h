#pragma once
// The one place that knows how Linux names whole disks. A disk number is the position of a
// whole-disk device in a stable order: sd*, mmcblk*, nvme*, vd*, then loop devices that have a
// backing file; within each family by natural name order (sda < sdb < sdz < sdaa,
// mmcblk2 < mmcblk10). RAM disks, zram, device-mapper and md internals, partitions and
// unattached loop devices are never listed.

#include <string>
#include <vector>

#include "device/result.h"

namespace norvale {

// Where the enumerator and the disk table look; tests point these at a fake tree.
struct SystemPaths {
    std::string sysBlock = "/sys/block";             // one folder per whole disk
    std::string devDir = "/dev";                     // device nodes, by kernel name
    std::string mountInfo = "/proc/self/mountinfo";  // mounted file systems
};

const SystemPaths& CurrentSystemPaths();
void SetSystemPaths(const SystemPaths& paths);  // tests only

struct DiskEntry {
    int diskNumber = -1;
    std::string kernelName;  // "sdb", "mmcblk0", "loop3"
    std::string devicePath;  // "/dev/sdb"
};

// Whole disks in disk-number order.
std::vector<DiskEntry> ListWholeDisks(const SystemPaths& paths = CurrentSystemPaths());
// The device path of a disk number, or kErrFileNotFound when no such disk exists.
Result DiskDevicePath(int diskNumber, std::string& path);
// The disk number of a whole-disk device path ("/dev/sdb"), or -1.
int DiskNumberOfPath(const std::string& devicePath);

// A whole-disk image file (or a block device the system lists no partitions for) read as a
// disk: it is given a disk number from kImageDiskBase up, the same number for the same file for
// the life of the process, and DiskDevicePath answers with its path. Engines then open its
// partitions by disk number and start sector exactly as they open a real disk's.
inline constexpr int kImageDiskBase = 0x100000;
int RegisterImageDisk(const std::string& path);
bool IsImageDisk(int diskNumber);
// The path an image disk was registered with; empty for any other disk number.
std::string ImageDiskPath(int diskNumber);

}  // namespace norvale
