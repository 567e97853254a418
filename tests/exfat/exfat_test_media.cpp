#include "exfat/exfat_test_media.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "device/sector_source.h"

namespace norvale::testing {
namespace {

std::string FixtureDir() {
    return SourceDir() + "/tests/fixtures/exfat/";
}

}  // namespace

std::vector<ManifestFile> ReadManifest(const std::string& card) {
    std::vector<ManifestFile> files;
    std::ifstream in(FixtureDir() + card + ".manifest");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        ManifestFile f;
        std::string size;
        std::getline(fields, f.state, '\t');
        std::getline(fields, f.path, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, f.sha256, '\t');
        std::getline(fields, f.note);
        f.size = std::stoull(size);
        files.push_back(f);
    }
    return files;
}

std::string UnpackCard(const TempDir& dir, const std::string& image) {
    const std::string path = dir / (image + ".img");
    if (Run("gzip -dc " + ShellQuote(FixtureDir() + image + ".img.gz") + " > " +
            ShellQuote(path)) != 0) {
        return "";
    }
    return path;
}

std::vector<std::pair<std::string, bool>> ReadFlsListing(const std::string& card) {
    std::vector<std::pair<std::string, bool>> listing;
    std::ifstream in(FixtureDir() + card + ".fls");
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string head = line.substr(0, tab);
        const std::string path = line.substr(tab + 1);
        // Files and folders only: not the metadata TSK shows as files, nor its orphans.
        if (head.rfind("r/r", 0) != 0 && head.rfind("d/d", 0) != 0) continue;
        if (path.empty() || path[0] == '$' ||
            path.find("(Volume Label Entry)") != std::string::npos) {
            continue;
        }
        listing.emplace_back("/" + path, head.find('*') != std::string::npos);
    }
    return listing;
}

std::unique_ptr<OpenedExfat> OpenExfatImage(const std::string& path) {
    auto v = std::make_unique<OpenedExfat>();
    if (v->reader.OpenImageFile(path) != kOk) return nullptr;
    if (v->volume.Open(v->reader, 0, 0) != kOk) return nullptr;
    return v;
}

std::unique_ptr<OpenedExfat> OpenExfatBytes(std::vector<uint8_t> bytes, uint32_t sectorSize) {
    auto v = std::make_unique<OpenedExfat>();
    v->reader.Attach(std::make_unique<MemorySource>(std::move(bytes), sectorSize));
    if (v->volume.Open(v->reader, 0, 0) != kOk) return nullptr;
    return v;
}

namespace {

// The clusters of a directory or file: its chain, or `count` contiguous clusters.
std::vector<uint32_t> Clusters(OpenedExfat& v, const ExfatFileEntry& e, uint64_t count) {
    std::vector<uint32_t> clusters;
    const ExfatBootRegion& b = v.volume.Boot();
    if (!e.deleted && !e.noFatChain) {
        (void)v.volume.WalkChain(e.firstCluster, count, clusters);
        return clusters;
    }
    for (uint64_t i = 0; i < count && b.IsHeapCluster(uint64_t{e.firstCluster} + i); ++i) {
        clusters.push_back(static_cast<uint32_t>(e.firstCluster + i));
    }
    return clusters;
}

}  // namespace

