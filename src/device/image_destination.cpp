#include "device/image_destination.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

#include "device/disk_probe.h"
#include "device/disk_table.h"

namespace norvale {

namespace {

constexpr uint64_t kFat32MaxImage = 0x100000000ull;  // 4 GiB: one byte less than 2^32 + 1
constexpr uint64_t kFatMaxImage = 0x80000000ull;     // 2 GiB

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string DeviceId(uint64_t dev) {
    return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// The sysfs folder of a block device ("/sys/devices/.../block/sdb/sdb1"); "" when the number
// names no block device (tmpfs, overlay and other volumes without one).
std::string SysfsDeviceDir(uint64_t dev) {
    return RealPath("/sys/dev/block/" + DeviceId(dev));
}

// A partition's folder lies inside its disk's folder and holds a "partition" attribute.
std::string DiskDirOf(const std::string& deviceDir) {
    struct stat st {};
    if (::stat((deviceDir + "/partition").c_str(), &st) == 0) {
        const size_t slash = deviceDir.find_last_of('/');
        if (slash != std::string::npos && slash > 0) return deviceDir.substr(0, slash);
    }
    return deviceDir;
}

// The disks that hold the volume of sysfs folder `dir`: its own disk, and for a stacked volume
// (device mapper, md) the disks of everything beneath it. Bounded, since "slaves" links come
// from the system and a walk must end whatever they say.
std::vector<std::string> UnderlyingDisks(const std::string& dir) {
    std::vector<std::string> pending{dir};
    std::vector<std::string> seen;
    std::vector<std::string> disks;
    constexpr size_t kMaxDevices = 64;
    while (!pending.empty() && seen.size() < kMaxDevices) {
        const std::string d = pending.back();
        pending.pop_back();
        bool known = false;
        for (const auto& s : seen) known = known || s == d;
        if (known) continue;
        seen.push_back(d);
        disks.push_back(DiskDirOf(d));
        for (const std::string& holderDir : {d + "/slaves", DiskDirOf(d) + "/slaves"}) {
            DIR* slaves = ::opendir(holderDir.c_str());
            if (!slaves) continue;
            while (dirent* e = ::readdir(slaves)) {
                if (e->d_name[0] == '.') continue;
                const std::string real = RealPath(holderDir + "/" + e->d_name);
                if (!real.empty()) pending.push_back(real);
            }
            ::closedir(slaves);
        }
    }
    return disks;
}

bool SharesDisk(uint64_t destinationDev, uint64_t sourceDev) {
    const std::string src = SysfsDeviceDir(sourceDev);
    const std::string dst = SysfsDeviceDir(destinationDev);
    if (src.empty() || dst.empty()) return destinationDev == sourceDev;
    const std::string srcDisk = DiskDirOf(src);
    for (const std::string& disk : UnderlyingDisks(dst))
        if (disk == srcDisk) return true;
    return false;
}

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The file-system type and the mount source of the volume numbered `dev`, from mountinfo.
bool FindMount(uint64_t dev, std::string& fsType, std::string& source) {
    std::ifstream in(CurrentSystemPaths().mountInfo);
    const std::string id = DeviceId(dev);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string mountId, parent, devId;
        if (!(fields >> mountId >> parent >> devId) || devId != id) continue;
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        if (tail >> fsType >> source) return true;
    }
    return false;
}

// Names the destination's file system the way the checks expect it. FAT12/16 and FAT32 share
// the kernel's "vfat"; the boot sector tells them apart. When it cannot be read (no rights on
// the device) the volume is taken as FAT32, whose 4 GiB limit is what the vfat driver itself
// enforces on every FAT width.
std::string FileSystemName(uint64_t dev) {
    std::string fsType, source;
    if (!FindMount(dev, fsType, source)) return {};
    if (fsType == "vfat" || fsType == "msdos" || fsType == "fuseblk") {
        const detail::FileSystemProbe probe = detail::ProbeFileSystem(source);
        if (!probe.type.empty()) {
            std::string name;
            uint8_t code = 0;
            detail::NameFileSystem(probe, 0, name, code);
            return name;
        }
        return fsType == "fuseblk" ? fsType : "FAT32";
    }
    if (fsType == "exfat") return "exFAT";
    if (fsType == "ntfs" || fsType == "ntfs3") return "NTFS";
    return fsType;
}

}  // namespace

const char* DestinationMessageKey(DestinationVerdict verdict) {
    switch (verdict) {
        case DestinationVerdict::kSameDevice:
            return "MSG0218";
        case DestinationVerdict::kFat32TooLarge:
            return "MSG0220";
        case DestinationVerdict::kFatTooLarge:
            return "MSG0219";
        case DestinationVerdict::kNotEnoughSpace:
            return "MSG0221";
        case DestinationVerdict::kOk:
            break;
    }
    return "";
}

DestinationVerdict CheckImageDestination(const DestinationFacts& facts, uint64_t imageBytes) {
    if (facts.onSourceDevice) return DestinationVerdict::kSameDevice;
    // Exact names: "exFAT" contains "FAT" but has no such file-size limit, and SDXC cards come
    // formatted with it.
    if (facts.fsName == "FAT32") {
        if (imageBytes > kFat32MaxImage) return DestinationVerdict::kFat32TooLarge;
    } else if (facts.fsName == "FAT") {
        if (imageBytes > kFatMaxImage) return DestinationVerdict::kFatTooLarge;
    }
    if (facts.freeKnown) {
        const uint64_t room = facts.freeBytes + facts.reusableBytes;
        if (room <= imageBytes) return DestinationVerdict::kNotEnoughSpace;
    }
    return DestinationVerdict::kOk;
}

Result GatherDestinationFacts(const std::string& imagePath, uint64_t sourceDevice,
                              DestinationFacts& out) {
    out = DestinationFacts{};
    if (imagePath.empty()) return kErrInvalidName;
    struct stat st {};
    if (::stat(imagePath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return kErrDirectoryName;
        if (S_ISREG(st.st_mode)) out.reusableBytes = uint64_t(st.st_blocks) * 512;
    }
    const std::string folder = ParentFolder(imagePath);
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? kErrPathNotFound : FromErrno(errno);
    }
    if (!S_ISDIR(dir.st_mode)) return kErrPathNotFound;

    out.onSourceDevice = sourceDevice != 0 && SharesDisk(dir.st_dev, sourceDevice);
    out.fsName = FileSystemName(dir.st_dev);
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) == 0) {
        out.freeKnown = true;
        out.freeBytes = uint64_t{vfs.f_bavail} * vfs.f_frsize;
    }
    return kOk;
}

bool FolderOnSourceDisk(const std::string& path, uint64_t sourceDevice) {
    if (sourceDevice == 0 || path.empty()) return false;
    std::string probe = path;
    struct stat st {};
    while (::stat(probe.c_str(), &st) != 0) {
        if (probe == "/" || probe == ".") return false;
        probe = ParentFolder(probe);
    }
    return SharesDisk(st.st_dev, sourceDevice);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace norvale
