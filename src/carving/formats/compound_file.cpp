// Compound files (the container of .doc, .xls, .ppt and many others). The header says nothing
// about the application, so the classifier looks at the first sector after the header (a Word
// or Excel stream often starts there) and at the first directory sector (the root entry's class
// identifier, then the stream names). Compound-file sectors are taken as 512 bytes that map one
// to one onto source sectors, which holds for the version-3 files that office suites write.
//
// The sizer reads the length from the allocation table instead: the file ends with the last
// sector the table describes, less the free entries at the end of its last table sector. It
// works in the file's own sector size (512 or 4096 bytes), whatever the medium's.
#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr std::string_view kCompoundSignature = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv;
constexpr size_t kFirstDirectorySectorOffset = 48;
constexpr size_t kDirectoryEntryBytes = 128;
constexpr size_t kRootClassIdOffset = 80;  // the first entry's class identifier

// The first `name.size()` UTF-16 units of the entry's name equal `name`, ignoring ASCII case.
bool EntryNameStartsWith(const uint8_t* entry, std::string_view name) {
    const auto lower = [](uint16_t c) -> uint16_t { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
    for (size_t i = 0; i < name.size(); ++i) {
        if (lower(Le16(entry + 2 * i)) != lower(static_cast<uint8_t>(name[i]))) return false;
    }
    return true;
}

FileTypeCode ClassifyByClassId(ByteSpan directory) {
    if (directory.size() < kRootClassIdOffset + 16) return FileTypeCode::kNoFileType;
    const uint8_t* id = directory.data() + kRootClassIdOffset;
    const uint32_t a = Le32(id);
    const uint32_t b = Le32(id + 4);
    const uint32_t c = Le32(id + 8);
    const uint32_t d = Le32(id + 12);
    if (b == 0 && c == 0x000000C0 && d == 0x46000000) {
        if (a == 0x00020906) return FileTypeCode::kDoc;
        if (a == 0x00020820 || a == 0x00020810) return FileTypeCode::kXls;
    }
    if (a == 0x64818D10 && b == 0x11CF4F9B && c == 0xAA00EA86 && d == 0xE829B900) {
        return FileTypeCode::kPpt;
    }
    return FileTypeCode::kNoFileType;
}

FileTypeCode ClassifyByStreamNames(ByteSpan directory) {
    for (size_t at = 0; at + kDirectoryEntryBytes <= directory.size(); at += kDirectoryEntryBytes) {
        const uint8_t* entry = directory.data() + at;
        if (EntryNameStartsWith(entry, "WordDocument")) return FileTypeCode::kDoc;
        // Excel's workbook stream is "Workbook"; "Wordbook" stays accepted for compatibility.
        if (EntryNameStartsWith(entry, "Workbook") || EntryNameStartsWith(entry, "Wordbook")) {
            return FileTypeCode::kXls;
        }
        if (EntryNameStartsWith(entry, "PowerPoint Document")) return FileTypeCode::kPpt;
    }
    return FileTypeCode::kNoFileType;
}

constexpr uint64_t kCompoundCap = 0x7FFFFFF;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr size_t kHeaderDifatOffset = 76;
constexpr uint32_t kFirstMarker = 0xFFFFFFFA;  // this and above are markers, not sectors
constexpr uint32_t kFreeEntry = 0xFFFFFFFF;

struct CompoundGeometry {
    uint32_t sectorBytes;       // 512 (version 3) or 4096 (version 4)
    uint32_t entriesPerSector;  // 32-bit entries in one sector
    uint32_t fatSectors;
    uint32_t difatSectors;
    uint32_t firstDifatSector;
};

// The header fields the length depends on, held to what a writer can have set.
std::optional<CompoundGeometry> ReadGeometry(ByteSpan header) {
    if (header.size() < kHeaderDifatOffset + 4 * kHeaderDifatEntries) return std::nullopt;
    const uint8_t* p = header.data();
    const uint16_t shift = Le16(p + 30);
    if (shift != 9 && shift != 12) return std::nullopt;
    const uint32_t entryShift = shift - 2u;
    const uint32_t limit = (0xFFFFFFFAu >> entryShift) + 1;
    const uint32_t fatSectors = Le32(p + 44);
    const uint32_t miniFatSectors = Le32(p + 64);
    const uint32_t difatSectors = Le32(p + 72);
    if (fatSectors > limit || miniFatSectors > limit) return std::nullopt;
    if (limit / ((1u << entryShift) - 1) + 1 < difatSectors) return std::nullopt;
    if (difatSectors != 0 && fatSectors <= 108) return std::nullopt;
    // Every compound file has an allocation table, and without DIFAT sectors the header's
    // own list must name all of it.
    if (fatSectors == 0 || (difatSectors == 0 && fatSectors > kHeaderDifatEntries)) {
        return std::nullopt;
    }
    return CompoundGeometry{1u << shift, 1u << entryShift, fatSectors, difatSectors, Le32(p + 68)};
}

// Compound-file sector `number` (the header is the sector before number 0), read into the work
// buffer; empty when it cannot be read.
ByteSpan ReadCompoundSector(CarvingContext& context, const CompoundGeometry& geometry,
                            uint32_t number) {
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0) return {};
    const uint64_t offset = (uint64_t{number} + 1) * geometry.sectorBytes;
    const uint64_t within = offset % sectorSize;
    const uint64_t count = (within + geometry.sectorBytes + sectorSize - 1) / sectorSize;
    if (count * sectorSize > context.workBuffer.size()) return {};
    if (context.startLba > std::numeric_limits<uint64_t>::max() - offset / sectorSize) return {};
    if (!context.ReadSectors(context.startLba + offset / sectorSize, static_cast<uint32_t>(count),
                             context.workBuffer)) {
        return {};
    }
    return ByteSpan(context.workBuffer).subspan(static_cast<size_t>(within), geometry.sectorBytes);
}

