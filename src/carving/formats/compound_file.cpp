// Compound files (the container of .doc, .xls, .ppt and many others). The header says nothing
// about the application, so the classifier looks at the first sector after the header (a Word
// or Excel stream often starts there) and at the first directory sector (the root entry's class
// identifier, then the stream names). Compound-file sectors are taken as 512 bytes that map one
// to one onto source sectors, which holds for the version-3 files that office suites write.
#include <limits>
#include <string_view>
#include <vector>

#include "carving/formats/formats.h"
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

}  // namespace norvale
