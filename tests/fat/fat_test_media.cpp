#include "fat/fat_test_media.h"

#include <cstdio>
#include <fstream>
#include <set>

#include "support/test_support.h"

namespace norvale::testing {

bool HaveFatTools() {
    for (const char* tool : {"mkfs.fat", "fsck.fat", "mcopy", "mdel", "mmd", "mshowfat"}) {
        if (!HaveTool(tool)) return false;
    }
    return true;
}

bool MakeFatImage(const std::string& path, const std::string& mkfsArgs, uint64_t sizeKiB) {
    return Run("mkfs.fat -C " + mkfsArgs + " '" + path + "' " + std::to_string(sizeKiB) +
               " >/dev/null") == 0;
}

bool Mtools(const std::string& command, std::string* output) {
    return Run("MTOOLS_SKIP_CHECK=1 TZ=UTC " + command, output) == 0;
}

std::vector<uint32_t> MtoolsChain(const std::string& image, const std::string& path) {
    std::string out;
    if (!Mtools("mshowfat -i '" + image + "' '::" + path + "'", &out)) return {};
    // "::/big.bin <8-17> <24-1185>"
    std::vector<uint32_t> chain;
    for (size_t open = out.find('<'); open != std::string::npos; open = out.find('<', open + 1)) {
        unsigned long first = 0, last = 0;
        char dash = 0;
        const int n = std::sscanf(out.c_str() + open, "<%lu%c%lu>", &first, &dash, &last);
        if (n < 2) continue;
        if (dash != '-') last = first;
        for (unsigned long c = first; c <= last; ++c) chain.push_back(static_cast<uint32_t>(c));
    }
    return chain;
}

std::unique_ptr<OpenedVolume> OpenVolume(std::unique_ptr<ISectorSource> source,
                                         uint32_t windowBytes) {
    auto v = std::make_unique<OpenedVolume>();
    std::vector<uint8_t> boot(4096);
    size_t got = 0;
    if (source->ReadAt(0, boot, got) != kOk) return nullptr;
    boot.resize(got);
    const uint64_t sectors = source->SizeBytes() / 512;
    v->reader.Attach(std::move(source));
    v->geometry = LoadGeometry(boot, 0, sectors, 512);
    v->table = std::make_unique<FatTable>(v->reader, v->geometry, windowBytes);
    (void)v->table->Load();
    return v;
}

std::unique_ptr<OpenedVolume> OpenImage(const std::string& path, uint32_t windowBytes) {
    std::unique_ptr<FileSource> file;
    if (FileSource::Open(path, file) != kOk) return nullptr;
    return OpenVolume(std::move(file), windowBytes);
}

std::unique_ptr<OpenedVolume> OpenBytes(std::vector<uint8_t> bytes, uint32_t windowBytes) {
    return OpenVolume(std::make_unique<MemorySource>(std::move(bytes)), windowBytes);
}

std::vector<uint32_t> WalkChain(FatTable& table, uint32_t first) {
    std::vector<uint32_t> chain;
    for (ChainWalk walk(table, first); !walk.Done(); walk.Next()) chain.push_back(walk.Cluster());
    return chain;
}

std::vector<uint8_t> ReadDirectory(OpenedVolume& v, uint32_t cluster) {
    const FatGeometry& g = v.geometry;
    std::vector<uint8_t> bytes;
    auto readAt = [&](uint64_t lba, uint32_t sectors) {
        std::vector<uint8_t> block(size_t{sectors} * g.bytesPerSector);
        uint32_t got = 0;
        (void)v.reader.ReadSectors(sectors, block.data(), lba, g.bytesPerSector, got);
        block.resize(size_t{got} * g.bytesPerSector);
        bytes.insert(bytes.end(), block.begin(), block.end());
    };
    if (cluster == 0 && !g.isFat32) {
        readAt(ClusterToLba(g, 0), g.rootDirSectors);
        return bytes;
    }
    // A directory holds at most 65536 entries; a deleted one's cleared chain would otherwise
    // run on through all the free space behind it.
    const uint64_t maxClusters = (65536 * kDirEntryBytes + g.clusterBytes - 1) / g.clusterBytes;
    for (ChainWalk walk(*v.table, cluster, maxClusters); !walk.Done(); walk.Next()) {
        readAt(ClusterToLba(g, walk.Cluster()), g.sectorsPerCluster);
    }
    return bytes;
}

std::vector<ListedEntry> ListDirectory(const std::vector<uint8_t>& bytes, bool fat32,
                                       bool withDeleted) {
    std::vector<ListedEntry> out;
    LongNameState longName;
    const std::span<const uint8_t> all(bytes);
    for (size_t i = 0; (i + 1) * kDirEntryBytes <= bytes.size(); ++i) {
        const DirEntryBytes e = EntryAt(all, i);
        if (e[0] == kEntryEnd) break;
        if (!IsPlausibleEntry(all.subspan(i * kDirEntryBytes))) {
            DropLongName(longName);
            continue;
        }
        const ShortEntry s = DecodeShortEntry(e);
        if (s.IsLongName()) {
            if (!AssembleLongName(longName, e)) break;
            continue;
        }
        if (s.IsVolumeLabel() || e[0] == '.' || (s.IsDeleted() && !withDeleted)) {
            DropLongName(longName);
            continue;
        }
        ListedEntry item;
        item.name =
            HasLongName(longName) ? TakeLongName(longName) : DecodeShortName(e, s.IsDirectory());
        item.entry = s;
        item.times = DecodeEntryTimes(e);
        item.firstCluster = s.FirstCluster(fat32);
        out.push_back(item);
        DropLongName(longName);
    }
    return out;
}

namespace {

void ListTreeFrom(OpenedVolume& v, uint32_t key, const std::string& path, bool withDeleted,
                  std::set<uint32_t>& visited, std::map<std::string, ListedEntry>& out) {
    if (!visited.insert(key).second) return;
    for (const auto& e : ListDirectory(ReadDirectory(v, key), v.geometry.isFat32, withDeleted)) {
        const std::string p = path + "/" + e.name;
        out[p] = e;
        if (e.entry.IsDirectory() && e.firstCluster != 0) {
            ListTreeFrom(v, e.firstCluster, p, withDeleted, visited, out);
        }
    }
}

}  // namespace

std::map<std::string, ListedEntry> ListTree(OpenedVolume& v, bool withDeleted) {
    std::map<std::string, ListedEntry> out;
    std::set<uint32_t> visited;
    ListTreeFrom(v, v.geometry.rootCluster, "", withDeleted, visited, out);
    return out;
}

std::vector<uint8_t> ReadBootBlock(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(4096);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

}  // namespace norvale::testing
