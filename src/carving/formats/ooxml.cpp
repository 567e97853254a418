// Office Open XML packages are ZIP files; the part names say which application wrote them
// ("word/...", "ppt/...", "xl/..."). The classifier reads the first 20 sectors of the candidate
// and looks at the names of local file headers and central directory headers in turn, in the
// order they appear, stopping at the first name it recognises.
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr size_t kCarryBytes = 4;  // a signature split across two reads is still found
constexpr uint32_t kSectorsPerRound = 4;
constexpr int kRounds = 5;
constexpr size_t kLocalNameOffset = 30;
constexpr size_t kCentralNameOffset = 46;
constexpr size_t kCentralMinimumBytes = 48;

bool NameStartsWith(ByteSpan data, size_t at, std::string_view prefix) {
    // One byte more than the prefix must be left, as the name goes on after it.
    if (at >= data.size() || data.size() - at < prefix.size() + 1) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        uint8_t c = data[at + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
        if (c != static_cast<uint8_t>(prefix[i])) return false;
    }
    return true;
}

FileTypeCode ClassifyPartName(ByteSpan data, size_t nameAt) {
    if (NameStartsWith(data, nameAt, "word")) return FileTypeCode::kDocx;
    if (NameStartsWith(data, nameAt, "ppt")) return FileTypeCode::kPptx;
    if (NameStartsWith(data, nameAt, "xl")) return FileTypeCode::kXlsx;
    return FileTypeCode::kNoFileType;
}

// Walks the headers of one kind in buffer order, one at a time.
class HeaderWalk {
  public:
    HeaderWalk(ByteSpan data, std::string_view signature, size_t nameOffset, size_t minimumBytes,
               std::optional<size_t> end)
        : data_(data),
          signature_(signature),
          nameOffset_(nameOffset),
          minimumBytes_(minimumBytes),
          end_(end) {}

    bool Done() const { return done_; }

    // Classifies the next header's name; marks the walk done when there is none.
    FileTypeCode Next() {
        const std::optional<size_t> found = FindForward(data_.subspan(from_), signature_);
        if (!found) {
            done_ = true;
            return FileTypeCode::kNoFileType;
        }
        const size_t at = from_ + *found;
        // Past the end of the central directory lies another file's data.
        if ((end_ && at > *end_) || data_.size() - at < minimumBytes_) {
            done_ = true;
            return FileTypeCode::kNoFileType;
        }
        from_ = at + signature_.size();
        return ClassifyPartName(data_, at + nameOffset_);
    }

  private:
    ByteSpan data_;
    std::string_view signature_;
    size_t nameOffset_;
    size_t minimumBytes_;
    std::optional<size_t> end_;
    size_t from_ = 0;
    bool done_ = false;
};

FileTypeCode ClassifyHeldData(ByteSpan data) {
    const std::optional<size_t> end = FindForward(data, "PK\x05\x06"sv);
    HeaderWalk local(data, "PK\x03\x04"sv, kLocalNameOffset, 0, end);
    HeaderWalk central(data, "PK\x01\x02"sv, kCentralNameOffset, kCentralMinimumBytes, end);
    while (!local.Done() || !central.Done()) {
        if (!local.Done()) {
            if (const FileTypeCode code = local.Next(); code != FileTypeCode::kNoFileType) {
                return code;
            }
        }
        if (!central.Done()) {
            if (const FileTypeCode code = central.Next(); code != FileTypeCode::kNoFileType) {
                return code;
            }
        }
    }
    return FileTypeCode::kNoFileType;
}

}  // namespace

FileTypeCode DetectOoxml(ByteSpan sector, CarvingContext& context) {
    if (sector.size() < 31) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "PK\x03\x04"sv) || BytesAt(sector, 31, "[Content_Types].xml"sv)) {
        return ClassifyOoxml(context);
    }
    return FileTypeCode::kNoFileType;
}

FileTypeCode ClassifyOoxml(CarvingContext& context) {
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0 || sectorSize > kCarvingWorkBufferBytes) return FileTypeCode::kNoFileType;
    const size_t dataBytes = size_t{kSectorsPerRound} * sectorSize;
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(kCarryBytes + dataBytes, 0);
    } catch (const std::bad_alloc&) {
        return FileTypeCode::kNoFileType;
    }

    uint64_t lba = context.cursorLba;
    for (int round = 0; round < kRounds; ++round) {
        if (!context.ReadSectors(lba, kSectorsPerRound, std::span(buffer).subspan(kCarryBytes))) {
            return FileTypeCode::kNoFileType;
        }
        if (const FileTypeCode code = ClassifyHeldData(buffer); code != FileTypeCode::kNoFileType) {
            return code;
        }
        std::memcpy(buffer.data(), buffer.data() + dataBytes, kCarryBytes);
        if (lba > std::numeric_limits<uint64_t>::max() - kSectorsPerRound) break;
        lba += kSectorsPerRound;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeOoxml(ByteSpan sector, CarvingContext& context) {
    return SizeToEndOfCentralDirectory(sector, context, kCap128MiB - 1);
}

}  // namespace norvale
