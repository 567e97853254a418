// SQLite 3 databases: the 16-byte header string.
//
// The length is the page size times the page count, both in the header. SQLite itself trusts
// the stored page count only while the "version valid for" number equals the change counter
// (a writer of before 3.7.0 updated the counter without the count), and so does the sizer; a
// header that fails that, or states a size the medium cannot hold, leaves the old boundary rule.
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectSqlite(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "SQLite format 3\x00"sv) ? FileTypeCode::kDb
                                                       : FileTypeCode::kNoFileType;
}

namespace {

constexpr size_t kHeaderBytes = 100;
constexpr uint8_t kInteriorTablePage = 0x05;
constexpr uint8_t kLeafTablePage = 0x0D;

// The file's length from its header, or 0 when the header does not state a sound one.
uint64_t LengthFromHeader(FileWindow& window) {
    uint8_t h[kHeaderBytes + 1];
    if (!window.Read(0, h)) return 0;
    const uint32_t rawPageSize = BigEndian16(h + 16);
    const uint64_t pageSize = rawPageSize == 1 ? 65536 : rawPageSize;
    // A power of two from 512 to 65536; versions 1 (journal) or 2 (WAL); fixed payload fractions.
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) return 0;
    if (h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2) return 0;
    if (h[21] != 64 || h[22] != 32 || h[23] != 32) return 0;
    if (h[20] >= pageSize - 480) return 0;  // reserved bytes leave a usable page of 480 or more
    const uint32_t changeCounter = BigEndian32(h + 24);
    const uint32_t pageCount = BigEndian32(h + 28);
    const uint32_t validFor = BigEndian32(h + 92);
    if (pageCount == 0 || validFor != changeCounter) return 0;
    // Page 1 holds the schema table: a table b-tree page, whose header follows the file's.
    if (h[kHeaderBytes] != kLeafTablePage && h[kHeaderBytes] != kInteriorTablePage) return 0;
    return pageSize * pageCount;
}

}  // namespace

uint64_t SizeSqlite(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kCap4GiB);
    const uint64_t length = LengthFromHeader(window);
    if (length != 0 && length <= window.Limit()) return length;
    context.structureValid = false;
    return SizeBoundaryOnly4GiB(sector, context);
}

}  // namespace norvale
