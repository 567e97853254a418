#include "device/disk_probe.h"

#include <blkid/blkid.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

#include "device/partition_table.h"

namespace norvale::detail {

namespace {

// libblkid's probe handle, freed on every path out.
struct Probe {
    explicit Probe(const std::string& path) : pr(blkid_new_probe_from_filename(path.c_str())) {}
    ~Probe() {
        if (pr) blkid_free_probe(pr);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    blkid_probe pr;
};

std::string Value(blkid_probe pr, const char* name) {
    const char* data = nullptr;
    size_t len = 0;
    if (blkid_probe_lookup_value(pr, name, &data, &len) != 0 || !data) return {};
    // The reported length counts the terminating NUL.
    std::string s(data, len);
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Mount points in mountinfo escape space, tab, newline and backslash as octal "\ooo".
std::string UnescapeMountPath(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

}  // namespace

std::optional<std::string> ReadSysfsLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

std::optional<uint64_t> ReadSysfsNumber(const std::string& path) {
    auto line = ReadSysfsLine(path);
    if (!line || line->empty()) return std::nullopt;
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(line->data(), line->data() + line->size(), v);
    if (ec != std::errc() || end != line->data() + line->size()) return std::nullopt;
    return v;
}

FileSystemProbe ProbeFileSystem(const std::string& path) {
    FileSystemProbe out;
    Probe probe(path);
    if (!probe.pr) return out;
    blkid_probe_enable_superblocks(probe.pr, 1);
    blkid_probe_set_superblocks_flags(
        probe.pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL);
    blkid_probe_enable_partitions(probe.pr, 0);
    if (blkid_do_safeprobe(probe.pr) != 0) return out;
    out.type = Value(probe.pr, "TYPE");
    out.version = Value(probe.pr, "VERSION");
    out.label = Value(probe.pr, "LABEL");
    return out;
}

FileSystemProbe ProbeFileSystemAt(int fd, uint64_t offsetBytes, uint64_t sizeBytes) {
    FileSystemProbe out;
    if (fd < 0 || sizeBytes == 0) return out;
    blkid_probe pr = blkid_new_probe();
    if (!pr) return out;
    if (blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offsetBytes),
                               static_cast<blkid_loff_t>(sizeBytes)) == 0) {
        blkid_probe_enable_superblocks(pr, 1);
        blkid_probe_set_superblocks_flags(
            pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL);
        blkid_probe_enable_partitions(pr, 0);
        if (blkid_do_safeprobe(pr) == 0) {
            out.type = Value(pr, "TYPE");
            out.version = Value(pr, "VERSION");
            out.label = Value(pr, "LABEL");
        }
    }
    blkid_free_probe(pr);
    return out;
}

std::map<int, PartitionTableEntry> ProbePartitionTable(const std::string& diskPath) {
    std::map<int, PartitionTableEntry> table;
    PartitionTable checked;
    std::vector<ListedPartition> listed;
    if (ReadPartitionTable(diskPath, checked, &listed) != kOk) return table;
    // Every entry as the table states it: the kernel lists partitions by the same numbers,
    // including any the checks would clip or merge.
    for (const ListedPartition& p : listed) {
        table[p.entry.number] = PartitionTableEntry{p.entry.mbrType, p.container};
    }
    return table;
}

std::map<std::string, std::string> ReadMountTable(const std::string& mountInfoPath) {
    std::map<std::string, std::string> rootMounts;
    std::map<std::string, std::string> otherMounts;
    std::ifstream in(mountInfoPath);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devId, root, mountPoint;
        if (!(fields >> id >> parent >> devId >> root >> mountPoint)) continue;
        // A bind mount of a subfolder shows the volume's content only in part; the mount of the
        // file system's root is the one whose free space and files stand for the volume.
        auto& target = root == "/" ? rootMounts : otherMounts;
        target.emplace(devId, UnescapeMountPath(mountPoint));
    }
    for (auto& [dev, path] : otherMounts) rootMounts.emplace(dev, path);
    return rootMounts;
}

void NameFileSystem(const FileSystemProbe& probe, uint8_t mbrType, std::string& fsName,
                    uint8_t& fsCode) {
    fsCode = mbrType;
    fsName = probe.type;
    if (probe.type == "ntfs") {
        fsName = "NTFS";
        fsCode = 7;
    } else if (probe.type == "vfat") {
        // FAT12 and FAT16 share one name, as the volume queries of the original platform did.
        const bool fat32 = Upper(probe.version) == "FAT32";
        fsName = fat32 ? "FAT32" : "FAT";
        fsCode = fat32 ? 11 : 6;
    } else if (probe.type == "exfat") {
        fsName = "exFAT";
    }
}

bool IsRemovableKernelDisk(const SystemPaths& paths, const std::string& kernelName) {
    if (kernelName.empty()) return false;
    const std::string dir = paths.sysBlock + "/" + kernelName;
    if (auto flag = ReadSysfsNumber(dir + "/removable"); flag && *flag == 1) return true;
    if (kernelName.rfind("mmcblk", 0) == 0) return true;
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = ::readlink(dir.c_str(), buf.data(), buf.size() - 1);
    if (n <= 0) return false;
    const std::string link(buf.data(), static_cast<size_t>(n));
    return link.find("/usb") != std::string::npos;
}

}  // namespace norvale::detail

namespace norvale {

namespace {

// Vendor and model strings come padded with blanks on both sides (SCSI inquiry fields); a
// hostile or broken device gets no more than a line's worth on screen.
std::string DisplayAttribute(const std::string& path) {
    std::string line = detail::ReadSysfsLine(path).value_or("");
    const size_t first = line.find_first_not_of(" \t");
    line.erase(0, first == std::string::npos ? line.size() : first);
    return line.size() > 256 ? line.substr(0, 256) : line;
}

}  // namespace

DiskFacts ReadDiskFacts(const SystemPaths& paths, const std::string& kernelName) {
    DiskFacts facts;
    if (kernelName.empty() || kernelName.find('/') != std::string::npos) return facts;
    const std::string dir = paths.sysBlock + "/" + kernelName;
    const std::string vendor = DisplayAttribute(dir + "/device/vendor");
    std::string model = DisplayAttribute(dir + "/device/model");
    if (model.empty()) model = DisplayAttribute(dir + "/device/name");  // SD/MMC cards
    facts.model = vendor.empty() ? model : model.empty() ? vendor : vendor + " " + model;
    const auto size512 = detail::ReadSysfsNumber(dir + "/size");
    if (size512 && *size512 <= UINT64_MAX / 512) facts.sizeBytes = *size512 * 512;
    return facts;
}

}  // namespace norvale
