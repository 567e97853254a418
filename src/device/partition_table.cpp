#include "device/partition_table.h"

#include <blkid/blkid.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "device/bytes.h"
#include "device/chunked_io.h"
#include "device/disk_probe.h"
#include "device/sector_source.h"

namespace norvale {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
// Overlapping pairs reported one line each up to here; a table built to overlap everything with
// everything gets one summary line for the rest.
constexpr size_t kMaxOverlapLines = 32;
// A partition-entry array larger than this is not read: the usual one is 16 KiB.
constexpr uint64_t kMaxGptEntryArray = 4 * kMiB;

// libblkid's probe handle, freed on every path out.
struct ProbeHandle {
    ProbeHandle() : pr(blkid_new_probe()) {}
    ~ProbeHandle() {
        if (pr) blkid_free_probe(pr);
    }
    ProbeHandle(const ProbeHandle&) = delete;
    ProbeHandle& operator=(const ProbeHandle&) = delete;
    blkid_probe pr;
};

// Sizes in MiB for people; `sectors` come from the medium, so the product is taken wide.
std::string Mib(uint64_t sectors, uint32_t sectorSize) {
    const unsigned __int128 bytes = static_cast<unsigned __int128>(sectors) * sectorSize;
    char buf[64];
    if (bytes % kMiB == 0 && bytes / kMiB <= UINT64_MAX) {
        std::snprintf(buf, sizeof buf, "%" PRIu64 " MiB", static_cast<uint64_t>(bytes / kMiB));
    } else {
        std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / double(kMiB));
    }
    return buf;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The CRC-32 GPT uses (IEEE 802.3, reflected), zlib's.
uint32_t Crc32(const uint8_t* data, size_t len) {
    return static_cast<uint32_t>(::crc32(0L, data, static_cast<uInt>(len)));
}

bool IsContainerType(int type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

std::string SchemeWithoutTable(int fd, uint64_t sizeBytes, uint32_t sectorSize) {
    ProbeHandle probe;
    if (!probe.pr ||
        blkid_probe_set_device(probe.pr, fd, 0, static_cast<blkid_loff_t>(sizeBytes)) != 0) {
        return {};
    }
    blkid_probe_set_sectorsize(probe.pr, sectorSize);
    blkid_probe_enable_superblocks(probe.pr, 0);
    blkid_probe_enable_partitions(probe.pr, 1);
    const char* data = nullptr;
    size_t len = 0;
    if (blkid_do_safeprobe(probe.pr) != 0 ||
        blkid_probe_lookup_value(probe.pr, "PTTYPE", &data, &len) != 0 || !data) {
        return {};
    }
    return std::string(data, strnlen(data, len));
}

// The libblkid walk: every partition of the medium's own table (tables nested inside a
// partition, such as a BSD label, are not ours to list), at most kMaxTableEntries.
Result ListPartitions(int fd, uint64_t sizeBytes, uint32_t sectorSize, std::string& scheme,
                      std::vector<detail::ListedPartition>& listed, bool& truncated) {
    ProbeHandle probe;
    if (!probe.pr) return kErrNotEnoughMemory;
    if (blkid_probe_set_device(probe.pr, fd, 0, static_cast<blkid_loff_t>(sizeBytes)) != 0) {
        return kErrInvalidParameter;
    }
    // An image file has no sector size of its own; the caller knows the medium's.
    blkid_probe_set_sectorsize(probe.pr, sectorSize);
    blkid_probe_enable_superblocks(probe.pr, 0);
    blkid_probe_enable_partitions(probe.pr, 1);
    blkid_partlist list = blkid_probe_get_partitions(probe.pr);
    if (!list) return kOk;
    blkid_parttable root = blkid_partlist_get_table(list);
    if (!root) {
        // A scheme recognised without a table of entries (a protective MBR whose GPT is gone)
        // has a name only in the probe's values.
        scheme = SchemeWithoutTable(fd, sizeBytes, sectorSize);
        return kOk;
    }
    const char* type = blkid_parttable_get_type(root);
    scheme = type ? type : "";
    const bool dos = scheme == "dos";
    const bool gpt = scheme == "gpt";
    // libblkid counts in 512-byte units whatever the medium's sector size.
    const uint64_t per512 = sectorSize / 512;
    const int n = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < n; ++i) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (!part) continue;
        if (root && blkid_partition_get_table(part) != root) continue;
        if (listed.size() >= detail::kMaxTableEntries) {
            truncated = true;
            break;
        }
        const blkid_loff_t start = blkid_partition_get_start(part);
        const blkid_loff_t size = blkid_partition_get_size(part);
        if (start < 0 || size < 0) continue;
        detail::ListedPartition p;
        TableEntry& e = p.entry;
        e.number = blkid_partition_get_partno(part);
        e.startLba = static_cast<uint64_t>(start) / per512;
        e.sectorCount = static_cast<uint64_t>(size) / per512;
        const int mbrType = blkid_partition_get_type(part);
        if (dos && mbrType >= 0 && mbrType <= 0xFF) e.mbrType = static_cast<uint8_t>(mbrType);
        if (gpt) {
            if (const char* s = blkid_partition_get_type_string(part)) e.typeGuid = Lower(s);
            if (const char* s = blkid_partition_get_name(part)) e.name = s;
        }
        e.logical = blkid_partition_is_logical(part) != 0;
        p.container = blkid_partition_is_extended(part) != 0 || (dos && IsContainerType(mbrType));
        listed.push_back(std::move(p));
    }
    return kOk;
}

