// exFAT parsers over arbitrary bytes: the boot region and its probe, every entry set and the
// directory-sector test at each entry, timestamps, chains over the bytes as a FAT, and a whole
// volume read from the bytes (the checksum sector is made to agree, so that damaged structure
// past it is reached).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "device/bytes.h"
#include "device/sector_reader.h"
#include "device/sector_source.h"
#include "exfat/boot_region.h"
#include "exfat/entry_set.h"
#include "exfat/exfat_volume.h"
#include "exfat/fat_chain.h"
#include "exfat/free_space.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void DecodeEntries(std::span<const uint8_t> bytes) {
    for (size_t at = 0; at + norvale::kExfatEntryBytes <= bytes.size();
         at += norvale::kExfatEntryBytes) {
        const auto rest = bytes.subspan(at);
        norvale::ExfatFileEntry e;
        size_t used = 0;
        const auto status = norvale::DecodeEntrySet(rest, e, used);
        if (status == norvale::EntrySetStatus::kOk) {
            Check(used >= 3 && used <= 19 && used * norvale::kExfatEntryBytes <= rest.size());
            Check(!e.name.empty() && e.name.size() <= 3 * norvale::kExfatMaxNameChars);
            Check(e.validDataLength <= e.dataLength);
        } else {
            Check(used == 1);
        }
        (void)norvale::IsExfatDirectorySector(rest.first(std::min<size_t>(rest.size(), 4096)));
        if (rest.size() >= 32) {
            (void)norvale::ExfatTimeToFileTime(norvale::Le32(rest.data() + 8), rest[20], rest[22]);
        }
    }
}

void WalkAsFat(std::span<const uint8_t> bytes) {
    if (bytes.size() < 8) return;
    const uint32_t clusters = norvale::Le32(bytes.data()) % 100000 + 1;
    std::vector<uint32_t> out;
    for (uint32_t first : {2u, 3u, norvale::Le32(bytes.data() + 4)}) {
        (void)norvale::WalkExfatChain(first, clusters, bytes, 1u << 20, out);
        Check(out.size() <= clusters);
    }
}

void ReadVolume(std::span<const uint8_t> bytes) {
    norvale::ExfatBootRegion b;
    if (!norvale::ParseExfatBootSector(bytes, b)) return;
    std::vector<uint8_t> medium(bytes.begin(), bytes.end());
    const uint64_t sector = b.BytesPerSector();
    if (medium.size() >= 12 * sector) {
        const uint32_t sum = norvale::ExfatBootChecksum(medium, b.BytesPerSector());
        for (uint64_t i = 0; i < sector; i += 4) {
            for (int k = 0; k < 4; ++k) medium[11 * sector + i + k] = uint8_t(sum >> (8 * k));
        }
        Check(norvale::IsExfatBootRegion(medium));
    }
    norvale::SectorReader reader;
    reader.Attach(std::make_unique<norvale::MemorySource>(std::move(medium)));
    norvale::ExfatVolume volume;
    if (volume.Open(reader, 0, 0) != norvale::kOk) return;
    const auto& boot = volume.Boot();
    std::vector<uint8_t> cluster(std::min<uint32_t>(boot.ClusterBytes(), 1u << 16));
    std::vector<uint32_t> chain;
    (void)volume.WalkChain(boot.rootCluster, 64, chain);
    std::vector<uint8_t> directory;
    for (uint32_t c : chain) {
        if (cluster.size() < boot.ClusterBytes()) break;
        if (volume.ReadCluster(c, cluster) != norvale::kOk) continue;
        DecodeEntries(cluster);
        directory.insert(directory.end(), cluster.begin(), cluster.end());
    }
    for (const auto& set : norvale::DecodeDirectoryBlock(directory)) {
        Check(set.offset + set.entries * norvale::kExfatEntryBytes <= directory.size());
    }
    for (uint32_t c : {0u, 2u, 3u, boot.rootCluster, boot.clusterCount + 1, ~0u}) {
        uint32_t next = 0;
        (void)volume.NextCluster(c, next);
        (void)volume.IsClusterInUse(c);
    }
    uint64_t free = 0;
    if (volume.CountFreeClusters(free) == norvale::kOk) Check(free <= boot.clusterCount);
    uint32_t first = 0, count = 0;
    int runs = 0;
    for (uint32_t from = 0; runs < 1000 && volume.NextFreeRun(from, first, count); ++runs) {
        Check(first >= from && count > 0 &&
              uint64_t{first} + count <= uint64_t{boot.clusterCount} + 2);
        from = first + count;
    }
    uint64_t bytesFree = 0;
    (void)norvale::CountExfatFreeBytes(reader, 0, 0, bytesFree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    (void)norvale::IsExfatBootRegion(bytes);
    DecodeEntries(bytes.first(std::min<size_t>(size, 8192)));
    WalkAsFat(bytes);
    ReadVolume(bytes);
    return 0;
}
