#include "device/image_destination.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "device/destination_check.h"
#include "device/disk_probe.h"
#include "device/disk_table.h"

namespace norvale {

namespace {

constexpr uint64_t kFat32MaxImage = 0x100000000ull;  // 4 GiB: one byte less than 2^32 + 1
constexpr uint64_t kFatMaxImage = 0x80000000ull;     // 2 GiB

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Names the destination's file system the way the checks expect it. FAT12/16 and FAT32 share
// the kernel's "vfat"; the boot sector tells them apart. When it cannot be read (no rights on
// the device) the volume is taken as FAT32, whose 4 GiB limit is what the vfat driver itself
// enforces on every FAT width.
std::string FileSystemName(uint64_t dev) {
    std::string fsType, source;
    if (!detail::FindMount(dev, fsType, source)) return {};
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

namespace {

// Everything but the overlap with the source.
Result GatherVolumeFacts(const std::string& imagePath, DestinationFacts& out) {
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

    out.fsName = FileSystemName(dir.st_dev);
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) == 0) {
        out.freeKnown = true;
        out.freeBytes = uint64_t{vfs.f_bavail} * vfs.f_frsize;
    }
    return kOk;
}

// The volume's facts, then where the destination meets the source (a device or a file).
template <class Source>
Result GatherFacts(const std::string& imagePath, const Source& source, DestinationFacts& out) {
    const Result r = GatherVolumeFacts(imagePath, out);
    if (r != kOk) return r;
    out.overlap = FindDestinationOverlap(imagePath, source);
    out.onSourceDevice = out.overlap.Found();
    return kOk;
}

}  // namespace

Result GatherDestinationFacts(const std::string& imagePath, uint64_t sourceDevice,
                              DestinationFacts& out) {
    return GatherFacts(imagePath, sourceDevice, out);
}

Result GatherDestinationFacts(const std::string& imagePath, const std::string& sourcePath,
                              DestinationFacts& out) {
    return GatherFacts(imagePath, sourcePath, out);
}

bool FolderOnSourceDisk(const std::string& path, uint64_t sourceDevice) {
    return FindDestinationOverlap(path, sourceDevice).Found();
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace norvale