// The number of the allocation table's last sector: from the header's list, or from the DIFAT
// chain when the table has more sectors than the header lists. Nothing when a read fails or
// the chain ends early.
std::optional<uint32_t> LastFatSector(ByteSpan header, const CompoundGeometry& geometry,
                                      CarvingContext& context) {
    uint32_t number = 0;
    if (geometry.fatSectors <= kHeaderDifatEntries) {
        number = Le32(header.data() + kHeaderDifatOffset + 4 * (geometry.fatSectors - 1));
    } else {
        // Each DIFAT sector lists entriesPerSector - 1 table sectors; its last entry links on.
        const uint32_t perDifat = geometry.entriesPerSector - 1;
        const uint32_t listed = geometry.fatSectors - kHeaderDifatEntries;
        const uint32_t needed = listed / perDifat + (listed % perDifat != 0);
        if (needed > geometry.difatSectors) return std::nullopt;
        uint32_t sector = geometry.firstDifatSector;
        // `needed` bounds the walk whatever the links say, so a cycle cannot hold it.
        for (uint32_t i = 1; i <= needed; ++i) {
            if (sector >= kFirstMarker) return std::nullopt;
            const ByteSpan difat = ReadCompoundSector(context, geometry, sector);
            if (difat.empty()) return std::nullopt;
            if (i == needed) {
                const uint32_t inLast = listed % perDifat;
                number = Le32(difat.data() + 4 * (inLast == 0 ? perDifat - 1 : inLast - 1));
            } else {
                sector = Le32(difat.data() + 4 * perDifat);
            }
        }
    }
    if (number >= kFirstMarker) return std::nullopt;
    return number;
}

// Without a usable header: a Chinese-language Word document names itself in its CompObj
// stream, and the carver takes that stream's text as the file's last data. Else the boundary.
uint64_t SizeByWordText(CarvingContext& context) {
    constexpr std::string_view kCompObjHeader = "\x01\x00\xFE\xFF\x03\x0A"sv;
    constexpr std::string_view kWordName = "Microsoft Office Word \xCE\xC4\xB5\xB5"sv;
    const uint32_t sectorSize = context.sectorSize;
    SizerFrame frame(context, kCompoundCap);
    while (frame.Next()) {
        const ByteSpan chunk = frame.Chunk();
        if (!FindForward(chunk, kCompObjHeader)) continue;
        if (const std::optional<size_t> at = FindForward(chunk, kWordName)) {
            const uint64_t end = frame.BytesBeforeChunk() + *at + kWordName.size();
            return frame.Clamp((end + sectorSize - 1) / sectorSize * sectorSize);
        }
    }
    return frame.Length();
}

}  // namespace