// What libblkid passes over in a DOS table without a word, told to the person since a table
// like that was damaged or forged: entries that have a type but no length (libblkid skips them)
// and a chain of extended boot records that leads back into itself (libblkid stops there).
// Only the entries' type and length and the chain's links are looked at (bounded, each sector
// once); the partitions themselves are libblkid's.
void ReportDosEntriesPassedOver(int fd, uint32_t sectorSize, uint64_t mediumSectors,
                                const std::vector<detail::ListedPartition>& listed,
                                std::vector<std::string>& problems) {
    constexpr size_t kEntries = 446;
    std::vector<uint8_t> sector(sectorSize);
    auto read = [&](uint64_t lba) {
        size_t got = 0;
        return PreadUpTo(fd, lba * sectorSize, sector, got) == kOk &&
               got >= 512 && sector[510] == 0x55 && sector[511] == 0xAA;
    };
    if (read(0)) {
        for (int i = 0; i < 4; ++i) {
            const uint8_t* e = &sector[kEntries + 16 * i];
            if (e[4] != 0 && Le32(e + 12) == 0)
                problems.push_back("partition " + std::to_string(i + 1) +
                                   " has no length: it is left out");
        }
    }
    for (const detail::ListedPartition& p : listed) {
        if (!p.container || p.entry.logical) continue;
        const std::string where = "in partition " + std::to_string(p.entry.number);
        const uint64_t base = p.entry.startLba;
        std::vector<uint64_t> visited;
        uint64_t ebr = base;
        while (visited.size() < detail::kMaxTableEntries && ebr < mediumSectors) {
            if (std::find(visited.begin(), visited.end(), ebr) != visited.end()) {
                problems.push_back("the chain of logical partitions " + where +
                                   " leads back to sector " + std::to_string(ebr) +
                                   ": it is followed once, each logical partition read once");
                break;
            }
            visited.push_back(ebr);
            if (!read(ebr)) break;
            const uint8_t* own = &sector[kEntries];
            if (own[4] != 0 && !IsContainerType(own[4]) && Le32(own + 12) == 0)
                problems.push_back("a logical partition " + where + " (its record at sector " +
                                   std::to_string(ebr) + ") has no length: it is left out");
            const uint8_t* link = &sector[kEntries + 16];
            if (!IsContainerType(link[4])) break;  // the last logical partition
            ebr = base + Le32(link + 8);
        }
    }
}

// One GPT header as found at `lba`, checked the way a reader of the table must check it.
struct GptHeader {
    std::string fault;  // empty: the header and its entry array are sound
    uint64_t alternateLba = 0;
    uint64_t firstUsable = 0;
    uint64_t lastUsable = 0;
    uint32_t entryCount = 0;
    uint32_t entrySize = 0;
    uint32_t entriesCrc = 0;
    std::array<uint8_t, 16> diskGuid{};
    std::vector<uint8_t> entries;  // the partition-entry array, kept when it is sound
};