std::vector<TreeEntry> ListExfatTree(OpenedExfat& v, bool withDeleted) {
    std::vector<TreeEntry> tree;
    const ExfatBootRegion& b = v.volume.Boot();
    struct Pending {
        std::string path;
        std::vector<uint32_t> clusters;
    };
    std::vector<Pending> todo;
    std::vector<uint32_t> root;
    (void)v.volume.WalkChain(b.rootCluster, 256, root);
    todo.push_back({"", root});
    std::set<uint32_t> seen;
    std::vector<uint8_t> cluster(b.ClusterBytes());
    while (!todo.empty()) {
        Pending dir = std::move(todo.back());
        todo.pop_back();
        if (dir.clusters.empty() || !seen.insert(dir.clusters[0]).second) continue;
        std::vector<uint8_t> bytes;
        std::vector<std::pair<uint32_t, size_t>> origin;  // per cluster: number, first byte
        for (uint32_t c : dir.clusters) {
            if (v.volume.ReadCluster(c, cluster) != kOk) break;
            origin.emplace_back(c, bytes.size());
            bytes.insert(bytes.end(), cluster.begin(), cluster.end());
        }
        for (const ExfatSetAt& set : DecodeDirectoryBlock(bytes)) {
            const ExfatFileEntry& e = set.entry;
            if (e.deleted && !withDeleted) continue;
            TreeEntry t;
            t.path = dir.path + "/" + e.name;
            t.entry = e;
            for (const auto& [number, start] : origin) {
                if (start <= set.offset) {
                    t.setCluster = number;
                    t.setOffset = set.offset - start;
                }
            }
            tree.push_back(t);
            if (e.isFolder && b.IsHeapCluster(e.firstCluster)) {
                const uint64_t count = std::min<uint64_t>(
                    (e.dataLength + b.ClusterBytes() - 1) / b.ClusterBytes(), 256);
                todo.push_back({t.path, Clusters(v, e, count)});
            }
        }
    }
    std::sort(tree.begin(), tree.end(),
              [](const TreeEntry& a, const TreeEntry& c) { return a.path < c.path; });
    return tree;
}

const TreeEntry* FindPath(const std::vector<TreeEntry>& tree, const std::string& path) {
    for (const TreeEntry& t : tree) {
        if (t.path == path) return &t;
    }
    return nullptr;
}

std::vector<uint8_t> ReadFileContent(OpenedExfat& v, const ExfatFileEntry& e) {
    const ExfatBootRegion& b = v.volume.Boot();
    const uint64_t count = (e.dataLength + b.ClusterBytes() - 1) / b.ClusterBytes();
    std::vector<uint32_t> clusters;
    if (e.deleted && !e.noFatChain) {
        // Its chain went with it: the free clusters from the first one on.
        for (uint64_t c = e.firstCluster; clusters.size() < count && b.IsHeapCluster(c); ++c) {
            if (!v.volume.IsClusterInUse(static_cast<uint32_t>(c))) {
                clusters.push_back(static_cast<uint32_t>(c));
            }
        }
    } else {
        clusters = Clusters(v, e, count);
    }
    if (clusters.size() != count) return {};
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> cluster(b.ClusterBytes());
    for (uint32_t c : clusters) {
        if (v.volume.ReadCluster(c, cluster) != kOk) return {};
        bytes.insert(bytes.end(), cluster.begin(), cluster.end());
    }
    bytes.resize(e.dataLength);
    std::fill(bytes.begin() + static_cast<ptrdiff_t>(e.validDataLength), bytes.end(), 0);
    return bytes;
}

std::string Sha256(const std::vector<uint8_t>& bytes) {
    TempDir dir;
    WriteFileBytes(dir / "content", bytes);
    std::string out;
    if (Run("sha256sum < " + ShellQuote(dir / "content"), &out) != 0) return "";
    return out.substr(0, 64);
}

std::string WhyNoExfatFuse() {
    if (geteuid() != 0) return "loop devices and FUSE mounts need root";
    const std::string missing =
        MissingTool({"mkfs.exfat", "mount.exfat-fuse", "losetup", "fusermount"});
    if (!missing.empty()) return missing + " is not installed";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available";
    return "";
}

FuseMount::FuseMount(const std::string& image, const std::string& mountPoint)
    : mountPoint_(mountPoint) {
    std::string out;
    if (Run("losetup -f --show " + ShellQuote(image), &out) != 0 || out.empty()) {
        error_ = "losetup: " + out;
        return;
    }
    loop_ = out.substr(0, out.find('\n'));
    if (Run("mkdir -p " + ShellQuote(mountPoint) + " && mount.exfat-fuse " + ShellQuote(loop_) +
                " " + ShellQuote(mountPoint),
            &out) != 0) {
        error_ = "mount.exfat-fuse: " + out;
        (void)Run("losetup -d " + ShellQuote(loop_));
        loop_.clear();
        return;
    }
    ok_ = true;
}

FuseMount::~FuseMount() {
    Release();
}

void FuseMount::Release() {
    if (ok_) (void)Run("sync; fusermount -u " + ShellQuote(mountPoint_));
    if (!loop_.empty()) (void)Run("losetup -d " + ShellQuote(loop_));
    ok_ = false;
    loop_.clear();
}

}  // namespace norvale::testing
