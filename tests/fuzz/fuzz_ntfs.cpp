// NTFS parsers over arbitrary bytes: the boot-sector test and geometry, record fixups, the
// attribute walk, run lists, $FILE_NAME and $STANDARD_INFORMATION values, attribute lists,
// a whole volume (MFT runs, attribute lists followed, the bitmap) whose every byte is the
// input, the professional scan's view of a record found loose (candidate test, cluster size,
// facts, the placement of its MFT), and LZNT1.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "device/sector_reader.h"
#include "device/sector_source.h"
#include "ntfs/attribute_values.h"
#include "ntfs/boot_sector.h"
#include "ntfs/found_record.h"
#include "ntfs/lznt1.h"
#include "ntfs/mft_placement.h"
#include "ntfs/mft_record.h"
#include "ntfs/mft_scanner.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/run_list.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void WalkList(std::span<const uint8_t> list) {
    norvale::AttributeListWalker walk(list);
    norvale::AttributeListEntry e;
    size_t n = 0;
    while (walk.Next(e)) Check(++n <= list.size() / 0x1A);
}

void ParseRecord(std::span<const uint8_t> bytes, size_t recordSize) {
    if (bytes.size() < recordSize) return;
    std::vector<uint8_t> record(bytes.begin(), bytes.begin() + long(recordSize));
    (void)norvale::PrepareRecord(record);
    norvale::AttributeWalker walk(record);
    norvale::AttributeRef a;
    size_t steps = 0;
    while (walk.Next(a)) {
        Check(++steps <= recordSize / 24);
        Check(a.bytes.data() >= record.data() &&
              a.bytes.data() + a.bytes.size() <= record.data() + record.size());
        (void)norvale::AttributeNameUtf8(a);
        if (a.nonResident) {
            std::vector<norvale::DataRun> runs;
            (void)norvale::DecodeRunList(a.bytes, 1000000, runs);
            Check(runs.size() <= a.bytes.size() / 2);
            for (const norvale::DataRun& r : runs) Check(r.sparse || r.lcn + r.length <= 1000000);
            norvale::NonResidentHeader h;
            (void)norvale::DecodeNonResident(a, h);
            continue;
        }
        const std::span<const uint8_t> value = norvale::ResidentValue(a);
        norvale::FileNameInfo name;
        if (norvale::DecodeFileName(value, name)) Check(name.name16.size() <= 255);
        norvale::StandardInfo info;
        (void)norvale::DecodeStandardInformation(value, info);
        if (a.type == norvale::kAttrAttributeList) WalkList(value);
    }
}

void ReadVolume(std::span<const uint8_t> bytes) {
    norvale::SectorReader reader;
    reader.Attach(
        std::make_unique<norvale::MemorySource>(std::vector<uint8_t>(bytes.begin(), bytes.end())));
    norvale::NtfsVolume volume(reader);
    if (volume.Open(0, 0) != norvale::kOk) return;
    (void)volume.LoadMftRuns();
    std::vector<uint8_t> bitmap;
    (void)volume.ReadClusterBitmap(bitmap);
    std::vector<uint8_t> record(volume.RecordBytes());
    std::vector<uint8_t> content(4096);
    for (uint64_t n : {0ull, 5ull, 6ull, 30ull, 64ull}) {
        norvale::AttributeData data;
        if (volume.LoadAttribute(n, norvale::kAttrData, u"", data) == norvale::kOk &&
            data.realSize > 0) {
            const size_t want = size_t(std::min<uint64_t>(data.realSize, content.size()));
            (void)volume.ReadAttributeBytes(data, 0, std::span(content).first(want));
        }
    }
    norvale::MftScanner scan(volume, 16);
    if (scan.Init() != norvale::kOk) return;
    for (int batches = 0; batches < 64; ++batches) {
        if (scan.Next() == norvale::kOk && scan.Count() == 0) break;
    }
}

void ParseFoundRecord(std::span<const uint8_t> bytes, uint32_t sectorBytes) {
    const uint32_t recordBytes = norvale::FoundRecordBytes(sectorBytes);
    (void)norvale::IsCandidateMftRecord(bytes, sectorBytes);
    if (bytes.size() < recordBytes) return;
    std::vector<uint8_t> record(bytes.begin(), bytes.begin() + long(recordBytes));
    if (!norvale::RestoreFoundFixups(record) || !norvale::HasUsableHeader(record)) return;
    const uint32_t spc = norvale::SectorsPerClusterFromRecord(record, sectorBytes);
    Check(spc == 0 || (spc & (spc - 1)) == 0);
    norvale::FoundRecordFacts facts;
    (void)norvale::ReadFoundRecordFacts(record, facts);
    (void)norvale::IsMftSelfRecord(record);
    norvale::AttributeRef data;
    if (norvale::FirstDataAttribute(record, data) != norvale::kOk || !data.nonResident) return;
    std::vector<norvale::DataRun> runs;
    (void)norvale::DecodeRunList(data.bytes, 0, runs);
    norvale::MftPlacement mft;
    if (!norvale::BuildMftPlacement(1u << 20, runs, spc ? spc : 8, 0, mft)) return;
    for (uint64_t n : {0ull, 1ull, 64ull, 100000ull, ~0ull}) {
        (void)norvale::PlaceRecord(mft, n, 2);
        (void)norvale::ExtrapolateRecord(1u << 20, 64, n, 2);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    if (norvale::IsNtfsBootSector(bytes)) {
        norvale::NtfsGeometry g;
        (void)norvale::LoadNtfsGeometry(bytes, 0, size / 512, 512, g);
    }
    ParseRecord(bytes, 1024);
    ParseRecord(bytes, 4096);
    std::vector<norvale::DataRun> runs;
    (void)norvale::DecodeMappingPairs(bytes, 0, runs);
    WalkList(bytes);
    ParseFoundRecord(bytes, 512);
    ParseFoundRecord(bytes, 4096);
    std::vector<uint8_t> unit(16 * 4096);
    (void)norvale::DecompressLznt1(bytes, unit);
    ReadVolume(bytes);
    return 0;
}
