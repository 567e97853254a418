#include "device/disk_table.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <mutex>
#include <tuple>

namespace norvale {

namespace {

std::mutex pathsMutex;

SystemPaths& Paths() {
    static SystemPaths paths;
    return paths;
}

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

bool AllLower(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

uint64_t Number(std::string_view s) {
    uint64_t v = 0;
    for (char c : s) v = std::min<uint64_t>(v * 10 + uint64_t(c - '0'), 1'000'000'000);
    return v;
}

// Sort key of a whole-disk name: (family, major, minor, name). Names that are not whole disks of
// a known family (partitions, ram, zram, dm-, md, sr, mmcblk0boot0, nvme0c0n1 ...) get no key.
struct DiskKey {
    int family = 0;
    uint64_t major = 0;
    uint64_t minor = 0;
    std::string name;
    bool operator<(const DiskKey& o) const {
        return std::tie(family, major, minor, name) < std::tie(o.family, o.major, o.minor, o.name);
    }
};

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() > prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool KeyOf(std::string_view name, DiskKey& key) {
    key.name = std::string(name);
    // Letter-suffixed names count like spreadsheet columns: shorter first (sdz < sdaa).
    if (StartsWith(name, "sd") && AllLower(name.substr(2))) {
        key.family = 0;
        key.major = name.size();
        return true;
    }
    if (StartsWith(name, "mmcblk") && AllDigits(name.substr(6))) {
        key.family = 1;
        key.major = Number(name.substr(6));
        return true;
    }
    if (StartsWith(name, "nvme")) {
        std::string_view rest = name.substr(4);
        size_t n = rest.find('n');
        if (n == std::string_view::npos) return false;
        if (!AllDigits(rest.substr(0, n)) || !AllDigits(rest.substr(n + 1))) return false;
        key.family = 2;
        key.major = Number(rest.substr(0, n));
        key.minor = Number(rest.substr(n + 1));
        return true;
    }
    if (StartsWith(name, "vd") && AllLower(name.substr(2))) {
        key.family = 3;
        key.major = name.size();
        return true;
    }
    if (StartsWith(name, "loop") && AllDigits(name.substr(4))) {
        key.family = 4;
        key.major = Number(name.substr(4));
        return true;
    }
    return false;
}

bool LoopHasBackingFile(const SystemPaths& paths, const std::string& name) {
    std::ifstream in(paths.sysBlock + "/" + name + "/loop/backing_file");
    std::string line;
    return in && std::getline(in, line) && !line.empty();
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// Image disks registered so far; the index plus kImageDiskBase + 1 is the disk number. A file
// is known by its device and inode, so another spelling of its path (relative, through a
// symbolic link) finds the same number.
struct ImageDisk {
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
};

std::mutex imageMutex;

std::vector<ImageDisk>& ImageDisks() {
    static std::vector<ImageDisk> disks;
    return disks;
}

}  // namespace

int RegisterImageDisk(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
    std::lock_guard lock(imageMutex);
    auto& disks = ImageDisks();
    for (size_t i = 0; i < disks.size(); ++i) {
        if (disks[i].device == st.st_dev && disks[i].inode == st.st_ino) {
            // A file deleted since may have left its inode to this one: the number stands for
            // the same file only while its stored path still names it.
            struct stat known {};
            if (::stat(disks[i].path.c_str(), &known) == 0 && known.st_dev == st.st_dev &&
                known.st_ino == st.st_ino)
                return kImageDiskBase + 1 + static_cast<int>(i);
        }
    }
    // Kept absolute, so the number still opens the same file after a change of folder.
    std::string stored = path;
    if (path[0] != '/') {
        if (std::string real = RealPath(path); !real.empty()) stored = std::move(real);
    }
    if (disks.size() >= size_t(INT_MAX - kImageDiskBase - 1)) return -1;
    disks.push_back({st.st_dev, st.st_ino, std::move(stored)});
    return kImageDiskBase + static_cast<int>(disks.size());
}

bool IsImageDisk(int diskNumber) {
    return !ImageDiskPath(diskNumber).empty();
}

std::string ImageDiskPath(int diskNumber) {
    if (diskNumber <= kImageDiskBase) return {};
    std::lock_guard lock(imageMutex);
    const auto& disks = ImageDisks();
    const size_t index = static_cast<size_t>(diskNumber - kImageDiskBase - 1);
    return index < disks.size() ? disks[index].path : std::string();
}

const SystemPaths& CurrentSystemPaths() {
    std::lock_guard lock(pathsMutex);
    return Paths();
}

void SetSystemPaths(const SystemPaths& paths) {
    std::lock_guard lock(pathsMutex);
    Paths() = paths;
}

std::vector<DiskEntry> ListWholeDisks(const SystemPaths& paths) {
    std::vector<DiskKey> keys;
    if (DIR* dir = ::opendir(paths.sysBlock.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            DiskKey key;
            if (e->d_name[0] == '.' || !KeyOf(e->d_name, key)) continue;
            // An unattached loop device has no medium; it is never a disk to scan.
            if (key.family == 4 && !LoopHasBackingFile(paths, key.name)) continue;
            keys.push_back(std::move(key));
        }
        ::closedir(dir);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<DiskEntry> disks;
    disks.reserve(keys.size());
    for (auto& key : keys) {
        DiskEntry d;
        d.diskNumber = static_cast<int>(disks.size());
        d.devicePath = paths.devDir + "/" + key.name;
        d.kernelName = std::move(key.name);
        disks.push_back(std::move(d));
    }
    return disks;
}

Result DiskDevicePath(int diskNumber, std::string& path) {
    if (std::string image = ImageDiskPath(diskNumber); !image.empty()) {
        path = std::move(image);
        return kOk;
    }
    for (const auto& d : ListWholeDisks(CurrentSystemPaths())) {
        if (d.diskNumber == diskNumber) {
            path = d.devicePath;
            return kOk;
        }
    }
    return kErrFileNotFound;
}

int DiskNumberOfPath(const std::string& devicePath) {
    if (devicePath.empty()) return -1;
    const std::string real = RealPath(devicePath);
    for (const auto& d : ListWholeDisks(CurrentSystemPaths())) {
        if (d.devicePath == devicePath) return d.diskNumber;
        // Symbolic names (/dev/disk/by-id/...) resolve to the same node.
        if (!real.empty() && RealPath(d.devicePath) == real) return d.diskNumber;
    }
    return -1;
}

}  // namespace norvale
