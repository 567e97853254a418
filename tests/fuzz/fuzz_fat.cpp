// FAT parsers over arbitrary bytes: the boot-sector test and geometry, every directory-entry
// decoder and block test, and cluster chains of a volume whose every byte is the input.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "device/sector_reader.h"
#include "device/sector_source.h"
#include "fat/boot_sector.h"
#include "fat/directory.h"
#include "fat/fat_table.h"

namespace {

void DecodeEntries(std::span<const uint8_t> bytes) {
    (void)norvale::IsDirectoryBlock(bytes);
    (void)norvale::IsDotEntryPair(bytes);
    norvale::LongNameState longName;
    for (size_t i = 0; (i + 1) * norvale::kDirEntryBytes <= bytes.size(); ++i) {
        const auto entry = norvale::EntryAt(bytes, i);
        (void)norvale::IsPlausibleEntry(bytes.subspan(i * norvale::kDirEntryBytes));
        (void)norvale::DecodeEntryTimes(entry);
        (void)norvale::LfnChecksum(entry);
        const norvale::ShortEntry s = norvale::DecodeShortEntry(entry);
        if (s.IsLongName()) {
            if (!norvale::AssembleLongName(longName, entry)) norvale::DropLongName(longName);
            continue;
        }
        const std::string name = norvale::HasLongName(longName)
                                     ? norvale::TakeLongName(longName)
                                     : norvale::DecodeShortName(entry, s.IsDirectory());
        if (name.size() > 3 * 260) __builtin_trap();
    }
}

void WalkChains(std::span<const uint8_t> bytes) {
    const uint64_t sectors = bytes.size() / 512 + 1;
    const norvale::FatGeometry g = norvale::LoadGeometry(bytes, 0, sectors, 512);
    norvale::SectorReader reader;
    reader.Attach(
        std::make_unique<norvale::MemorySource>(std::vector<uint8_t>(bytes.begin(), bytes.end())));
    norvale::FatTable table(reader, g, 1024);
    (void)table.Load();
    for (uint32_t first : {2u, 3u, 17u, norvale::LastCluster(g), g.rootCluster}) {
        std::set<uint32_t> seen;
        for (norvale::ChainWalk walk(table, first, 4096); !walk.Done(); walk.Next()) {
            const uint32_t c = walk.Cluster();
            if (!norvale::IsDataCluster(g, c) || !seen.insert(c).second) __builtin_trap();
            (void)norvale::ClusterToLba(g, c);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    (void)norvale::IsFatBootSector(bytes);
    DecodeEntries(bytes);
    WalkChains(bytes);
    return 0;
}