// A header that cannot be read is a damaged one: the last sector of a failing card must not
// cost the card its partitions.
void ReadGptHeader(int fd, uint64_t lba, uint32_t sectorSize, uint64_t mediumSectors,
                   GptHeader& h) {
    h = GptHeader{};
    if (lba >= mediumSectors) {
        h.fault = "a place past the end of the medium";
        return;
    }
    std::vector<uint8_t> sector(sectorSize);
    size_t got = 0;
    if (Result r = PreadUpTo(fd, lba * sectorSize, sector, got); r != kOk) {
        h.fault = "a read error (" + ResultText(r) + ")";
        return;
    }
    if (got < sector.size()) {
        h.fault = "a short read at the end of the medium";
        return;
    }
    const uint8_t* p = sector.data();
    if (std::memcmp(p, "EFI PART", 8) != 0) {
        h.fault = "no GPT signature";
        return;
    }
    const uint32_t headerSize = Le32(p + 12);
    if (headerSize < 92 || headerSize > sectorSize) {
        h.fault = "an impossible header size";
        return;
    }
    const uint32_t storedCrc = Le32(p + 16);
    std::vector<uint8_t> header(p, p + headerSize);
    std::memset(header.data() + 16, 0, 4);
    if (Crc32(header.data(), header.size()) != storedCrc) {
        h.fault = "a wrong header checksum";
        return;
    }
    if (Le64(p + 24) != lba) {
        h.fault = "another sector named as its own";
        return;
    }
    h.alternateLba = Le64(p + 32);
    h.firstUsable = Le64(p + 40);
    h.lastUsable = Le64(p + 48);
    std::memcpy(h.diskGuid.data(), p + 56, 16);
    const uint64_t entriesLba = Le64(p + 72);
    h.entryCount = Le32(p + 80);
    h.entrySize = Le32(p + 84);
    h.entriesCrc = Le32(p + 88);
    const uint64_t arrayBytes = uint64_t{h.entryCount} * h.entrySize;
    if (h.entrySize < 128 || h.entrySize % 8 != 0 || arrayBytes > kMaxGptEntryArray) {
        h.fault = "an implausible partition-entry array";
        return;
    }
    const uint64_t arraySectors = (arrayBytes + sectorSize - 1) / sectorSize;
    if (entriesLba >= mediumSectors || arraySectors > mediumSectors - entriesLba) {
        h.fault = "a partition-entry array past the end of the medium";
        return;
    }
    std::vector<uint8_t> entries(static_cast<size_t>(arrayBytes));
    if (Result r = PreadUpTo(fd, entriesLba * sectorSize, entries, got); r != kOk) {
        h.fault = "a partition-entry array that cannot be read (" + ResultText(r) + ")";
        return;
    }
    if (got < entries.size() || Crc32(entries.data(), entries.size()) != h.entriesCrc) {
        h.fault = "a wrong partition-entry checksum";
        return;
    }
    h.entries = std::move(entries);
}

