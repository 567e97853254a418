// SQLite 3 databases: the 16-byte header string.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectSqlite(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "SQLite format 3\x00"sv) ? FileTypeCode::kDb
                                                       : FileTypeCode::kNoFileType;
}

uint64_t SizeSqlite(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly4GiB(sector, context);
}

}  // namespace norvale
