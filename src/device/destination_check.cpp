#include "device/destination_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/loop.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "device/disk_table.h"

namespace norvale {

namespace detail {

// Mount-table fields escape blanks, tabs, newlines and backslashes as three octal digits.
std::string UnescapeMountField(const std::string& field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool FindMount(uint64_t dev, std::string& fsType, std::string& source) {
    std::ifstream in(CurrentSystemPaths().mountInfo);
    const std::string id = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string mountId, parent, devId;
        if (!(fields >> mountId >> parent >> devId) || devId != id) continue;
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string rawSource;
        if (tail >> fsType >> rawSource) {
            source = UnescapeMountField(rawSource);
            return true;
        }
    }
    return false;
}

}  // namespace detail

namespace {

// Enough for any real stack (a partition on a crypt volume on an md array of four disks, a
// loop file on top); the bound is what ends a walk through links that loop back.
constexpr size_t kMaxDevices = 64;

struct FileId {
    uint64_t dev = 0;
    uint64_t ino = 0;
    bool operator==(const FileId&) const = default;
};

// A file that a volume on the way is stored in: a loop device's backing file, or the image a
// FUSE driver mounted.
struct BackingFile {
    FileId id;            // {0, 0} when only the path is known
    std::string path;     // as the kernel or the mount table names it; may be empty
    std::string through;  // the first loop device (or mount source) on the way down
};

struct Layer {
    uint64_t disk = 0;
    std::string through;
};

// What one device rests on, all the way down.
struct Layers {
    std::vector<Layer> disks;  // the disk of every device met
    std::vector<BackingFile> files;
};

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The sysfs folder of a block device ("/sys/devices/.../block/sdb/sdb1"); "" when the number
// names no block device (tmpfs, overlay, FUSE and btrfs subvolumes have numbers of their own).
std::string SysfsDeviceDir(uint64_t dev) {
    return RealPath("/sys/dev/block/" + std::to_string(major(dev)) + ":" +
                    std::to_string(minor(dev)));
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

// The "MAJ:MIN" attribute of a sysfs block folder.
bool ReadDeviceNumber(const std::string& dir, uint64_t& dev) {
    const std::string text = ReadFirstLine(dir + "/dev");
    unsigned maj = 0, min = 0;
    char colon = 0;
    std::istringstream in(text);
    if (!(in >> maj >> colon >> min) || colon != ':') return false;
    dev = makedev(maj, min);
    return true;
}

// loop_info64 carries device numbers in the kernel's 32-bit encoding: minor bits 0-7, major
// bits 8-19, the rest of the minor above.
uint64_t DecodeKernelDevice(uint64_t encoded) {
    const unsigned maj = static_cast<unsigned>((encoded >> 8) & 0xfff);
    const unsigned min = static_cast<unsigned>((encoded & 0xff) | ((encoded >> 12) & 0xfff00));
    return makedev(maj, min);
}

// The backing file of the loop disk in sysfs folder `diskDir`, numbered `diskDev`. The loop
// status gives the file's device and inode, which still match when the file was renamed or is
// reached by another path; where the device node cannot be opened (no rights) the path sysfs
// shows is looked up instead.
bool LoopBackingFile(const std::string& diskDir, uint64_t diskDev, BackingFile& out) {
    struct stat st {};
    if (::stat((diskDir + "/loop").c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    out = BackingFile{};
    out.through = CurrentSystemPaths().devDir + "/" + BaseName(diskDir);
    bool known = false;
    // A loop device set to clear itself is detached when its last user closes it; the check
    // must not be that user, so it reads only sysfs there.
    const bool autoclear = ReadFirstLine(diskDir + "/loop/autoclear") == "1";
    const int fd =
        autoclear ? -1 : ::open(out.through.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        loop_info64 info{};
        if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == diskDev &&
            ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
            out.id = {DecodeKernelDevice(info.lo_device), info.lo_inode};
            known = true;
        }
        ::close(fd);
    }
    std::string path = ReadFirstLine(diskDir + "/loop/backing_file");
    // A deleted backing file is no longer at its path; whatever is there now is another file.
    constexpr std::string_view kDeleted = " (deleted)";
    const bool deleted = path.size() > kDeleted.size() && path.ends_with(kDeleted);
    if (deleted) path.resize(path.size() - kDeleted.size());
    out.path = path;
    if (!known && !deleted && !path.empty() && ::stat(path.c_str(), &st) == 0) {
        out.id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
        known = true;
    }
    if (deleted && !known) out.path.clear();
    return known || !out.path.empty();
}

template <typename T>
bool Contains(const std::vector<T>& list, const T& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// Everything device `start` rests on. `followFiles` goes on below a loop device's backing file
// (and a FUSE volume's mount source) to the volume that stores it: what is written to the
// destination lands there too. Backing files are listed either way.
Layers WalkDown(uint64_t start, bool followFiles) {
    struct Pending {
        uint64_t dev;
        std::string through;
    };
    Layers out;
    std::vector<Pending> pending{{start, {}}};
    std::vector<uint64_t> seen;
    while (!pending.empty() && seen.size() < kMaxDevices) {
        const Pending p = pending.back();
        pending.pop_back();
        if (Contains(seen, p.dev)) continue;
        seen.push_back(p.dev);

        const std::string dir = SysfsDeviceDir(p.dev);
        if (dir.empty()) {
            out.disks.push_back({p.dev, p.through});
            // A volume without a block device of its own: FUSE (ntfs-3g, exfat-fuse) and btrfs
            // name the device or file they were mounted from in the mount table.
            std::string fsType, source;
            if (!followFiles || !detail::FindMount(p.dev, fsType, source) || source.empty() ||
                source[0] != '/')
                continue;
            struct stat st {};
            if (::stat(source.c_str(), &st) != 0) continue;
            if (S_ISBLK(st.st_mode)) {
                pending.push_back({uint64_t(st.st_rdev), p.through});
            } else if (S_ISREG(st.st_mode)) {
                const std::string through = p.through.empty() ? source : p.through;
                out.files.push_back({{uint64_t(st.st_dev), uint64_t(st.st_ino)}, source, through});
                pending.push_back({uint64_t(st.st_dev), through});
            }
            continue;
        }

        const std::string disk = DiskDirOf(dir);
        uint64_t diskDev = p.dev;
        if (disk != dir && !ReadDeviceNumber(disk, diskDev)) diskDev = p.dev;
        out.disks.push_back({diskDev, p.through});
        if (diskDev != p.dev) seen.push_back(diskDev);

        // Device mapper and md name their members under "slaves"; a partition of such a
        // volume has them on its disk.
        for (const std::string& holder : {dir + "/slaves", disk + "/slaves"}) {
            DIR* slaves = ::opendir(holder.c_str());
            if (!slaves) continue;
            while (dirent* e = ::readdir(slaves)) {
                if (e->d_name[0] == '.') continue;
                const std::string real = RealPath(holder + "/" + e->d_name);
                uint64_t member = 0;
                if (pending.size() < kMaxDevices && !real.empty() && ReadDeviceNumber(real, member))
                    pending.push_back({member, p.through});
            }
            ::closedir(slaves);
            if (disk == dir) break;
        }

        BackingFile backing;
        if (LoopBackingFile(disk, diskDev, backing)) {
            if (!p.through.empty()) backing.through = p.through;
            if (followFiles && backing.id.dev != 0)
                pending.push_back({backing.id.dev, backing.through});
            out.files.push_back(std::move(backing));
        }
    }
    return out;
}

// The source, as what a write must not reach.
struct SourceLayers {
    std::vector<uint64_t> disks;
    std::vector<FileId> files;
    std::vector<std::string> filePaths;  // real paths, for backing files known only by path
    uint64_t device = 0;                 // the block device itself
};

SourceLayers FromDevice(uint64_t device) {
    SourceLayers src;
    if (device == 0) return src;
    src.device = device;
    // Not below backing files: a file written beside the image a loop source is attached
    // from leaves that image as it is.
    const Layers layers = WalkDown(device, false);
    for (const Layer& l : layers.disks) src.disks.push_back(l.disk);
    for (const BackingFile& f : layers.files) {
        if (f.id.ino != 0) src.files.push_back(f.id);
        if (!f.path.empty()) src.filePaths.push_back(RealPath(f.path));
    }
    return src;
}

bool IsSourceFile(const SourceLayers& src, const BackingFile& f) {
    if (f.id.ino != 0)
        return std::find(src.files.begin(), src.files.end(), f.id) != src.files.end();
    if (f.path.empty()) return false;
    const std::string real = RealPath(f.path);
    return !real.empty() && Contains(src.filePaths, real);
}

DestinationOverlap Check(const std::string& destination, const SourceLayers& src) {
    if (destination.empty() || (src.disks.empty() && src.files.empty())) return {};
    std::string probe = destination;
    struct stat st {};
    while (::stat(probe.c_str(), &st) != 0) {
        if (probe == "/" || probe == ".") return {};
        probe = ParentFolder(probe);
    }
    const FileId id{uint64_t(st.st_dev), uint64_t(st.st_ino)};
    if (std::find(src.files.begin(), src.files.end(), id) != src.files.end())
        return {OverlapKind::kSourceItself, {}, {}};
    if (S_ISBLK(st.st_mode) && src.device != 0 && st.st_rdev == src.device)
        return {OverlapKind::kSourceItself, {}, {}};

    // A device node as the destination is written itself; anything else goes to its volume.
    const Layers dst =
        WalkDown(S_ISBLK(st.st_mode) ? uint64_t(st.st_rdev) : uint64_t(st.st_dev), true);
    // The disks first: a volume on the very device being read is on it, whatever file that
    // device is attached from.
    for (const Layer& l : dst.disks)
        if (Contains(src.disks, l.disk)) return {OverlapKind::kSourceDisk, l.through, {}};
    for (const BackingFile& f : dst.files)
        if (IsSourceFile(src, f)) return {OverlapKind::kSourceImage, f.through, f.path};
    return {};
}

}  // namespace

DestinationOverlap FindDestinationOverlap(const std::string& destination,
                                          const std::string& source) {
    struct stat st {};
    if (source.empty() || ::stat(source.c_str(), &st) != 0) return {};
    if (S_ISBLK(st.st_mode)) return Check(destination, FromDevice(uint64_t(st.st_rdev)));
    if (!S_ISREG(st.st_mode)) return {};
    SourceLayers src;
    src.files.push_back({uint64_t(st.st_dev), uint64_t(st.st_ino)});
    src.filePaths.push_back(RealPath(source));
    return Check(destination, src);
}

DestinationOverlap FindDestinationOverlap(const std::string& destination, uint64_t sourceDevice) {
    return Check(destination, FromDevice(sourceDevice));
}

std::string DescribeOverlap(const DestinationOverlap& overlap, const std::string& destination,
                            const std::string& source) {
    switch (overlap.kind) {
        case OverlapKind::kNone:
            break;
        case OverlapKind::kSourceItself: {
            struct stat st {};
            const bool device = ::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
            if (::stat(destination.c_str(), &st) != 0)
                return destination + " lies inside the source " + source;
            if (device && !S_ISBLK(st.st_mode))
                return destination + " is the image behind the source " + source;
            return destination + " is the source " + source + " itself";
        }
        case OverlapKind::kSourceDisk:
            if (overlap.through.empty())
                return destination + " is on the disk being read (" + source + ")";
            return destination + " is stored through " + overlap.through +
                   " on the disk being read (" + source + ")";
        case OverlapKind::kSourceImage: {
            // A device source is named with the image behind it; a file source as given.
            struct stat st {};
            const bool device = ::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
            std::string text = destination + " is inside " +
                               (device && !overlap.file.empty() ? overlap.file : source);
            if (!overlap.through.empty() && overlap.through != overlap.file)
                text += " (attached as " + overlap.through + ")";
            if (device && !overlap.file.empty()) text += ", the image behind " + source;
            return text;
        }
    }
    return {};
}

}  // namespace norvale
