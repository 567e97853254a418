// Advanced Systems Format (wmv, wma, asf): a header object, identified by its GUID, then the data
// object and the index objects, each a GUID and a 64-bit size that counts the object whole.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr std::string_view kHeaderObject =
    "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv;
constexpr std::string_view kDataObject =
    "\x36\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv;
// The objects that may follow the data object.
constexpr std::array<std::string_view, 4> kIndexObjects = {
    "\x90\x08\x00\x33\xB1\xE5\xCF\x11\x89\xF4\x00\xA0\xC9\x03\x49\xCB"sv,  // simple index
    "\xD3\x29\xE2\xD6\xDA\x35\xD1\x11\x90\x34\x00\xA0\xC9\x03\x49\xBE"sv,  // index
    "\xF8\x03\xB1\xFE\xAD\x12\x64\x4C\x84\x0F\x2A\x1D\x2F\x7A\xD4\x8C"sv,  // media object index
    "\xD0\x3F\xB7\x3C\x4A\x0C\x03\x48\x95\x3D\xED\xF7\xB6\x22\x8F\x0C"sv,  // timecode index
};
constexpr uint64_t kObjectHeaderBytes = 24;  // GUID and size
constexpr uint64_t kDataObjectMinBytes = 50;
constexpr int kMaxIndexObjects = 64;

// The file size the header's file-properties object states, when the header holds one in its
// first sector and the file was not written as a live stream.
std::optional<uint64_t> DeclaredFileSize(ByteSpan sector) {
    constexpr std::string_view kFileProperties =
        "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65"sv;
    constexpr size_t kSearchFrom = 30;  // past the header object's own fields
    constexpr size_t kFileSizeOffset = 40;
    constexpr size_t kFlagsOffset = 88;
    constexpr uint32_t kBroadcast = 1;
    if (sector.size() <= kSearchFrom) return std::nullopt;
    const std::optional<size_t> found = FindForward(sector.subspan(kSearchFrom), kFileProperties);
    if (!found) return std::nullopt;
    const size_t object = kSearchFrom + *found;
    if (object + kFlagsOffset + 4 > sector.size()) return std::nullopt;
    if (Le32(sector.data() + object + kFlagsOffset) & kBroadcast) return std::nullopt;
    return Le64(sector.data() + object + kFileSizeOffset);
}

bool GuidAt(FileWindow& window, uint64_t offset, std::string_view guid) {
    const ByteSpan bytes = window.View(offset, guid.size());
    return bytes.size() == guid.size() && BytesAt(bytes, 0, guid);
}

// The end of the object walk, or nothing where it breaks off.
std::optional<uint64_t> WalkObjects(FileWindow& window) {
    const std::optional<uint64_t> headerBytes = window.Le64(16);
    if (!headerBytes || *headerBytes < 30 || *headerBytes > window.Limit()) return std::nullopt;
    const uint64_t dataAt = *headerBytes;
    if (!GuidAt(window, dataAt, kDataObject)) return std::nullopt;
    const std::optional<uint64_t> dataBytes = window.Le64(dataAt + 16);
    if (!dataBytes || *dataBytes < kDataObjectMinBytes || *dataBytes > window.Limit() - dataAt) {
        return std::nullopt;
    }
    uint64_t at = dataAt + *dataBytes;
    for (int objects = 0; objects < kMaxIndexObjects; ++objects) {
        if (window.Stopped()) return std::nullopt;
        const ByteSpan guid = window.View(at, 16);
        const bool index =
            guid.size() == 16 && std::any_of(kIndexObjects.begin(), kIndexObjects.end(),
                                             [&](auto g) { return BytesAt(guid, 0, g); });
        if (!index) return at;
        const std::optional<uint64_t> bytes = window.Le64(at + 16);
        if (!bytes || *bytes < kObjectHeaderBytes || *bytes > window.Limit() - at) {
            return std::nullopt;
        }
        at += *bytes;
    }
    return std::nullopt;
}

}  // namespace

FileTypeCode DetectAsf(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 24) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, kHeaderObject)) return FileTypeCode::kWmv;
    return FileTypeCode::kNoFileType;
}

uint64_t SizeAsf(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kCap256MiB);
    const std::optional<uint64_t> walked = WalkObjects(window);
    const std::optional<uint64_t> declared = DeclaredFileSize(sector);
    // A stated file size that disagrees with the walk means a header or an object size is
    // damaged: neither can be trusted.
    // A stop makes every later read fail, which would end the walk early.
    if (walked && !window.Stopped() && (!declared || *declared == *walked)) return *walked;
    context.structureValid = false;
    if (window.Stopped()) return context.sectorSize;
    if (!declared) return context.sectorSize;
    return BoundByMedium(std::min(*declared, kCap256MiB), context);
}

}  // namespace norvale
