#pragma once
// The partition table at the start of a disk or a whole-disk image, read through libblkid's
// partition probing (DOS/MBR with extended and logical partitions, GPT, and the other schemes
// libblkid knows), then checked against the medium it came from. A table is written by whoever
// last partitioned the card and is read here as hostile input: entries that run past the end,
// overlap, have no length or repeat are reported one line each, and every entry that can still
// be read is kept. Where libblkid passes over a GPT that is still sound (one describing a disk
// larger than the medium, as an incomplete copy does; one behind a wiped first sector; entries
// outside the usable area) it is read from its primary header and the reason reported. The two
// GPT headers are compared, and a damaged primary (libblkid then reads the backup) is reported.

#include <cstdint>
#include <string>
#include <vector>

#include "device/result.h"

namespace norvale {

struct TableEntry {
    int number = 0;            // as the kernel numbers them: MBR 1-4 primary, 5.. logical; GPT 1..
    uint64_t startLba = 0;     // in the medium's logical sectors
    uint64_t sectorCount = 0;  // clipped to the medium's end
    uint8_t mbrType = 0;       // the MBR type byte; 0 on tables without one (GPT)
    std::string typeGuid;      // GPT partition type GUID, lower case; empty on MBR
    std::string name;          // GPT partition name (UTF-8); empty on MBR
    bool logical = false;      // an MBR logical partition inside an extended one
};

struct PartitionTable {
    // libblkid's name: "dos", "gpt", ...; "PMBR" for a protective MBR whose GPT is gone (no
    // entries then); empty: no table.
    std::string scheme;
    // Volumes only, by start (then number), at most kMaxTableEntries: extended containers, entries
    // without length or starting at/after the end of the medium, and repeats of an entry with
    // the same start and length are left out; an entry running past the end is clipped.
    std::vector<TableEntry> entries;
    // One plain line each, naming the partition and sizes in MiB, e.g. "partition 3 runs past the
    // end of the medium (64 MiB): it claims 10 MiB, only its first 4 MiB are read",
    // "partitions 1 and 2 overlap (1: from 1 MiB, 10 MiB long; 2: from 8 MiB, 10 MiB long): both
    // are kept", "the GPT's backup header disagrees with the primary (the backup at sector
    // 131071 has another disk GUID); the primary is used". Empty for a sound table.
    std::vector<std::string> problems;
    uint32_t sectorSize = 512;          // the logical sector size startLba/sectorCount count in
    uint64_t sizeBytes = 0;             // the length of the medium the table was checked against
};

// Reads the table of the medium open on `fd` (`sizeBytes` long, `sectorSize`-byte sectors).
// kOk with an empty scheme when the medium holds no partition table (a card formatted without
// one, a partition image); a read error of the first sector gives its result. Never writes;
// `fd` stays the caller's.
Result ReadPartitionTable(int fd, uint64_t sizeBytes, uint32_t sectorSize, PartitionTable& out);
// The same for the disk or image at `path`, opened read-only.
Result ReadPartitionTable(const std::string& path, PartitionTable& out);

namespace detail {

// Every partition libblkid listed, before the checks: extended containers included, nothing
// clipped, dropped or merged (at most kMaxTableEntries). For the device layer's own callers
// that must tell a container from a missing partition.
struct ListedPartition {
    TableEntry entry;  // startLba/sectorCount as the table states them, in the medium's sectors
    bool container = false;
};
inline constexpr size_t kMaxTableEntries = 256;
Result ReadPartitionTable(int fd, uint64_t sizeBytes, uint32_t sectorSize, PartitionTable& out,
                          std::vector<ListedPartition>* listed);
Result ReadPartitionTable(const std::string& path, PartitionTable& out,
                          std::vector<ListedPartition>* listed);

}  // namespace detail

}  // namespace norvale