FileTypeCode DetectCompoundFile(ByteSpan sector, CarvingContext& context) {
    if (sector.size() < 8 || !BytesAt(sector, 0, kCompoundSignature)) {
        return FileTypeCode::kNoFileType;
    }
    return ClassifyCompoundFile(sector, context);
}

FileTypeCode DetectCompoundFilePrefix(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "\xD0\xCF\x11\xE0"sv) ? FileTypeCode::kFla
                                                    : FileTypeCode::kNoFileType;
}

FileTypeCode ClassifyCompoundFile(ByteSpan header, CarvingContext& context) {
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0 || sectorSize > kCarvingWorkBufferBytes) return FileTypeCode::kOle;
    const uint64_t lba = context.cursorLba;
    if (lba == std::numeric_limits<uint64_t>::max()) return FileTypeCode::kOle;
    std::vector<uint8_t> sector(sectorSize);

    // The sector right after the header: a Word stream opens with its FIB magic, an Excel
    // workbook stream with a BOF record (type 0x0809, length 16, BIFF8).
    if (!context.ReadSectors(lba + 1, 1, sector)) return FileTypeCode::kOle;
    if (sectorSize >= 2 && Le16(sector.data()) == 0xA5EC) return FileTypeCode::kDoc;
    if (sectorSize >= 6 && Le16(sector.data()) == 0x0809 && Le16(sector.data() + 2) == 0x0010 &&
        Le16(sector.data() + 4) == 0x0600) {
        return FileTypeCode::kXls;
    }

    // A header shorter than its directory field (a content check on a few resident bytes)
    // gives nothing more to follow.
    if (header.size() < kFirstDirectorySectorOffset + 4) return FileTypeCode::kOle;
    const uint32_t directorySector = Le32(header.data() + kFirstDirectorySectorOffset);
    if (lba + 1 > std::numeric_limits<uint64_t>::max() - directorySector) return FileTypeCode::kOle;
    if (!context.ReadSectors(lba + 1 + directorySector, 1, sector)) return FileTypeCode::kOle;

    if (const FileTypeCode byId = ClassifyByClassId(sector); byId != FileTypeCode::kNoFileType) {
        return byId;
    }
    if (const FileTypeCode byName = ClassifyByStreamNames(sector);
        byName != FileTypeCode::kNoFileType) {
        return byName;
    }
    return FileTypeCode::kOle;
}

uint64_t SizeCompoundFile(ByteSpan header, CarvingContext& context) {
    const std::optional<CompoundGeometry> geometry = ReadGeometry(header);
    if (!geometry) {
        context.structureValid = false;
        return SizeByWordText(context);
    }
    const uint64_t perTableSector = geometry->entriesPerSector;
    // A length cut by the cap or the medium, or taken from the header's upper bound, is a
    // guess: the file does not check out as it stands.
    const auto finish = [&](uint64_t length, bool exact) {
        const uint64_t bounded = BoundByMedium(std::min(length, kCompoundCap), context);
        if (!exact || bounded != length) context.structureValid = false;
        return bounded;
    };
    // The table describes at most this many sectors, and the file (with its header) is no
    // longer. When even a table whose last sector is all free describes more than the cap,
    // nothing needs reading.
    const uint64_t mostSectors = uint64_t{geometry->fatSectors} * perTableSector + 1;
    if ((mostSectors - perTableSector) * geometry->sectorBytes >= kCompoundCap) {
        return finish(kCompoundCap, false);
    }
    // A table sector that cannot be found or read leaves the header's upper bound: a file
    // carved up to one table sector's worth too long still opens, one cut short does not.
    const std::optional<uint32_t> lastTableSector = LastFatSector(header, *geometry, context);
    if (!lastTableSector) return finish(mostSectors * geometry->sectorBytes, false);
    const ByteSpan table = ReadCompoundSector(context, *geometry, *lastTableSector);
    if (table.empty()) return finish(mostSectors * geometry->sectorBytes, false);
    uint64_t freeAtEnd = 0;
    while (freeAtEnd < perTableSector &&
           Le32(table.data() + 4 * (perTableSector - 1 - freeAtEnd)) == kFreeEntry) {
        ++freeAtEnd;
    }
    // A last table sector with nothing in use is no table a writer leaves.
    return finish((mostSectors - freeAtEnd) * geometry->sectorBytes, freeAtEnd < perTableSector);
}

}  // namespace norvale
