// FAT parsers over arbitrary bytes: the boot-sector test and geometry, every directory-entry
// decoder and block test, and cluster chains of a volume whose every byte is the input.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "device/bytes.h"
#include "device/sector_reader.h"
#include "device/sector_source.h"
#include "fat/boot_sector.h"
#include "fat/directory.h"
#include "fat/directory_scan.h"
#include "fat/fat_table.h"
#include "fat/layout_guess.h"

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

// Loose directory sectors as the professional scan reads them, and layouts inferred from
// anchors taken from the input.
void ScanLooseSectors(std::span<const uint8_t> bytes) {
    const norvale::DirectoryBlockScan scan = norvale::ScanDirectoryBlock(bytes);
    for (const auto& e : scan.entries) {
        if (e.offset + norvale::kDirEntryBytes > bytes.size() || e.name.empty()) __builtin_trap();
    }
    if (scan.hasTail && (scan.tailOffset >= bytes.size() || bytes[scan.tailOffset + 11] != 0x0F)) {
        __builtin_trap();
    }
    (void)norvale::ReadDotSector(bytes);
    uint8_t link = 0;
    if (norvale::LongNameLinkOf(bytes, link) && !norvale::ContinuesLongName(bytes, link, false)) {
        __builtin_trap();
    }

    std::vector<norvale::DotAnchor> anchors;
    for (size_t i = 0; i + 12 <= bytes.size() && anchors.size() < 64; i += 12) {
        anchors.push_back({norvale::Le32(&bytes[i]), norvale::Le64(&bytes[i + 4])});
    }
    for (size_t i = 1; i < anchors.size(); ++i) {
        const auto g = norvale::DeriveLayoutGuess(std::span(anchors).first(i), anchors[i]);
        if (!g) continue;
        // The layout places the anchor it was made from, and maps its sectors back.
        if (norvale::GuessClusterLba(*g, anchors[i].cluster) != anchors[i].lba) __builtin_trap();
        if (norvale::GuessClusterStartingAt(*g, anchors[i].lba) != anchors[i].cluster &&
            anchors[i].cluster <= norvale::kHighestFatCluster) {
            __builtin_trap();
        }
        const auto inside = norvale::GuessClusterContaining(*g, anchors[i].lba + 1);
        if (inside && *inside > norvale::kHighestFatCluster) __builtin_trap();
    }
    if (!anchors.empty()) {
        std::vector<norvale::FatLayoutGuess> guesses;
        for (const auto& a : anchors) guesses.push_back({1u << (a.cluster % 8), a.lba, 32});
        const auto n = norvale::NearestGuess(guesses, true, anchors.back().lba);
        if (!n || *n >= guesses.size()) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    (void)norvale::IsFatBootSector(bytes);
    DecodeEntries(bytes);
    WalkChains(bytes);
    ScanLooseSectors(bytes);
    return 0;
}
