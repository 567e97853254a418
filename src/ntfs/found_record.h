#pragma once
// MFT file records found anywhere on a source, outside any MFT the scan can trust: the test that
// picks them out of a sector stream, the cluster size their $DATA gives away, the fixups as the
// scan applies them, and what an item is made of. Pure functions over one record's bytes.

#include <cstdint>
#include <span>
#include <string>

#include "ntfs/attribute_values.h"
#include "ntfs/mft_record.h"

namespace norvale {

// Record size the professional scan assumes for a source of `bytesPerSector`-byte sectors: two
// sectors on 512-byte (or smaller) sectors, otherwise one sector.
uint32_t FoundRecordBytes(uint32_t bytesPerSector);

// The candidate-record test applied to every sector of a source: the sector begins with "FILE",
// bytes in use (0x18) are at most the record size, the allocated size (0x1C) equals it, and the
// update sequence number (0x30) equals the last word of the first 512 bytes (0x1FE). `sector`
// holds at least that first sector (512 bytes); a shorter span is refused. Directory records
// pass too: IsDirectoryRecord tells them apart.
bool IsCandidateMftRecord(std::span<const uint8_t> sector, uint32_t bytesPerSector = 512);
// The directory flag (0x16 bit 1) of a record; false for fewer than 0x18 bytes.
bool IsDirectoryRecord(std::span<const uint8_t> record);

// The cluster size (in sectors) a volume of `partitionSectors` sectors was most likely formatted
// with, before any record told better: 8 below 7 MiB (scaled by bytesPerSector / 512), 1 up to
// 512 MiB, 2 up to 1 GiB, 4 up to 2 GiB, 8 above.
uint32_t DefaultSectorsPerCluster(uint32_t bytesPerSector, uint64_t partitionSectors);

// The cluster size (in sectors) that the record's first $DATA gives away: its allocated size
// divided by the clusters its runs cover. 0 when the record tells nothing: no non-resident $DATA
// before an $ATTRIBUTE_LIST, a later extent, runs that do not decode, or a quotient that is no
// cluster size NTFS writes (a power of two, at most 2 MiB, dividing the allocation exactly).
uint32_t SectorsPerClusterFromRecord(std::span<const uint8_t> record, uint32_t bytesPerSector);

// Applies the update sequence fixups of a record found loose. The array's layout must fit the
// record (one entry per 512 bytes, inside the first block); each block's last word is restored
// even when it does not hold the update sequence number, since the candidate test has already
// checked the first block and a record torn further on still carries its name. False when the
// layout does not fit; nothing is changed then.
bool RestoreFoundFixups(std::span<uint8_t> record);

// First-attribute offset <= bytes in use <= record size, and the first attribute inside the
// record.
bool HasUsableHeader(std::span<const uint8_t> record);

// What an item is made of: the first $FILE_NAME (parent, times, stated size), the name to show
// (the first one, replaced by a later Win32 one), and the unnamed $DATA.
struct FoundRecordFacts {
    MftRecordHeader header;
    bool haveName = false;
    FileNameInfo first;
    std::string name;
    bool haveData = false;
    AttributeRef data;  // points into the record given
    uint64_t size = 0;  // from $DATA when there is one, else from $FILE_NAME
};
// Walks the record (fixups applied) up to its bytes in use. False when it holds no readable
// $FILE_NAME.
bool ReadFoundRecordFacts(std::span<const uint8_t> record, FoundRecordFacts& out);

// The first $DATA of the record, as the run loader takes it: kErrNoAttribute when an
// $ATTRIBUTE_LIST comes first (this scan never follows one) or there is no $DATA.
int32_t FirstDataAttribute(std::span<const uint8_t> record, AttributeRef& out);

// True for record 0 of an MFT: number 0 and a $FILE_NAME "$MFT" (any case).
bool IsMftSelfRecord(std::span<const uint8_t> record);

}  // namespace norvale
