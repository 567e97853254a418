// gzip members compressed with deflate. The extra-flags and OS bytes are held to the values
// writers use and the reserved flag bits to zero, because the 3-byte magic alone turns up in
// other data.
//
// The sizer inflates each member with zlib to the end of its deflate stream and checks the
// trailer (the CRC-32 and the length of what was inflated), once through the file: the
// inflated bytes go into one reused buffer and are dropped. Members written one after another
// (`gzip -c a b > c`) make one file as long as each next member checks out too.
#include <zlib.h>

#include <cstring>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kReservedFlags = 0xE0;
constexpr size_t kFixedHeaderBytes = 10;
constexpr size_t kTrailerBytes = 8;
constexpr uint64_t kLongestText = 65536;  // a stored name or comment longer is no gzip header
constexpr uint32_t kMostMembers = 65536;

bool PlausibleFixedHeader(const uint8_t* h) {
    if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 0x08) return false;
    const uint8_t flags = h[3];
    const uint8_t extraFlags = h[8];  // 0: default, 2: best compression, 4: fastest
    const uint8_t os = h[9];
    return (flags & kReservedFlags) == 0 && (extraFlags == 0 || extraFlags == 2 || extraFlags == 4) &&
           (os < 14 || os == 0xFF);
}

// Skips a zero-terminated text at `at`; the offset after its terminator, or 0.
uint64_t SkipText(FileWindow& window, uint64_t at, uLong& crc) {
    for (uint64_t done = 0; done < kLongestText;) {
        const ByteSpan part = window.View(at + done, static_cast<size_t>(kLongestText - done));
        if (part.empty()) return 0;
        const void* zero = std::memchr(part.data(), 0, part.size());
        const size_t used =
            zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - part.data()) + 1
                 : part.size();
        crc = crc32(crc, part.data(), static_cast<uInt>(used));
        done += used;
        if (zero) return at + done;
    }
    return 0;
}

// The offset where the deflate data of the member at `start` begins, or 0.
uint64_t SkipMemberHeader(FileWindow& window, uint64_t start) {
    uint8_t h[kFixedHeaderBytes];
    if (!window.Read(start, h) || !PlausibleFixedHeader(h)) return 0;
    uLong crc = crc32(0, h, sizeof h);
    uint64_t at = start + kFixedHeaderBytes;
    if (h[3] & kFlagExtra) {
        uint8_t length[2];
        if (!window.Read(at, length)) return 0;
        crc = crc32(crc, length, 2);
        const uint64_t extraBytes = length[0] | (length[1] << 8);
        for (uint64_t done = 0; done < extraBytes;) {
            const ByteSpan part = window.View(at + 2 + done, static_cast<size_t>(extraBytes - done));
            if (part.empty()) return 0;
            crc = crc32(crc, part.data(), static_cast<uInt>(part.size()));
            done += part.size();
        }
        at += 2 + extraBytes;
    }
    if ((h[3] & kFlagName) && (at = SkipText(window, at, crc)) == 0) return 0;
    if ((h[3] & kFlagComment) && (at = SkipText(window, at, crc)) == 0) return 0;
    if (h[3] & kFlagHeaderCrc) {
        const std::optional<uint16_t> stored = window.Le16(at);
        if (!stored || *stored != (crc & 0xFFFF)) return 0;
        at += 2;
    }
    return at;
}

class Inflater {
  public:
    Inflater() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ready_) inflateEnd(&stream_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Inflates the raw deflate stream at `at` to its end into `scratch`, bytes discarded. The
    // offset just past the stream, with the CRC-32 and the length (mod 2^32) of what came out;
    // 0 when the stream is broken or cut off.
    uint64_t Run(FileWindow& window, uint64_t at, std::span<uint8_t> scratch, uLong& crc,
                 uint32_t& inflatedBytes) {
        if (!ready_ || inflateReset(&stream_) != Z_OK) return 0;
        crc = crc32(0, nullptr, 0);
        inflatedBytes = 0;
        for (;;) {
            const ByteSpan input = window.View(at, FileWindow::kMaxView);
            if (input.empty()) return 0;  // cut off by the medium or the cap, or stopped
            stream_.next_in = const_cast<Bytef*>(input.data());
            stream_.avail_in = static_cast<uInt>(input.size());
            int status = Z_OK;
            while (stream_.avail_in > 0 && status == Z_OK) {
                stream_.next_out = scratch.data();
                stream_.avail_out = static_cast<uInt>(scratch.size());
                status = inflate(&stream_, Z_NO_FLUSH);
                const size_t produced = scratch.size() - stream_.avail_out;
                crc = crc32(crc, scratch.data(), static_cast<uInt>(produced));
                inflatedBytes += static_cast<uint32_t>(produced);
                if (status == Z_BUF_ERROR && stream_.avail_out != 0) status = Z_OK;
            }
            at += input.size() - stream_.avail_in;
            if (status == Z_STREAM_END) return at;
            if (status != Z_OK && status != Z_BUF_ERROR) return 0;
        }
    }

  private:
    z_stream stream_{};
    bool ready_ = false;
};

// The offset just past the member at `start` when it checks out, else 0.
uint64_t MemberEnd(FileWindow& window, uint64_t start, Inflater& inflater,
                   std::span<uint8_t> scratch) {
    const uint64_t data = SkipMemberHeader(window, start);
    if (data == 0) return 0;
    uLong crc = 0;
    uint32_t inflatedBytes = 0;
    const uint64_t end = inflater.Run(window, data, scratch, crc, inflatedBytes);
    if (end == 0) return 0;
    const std::optional<uint32_t> storedCrc = window.Le32(end);
    const std::optional<uint32_t> storedSize = window.Le32(end + 4);
    if (!storedCrc || !storedSize || *storedCrc != crc || *storedSize != inflatedBytes) return 0;
    return end + kTrailerBytes;
}

}  // namespace

FileTypeCode DetectGzip(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16 || !BytesAt(sector, 0, "\x1F\x8B\x08"sv)) {
        return FileTypeCode::kNoFileType;
    }
    return PlausibleFixedHeader(sector.data()) ? FileTypeCode::kGz : FileTypeCode::kNoFileType;
}

uint64_t SizeGzip(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kCap6GiB);
    Inflater inflater;
    const std::span<uint8_t> scratch(context.workBuffer);
    uint64_t end = MemberEnd(window, 0, inflater, scratch);
    if (end == 0) {
        context.structureValid = false;
        if (window.Stopped()) return context.sectorSize;
        return SizeBoundaryOnly6GiB(sector, context);
    }
    for (uint32_t member = 1; member < kMostMembers && !window.Stopped(); ++member) {
        const uint64_t next = MemberEnd(window, end, inflater, scratch);
        if (next == 0) break;
        end = next;
    }
    return end;
}

}  // namespace norvale