std::string GuidText(const uint8_t* g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Le32(g),
                  Le16(g + 4), Le16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

// A GPT partition name: UTF-16LE up to the first NUL, as UTF-8; a lone surrogate becomes U+FFFD.
std::string NameText(const uint8_t* p, size_t bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        uint32_t c = Le16(p + i);
        if (c == 0) break;
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes) {
            const uint32_t low = Le16(p + i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The used entries of a sound header's array, numbered by their slot as the kernel and libblkid
// number them. Only for what libblkid will not list (see ReadPartitionTable).
std::vector<detail::ListedPartition> GptEntries(const GptHeader& h) {
    std::vector<detail::ListedPartition> listed;
    static constexpr uint8_t kUnused[16] = {};
    for (uint32_t i = 0; i < h.entryCount && listed.size() < detail::kMaxTableEntries; ++i) {
        const uint8_t* p = h.entries.data() + size_t{i} * h.entrySize;
        if (std::memcmp(p, kUnused, 16) == 0) continue;
        const uint64_t first = Le64(p + 32);
        const uint64_t last = Le64(p + 40);
        detail::ListedPartition e;
        e.entry.number = static_cast<int>(i + 1);
        e.entry.startLba = first;
        e.entry.sectorCount = last >= first && last - first < UINT64_MAX ? last - first + 1 : 0;
        e.entry.typeGuid = GuidText(p);
        e.entry.name = NameText(p + 56, 72);
        listed.push_back(std::move(e));
    }
    return listed;
}

struct GptHeaders {
    GptHeader primary;
    GptHeader backup;
    uint64_t backupLba = 0;
};

// The primary at sector 1; the backup where the primary says, or at the last sector (where
// libblkid looks when the primary is unsound).
GptHeaders ReadGptHeaders(int fd, uint64_t mediumSectors, uint32_t sectorSize) {
    GptHeaders h;
    if (mediumSectors < 3) {
        h.primary.fault = h.backup.fault = "a medium too small to hold one";
        return h;
    }
    ReadGptHeader(fd, 1, sectorSize, mediumSectors, h.primary);
    h.backupLba = mediumSectors - 1;
    if (h.primary.fault.empty() && h.primary.alternateLba > 1 &&
        h.primary.alternateLba < mediumSectors) {
        h.backupLba = h.primary.alternateLba;
    }
    ReadGptHeader(fd, h.backupLba, sectorSize, mediumSectors, h.backup);
    return h;
}

// Compares the two GPT headers; libblkid reads the primary when it is sound and the backup at
// the last sector otherwise, and says neither.
void ReportGptHeaders(const GptHeaders& h, std::vector<std::string>& problems) {
    const GptHeader& primary = h.primary;
    const GptHeader& backup = h.backup;
    const bool primarySound = primary.fault.empty();
    const bool backupSound = backup.fault.empty();
    const std::string where = "sector " + std::to_string(h.backupLba);
    if (primarySound && backupSound) {
        std::vector<std::string> differences;
        if (primary.diskGuid != backup.diskGuid) differences.push_back("another disk GUID");
        if (primary.entriesCrc != backup.entriesCrc ||
            primary.entryCount != backup.entryCount || primary.entrySize != backup.entrySize) {
            differences.push_back("another partition-entry array");
        }
        if (primary.firstUsable != backup.firstUsable || primary.lastUsable != backup.lastUsable)
            differences.push_back("another usable range");
        if (backup.alternateLba != 1) differences.push_back("no pointer back at sector 1");
        if (differences.empty()) return;
        std::string text;
        for (const auto& d : differences) text += (text.empty() ? "" : ", ") + d;
        problems.push_back("the GPT's backup header disagrees with the primary (the backup at " +
                           where + " has " + text + "); the primary is used");
    } else if (primarySound) {
        problems.push_back("the GPT's backup header disagrees with the primary (the backup at " +
                           where + " has " + backup.fault + "); the primary is used");
    } else if (backupSound) {
        problems.push_back("the GPT's primary header is damaged (" + primary.fault +
                           "); the backup header at " + where + " is used");
    } else {
        problems.push_back("both GPT headers are damaged (primary: " + primary.fault +
                           "; backup at " + where + ": " + backup.fault +
                           "); the partitions are read as libblkid found them");
    }
}

std::string Extent(const TableEntry& e, uint32_t sectorSize) {
    return "from " + Mib(e.startLba, sectorSize) + ", " + Mib(e.sectorCount, sectorSize) +
           " long";
}

// Checks the listed volumes against the medium: the rules are in the header.
void CheckEntries(const std::vector<detail::ListedPartition>& listed, uint64_t mediumSectors,
                  uint32_t sectorSize, PartitionTable& out) {
    const std::string medium = Mib(mediumSectors, sectorSize);
    for (const auto& p : listed) {
        if (p.container) continue;
        TableEntry e = p.entry;
        const std::string name = "partition " + std::to_string(e.number);
        if (e.sectorCount == 0) {
            out.problems.push_back(name + " has no length: it is left out");
            continue;
        }
        if (e.startLba >= mediumSectors) {
            out.problems.push_back(name + " starts at " + Mib(e.startLba, sectorSize) +
                                   ", at or past the end of the medium (" + medium +
                                   "): it is left out");
            continue;
        }
        if (e.sectorCount > mediumSectors - e.startLba) {
            const uint64_t kept = mediumSectors - e.startLba;
            out.problems.push_back(name + " runs past the end of the medium (" + medium +
                                   "): it claims " + Mib(e.sectorCount, sectorSize) +
                                   ", only its first " + Mib(kept, sectorSize) + " are read");
            e.sectorCount = kept;
        }
        auto same = std::find_if(out.entries.begin(), out.entries.end(), [&](const TableEntry& o) {
            return o.startLba == e.startLba && o.sectorCount == e.sectorCount;
        });
        if (same != out.entries.end()) {
            out.problems.push_back(name + " repeats partition " + std::to_string(same->number) +
                                   " (" + Extent(e, sectorSize) + "): it is listed once");
            continue;
        }
        out.entries.push_back(std::move(e));
    }
    std::stable_sort(out.entries.begin(), out.entries.end(),
                     [](const TableEntry& a, const TableEntry& b) {
                         return a.startLba != b.startLba ? a.startLba < b.startLba
                                                         : a.number < b.number;
                     });
    size_t overlaps = 0;
    for (size_t i = 0; i < out.entries.size(); ++i) {
        const TableEntry& a = out.entries[i];
        for (size_t j = i + 1; j < out.entries.size(); ++j) {
            const TableEntry& b = out.entries[j];
            // Sorted by start: b starts at or after a; they overlap when b starts before a ends.
            if (b.startLba >= a.startLba + a.sectorCount) break;
            if (++overlaps > kMaxOverlapLines) continue;
            out.problems.push_back("partitions " + std::to_string(a.number) + " and " +
                                   std::to_string(b.number) + " overlap (" +
                                   std::to_string(a.number) + ": " + Extent(a, sectorSize) +
                                   "; " + std::to_string(b.number) + ": " +
                                   Extent(b, sectorSize) + "): both are kept");
        }
    }
    if (overlaps > kMaxOverlapLines) {
        out.problems.push_back(std::to_string(overlaps - kMaxOverlapLines) +
                               " more pairs of partitions overlap: all are kept");
    }
}

// libblkid passes over a GPT entry that leaves the usable area without a word, and over one
// whose end lies before its start; the header it read still lists them, and they are added.
void AddPassedOverGptEntries(const GptHeader& used, uint32_t sectorSize,
                             std::vector<detail::ListedPartition>& listed,
                             std::vector<std::string>& problems) {
    for (auto& e : GptEntries(used)) {
        const int number = e.entry.number;
        if (std::any_of(listed.begin(), listed.end(), [&](const detail::ListedPartition& l) {
                return l.entry.number == number;
            })) {
            continue;
        }
        if (listed.size() >= detail::kMaxTableEntries) break;
        if (e.entry.sectorCount > 0) {
            problems.push_back("partition " + std::to_string(number) +
                               " lies outside the GPT's usable area (" +
                               Extent(e.entry, sectorSize) + ", the area ends at " +
                               Mib(used.lastUsable + 1, sectorSize) + "): it is kept");
        }
        listed.push_back(std::move(e));
    }
}

// The GPTs libblkid does not read although their primary header is sound: one describing a
// disk larger than the medium, which is what an incomplete copy of a disk holds (ddrescue
// stopped early, a card that died mid-copy), and one behind a wiped or rewritten MBR. A stale
// backup header alone (a card partitioned once, then formatted whole) is never taken for a
// table: the primary must be sound, and a volume on the whole medium wins.
void ReadGptLibblkidRefused(int fd, uint64_t sizeBytes, uint32_t sectorSize, PartitionTable& out,
                            std::vector<detail::ListedPartition>& listed) {
    const uint64_t mediumSectors = sizeBytes / sectorSize;
    const bool protectiveMbr = out.scheme == "PMBR";
    if (mediumSectors < 3) return;  // too short for a protective MBR, a header and one entry
    GptHeader primary;
    ReadGptHeader(fd, 1, sectorSize, mediumSectors, primary);
    if (!primary.fault.empty()) {
        if (protectiveMbr) {
            out.problems.push_back(
                "the disk holds a protective MBR but no readable GPT (its primary header has " +
                primary.fault + "): no partitions are listed");
        }
        return;
    }
    if (!protectiveMbr && !detail::ProbeFileSystemAt(fd, 0, sizeBytes).type.empty()) return;
    out.scheme = "gpt";
    listed = GptEntries(primary);
    if (primary.lastUsable >= mediumSectors) {
        out.problems.push_back(
            "the GPT describes a disk larger than the medium (its usable area ends at " +
            Mib(primary.lastUsable + 1, sectorSize) + ", the medium holds " +
            Mib(mediumSectors, sectorSize) +
            "): its partitions are read from the primary header as far as the medium goes");
    } else if (!protectiveMbr) {
        out.problems.push_back(
            "the disk's first sector holds no protective MBR (it was wiped or rewritten): the "
            "partitions are read from the GPT behind it");
        ReportGptHeaders(ReadGptHeaders(fd, mediumSectors, sectorSize), out.problems);
    } else {
        out.problems.push_back(
            "libblkid refused the GPT although its primary header is sound: its partitions are "
            "read from the primary header");
        ReportGptHeaders(ReadGptHeaders(fd, mediumSectors, sectorSize), out.problems);
    }
}

}  // namespace

namespace detail {

Result ReadPartitionTable(int fd, uint64_t sizeBytes, uint32_t sectorSize, PartitionTable& out,
                          std::vector<ListedPartition>* listedOut) {
    out = PartitionTable{};
    if (listedOut) listedOut->clear();
    if (fd < 0) return kErrInvalidHandle;
    if (sectorSize < 512 || sectorSize > 65536 || (sectorSize & (sectorSize - 1)) != 0) {
        return kErrInvalidParameter;
    }
    out.sectorSize = sectorSize;
    out.sizeBytes = sizeBytes;
    const uint64_t mediumSectors = sizeBytes / sectorSize;
    if (mediumSectors == 0) return kOk;
    // libblkid says "nothing found" for a medium it cannot read too; the first sector read here
    // tells an unreadable medium apart from one without a table.
    std::vector<uint8_t> first(sectorSize);
    size_t got = 0;
    if (Result r = PreadUpTo(fd, 0, first, got); r != kOk) return r;

    std::vector<ListedPartition> listed;
    bool truncated = false;
    if (Result r = ListPartitions(fd, sizeBytes, sectorSize, out.scheme, listed, truncated);
        r != kOk)
        return r;
    if (truncated) {
        out.problems.push_back("the partition table lists more than " +
                               std::to_string(kMaxTableEntries) + " partitions: only the first " +
                               std::to_string(kMaxTableEntries) + " are read");
    }
    if (out.scheme == "gpt") {
        const GptHeaders gpt = ReadGptHeaders(fd, mediumSectors, sectorSize);
        ReportGptHeaders(gpt, out.problems);
        const GptHeader* used = gpt.primary.fault.empty()  ? &gpt.primary
                                : gpt.backup.fault.empty() ? &gpt.backup
                                                           : nullptr;
        if (used) AddPassedOverGptEntries(*used, sectorSize, listed, out.problems);
    } else if (out.scheme == "PMBR" || out.scheme.empty()) {
        ReadGptLibblkidRefused(fd, sizeBytes, sectorSize, out, listed);
    }
    if (out.scheme == "dos")
        ReportDosEntriesPassedOver(fd, sectorSize, mediumSectors, listed, out.problems);
    CheckEntries(listed, mediumSectors, sectorSize, out);
    if (listedOut) *listedOut = std::move(listed);
    return kOk;
}

Result ReadPartitionTable(const std::string& path, PartitionTable& out,
                          std::vector<ListedPartition>* listed) {
    out = PartitionTable{};
    if (listed) listed->clear();
    std::unique_ptr<FileSource> file;
    if (Result r = FileSource::Open(path, file); r != kOk) return r;
    return ReadPartitionTable(file->Fd(), file->SizeBytes(), file->SectorSize(), out, listed);
}

}  // namespace detail

Result ReadPartitionTable(int fd, uint64_t sizeBytes, uint32_t sectorSize, PartitionTable& out) {
    return detail::ReadPartitionTable(fd, sizeBytes, sectorSize, out, nullptr);
}

Result ReadPartitionTable(const std::string& path, PartitionTable& out) {
    return detail::ReadPartitionTable(path, out, nullptr);
}

}  // namespace norvale
