// Ogg streams: a file is a run of pages ("OggS", version 0, a header-type byte, granule position,
// stream serial number, page sequence number, CRC-32 and a segment table that gives the body's
// length). Each logical stream opens with a page flagged "beginning of stream" and closes with
// one flagged "end of stream"; several may be interleaved, and a new set may follow once all
// are closed (a chained file).
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

constexpr size_t kPageHeaderBytes = 27;
constexpr uint8_t kContinued = 1;
constexpr uint8_t kBeginsStream = 2;
constexpr uint8_t kEndsStream = 4;
constexpr uint64_t kOggCap = kCap2GiB;
constexpr uint64_t kOggFallbackCap = kCap256MiB;
// Logical streams open at once: a film has a few (video, sound, subtitles, a skeleton).
constexpr size_t kMaxStreams = 32;

// Ogg's CRC-32: polynomial 0x04C11DB7, most significant bit first, no reflection, initial value
// and final XOR zero (not the reflected CRC of zlib).
constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        table[i] = r;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint32_t UpdateCrc(uint32_t crc, ByteSpan bytes) {
    for (uint8_t b : bytes) crc = (crc << 8) ^ kCrcTable[(crc >> 24) ^ b];
    return crc;
}

// The page's CRC over its header (with the CRC field taken as zero), segment table and body.
uint32_t PageCrc(ByteSpan headerAndTable, ByteSpan body) {
    uint8_t head[kPageHeaderBytes];
    std::copy_n(headerAndTable.begin(), kPageHeaderBytes, head);
    std::fill_n(head + 22, 4, 0);
    uint32_t crc = UpdateCrc(0, head);
    crc = UpdateCrc(crc, headerAndTable.subspan(kPageHeaderBytes));
    return UpdateCrc(crc, body);
}

// The fixed fields of a page header in `h` (27 bytes) that do not depend on the rest.
bool IsPageHeader(const uint8_t* h) {
    return h[0] == 'O' && h[1] == 'g' && h[2] == 'g' && h[3] == 'S' && h[4] == 0 && h[5] <= 7;
}

struct Page {
    uint8_t flags = 0;
    uint32_t serial = 0;
    uint32_t sequence = 0;
    uint64_t bytes = 0;  // header, segment table and body
};

// The page at `offset` when it is whole within the window and its CRC checks out.
std::optional<Page> ReadPage(FileWindow& window, uint64_t offset) {
    uint8_t head[kPageHeaderBytes + 255];
    if (!window.Read(offset, std::span(head, kPageHeaderBytes)) || !IsPageHeader(head)) {
        return std::nullopt;
    }
    const size_t segments = head[26];
    const ByteSpan table(head + kPageHeaderBytes, segments);
    if (!window.Read(offset + kPageHeaderBytes, std::span(head + kPageHeaderBytes, segments))) {
        return std::nullopt;
    }
    uint64_t body = 0;
    for (uint8_t lacing : table) body += lacing;
    Page page;
    page.flags = head[5];
    page.serial = Le32(head + 14);
    page.sequence = Le32(head + 18);
    page.bytes = kPageHeaderBytes + segments + body;
    if (page.bytes > window.Limit() - offset) return std::nullopt;

    uint8_t zeroed[kPageHeaderBytes];
    std::copy_n(head, kPageHeaderBytes, zeroed);
    std::fill_n(zeroed + 22, 4, 0);
    uint32_t crc = UpdateCrc(UpdateCrc(0, zeroed), table);
    for (uint64_t at = offset + kPageHeaderBytes + segments; at < offset + page.bytes;) {
        const ByteSpan part = window.View(at, static_cast<size_t>(
                                                  std::min<uint64_t>(offset + page.bytes - at,
                                                                     FileWindow::kMaxView)));
        if (part.empty()) return std::nullopt;
        crc = UpdateCrc(crc, part);
        at += part.size();
    }
    if (crc != Le32(head + 22)) return std::nullopt;
    return page;
}

// The logical streams of the current link of the chain.
class OpenStreams {
  public:
    // Takes the page into account; false when it does not fit the streams seen so far (an
    // unknown serial, a sequence number out of order, a stream opened twice).
    bool Take(const Page& page) {
        Stream* stream = Find(page.serial);
        if (page.flags & kBeginsStream) {
            if (stream != nullptr || count_ == kMaxStreams || page.sequence != 0) return false;
            stream = &streams_[count_++];
            *stream = {page.serial, 0, true};
            ++open_;
        } else if (stream == nullptr || !stream->open || page.sequence != stream->nextSequence) {
            return false;
        }
        stream->nextSequence = page.sequence + 1;
        if (page.flags & kEndsStream) {
            stream->open = false;
            --open_;
        }
        return true;
    }
    bool AllClosed() const { return count_ > 0 && open_ == 0; }
    void NextLink() { count_ = open_ = 0; }

  private:
    struct Stream {
        uint32_t serial;
        uint32_t nextSequence;
        bool open;
    };
    Stream* Find(uint32_t serial) {
        for (size_t i = 0; i < count_; ++i) {
            if (streams_[i].serial == serial) return &streams_[i];
        }
        return nullptr;
    }
    std::array<Stream, kMaxStreams> streams_{};
    size_t count_ = 0;
    size_t open_ = 0;
};

}  // namespace

FileTypeCode DetectOgg(ByteSpan sector, CarvingContext&) {
    // The first page of a file begins a stream, holds only the codec's identification packet
    // and sits at granule position 0.
    if (sector.size() < kPageHeaderBytes + 1 || !IsPageHeader(sector.data())) {
        return FileTypeCode::kNoFileType;
    }
    const uint8_t flags = sector[5];
    if ((flags & (kBeginsStream | kContinued)) != kBeginsStream || Le64(sector.data() + 6) != 0 ||
        Le32(sector.data() + 18) != 0 || sector[26] == 0) {
        return FileTypeCode::kNoFileType;
    }
    const size_t packetAt = kPageHeaderBytes + sector[26];
    if (sector.size() < packetAt + 8) return FileTypeCode::kNoFileType;
    const ByteSpan packet = sector.subspan(packetAt);
    const bool opus = BytesAt(packet, 0, "OpusHead"sv);
    uint64_t body = 0;
    for (size_t i = kPageHeaderBytes; i < packetAt; ++i) body += sector[i];
    if (body <= packet.size()) {
        // The whole page is here: its CRC settles it.
        if (PageCrc(sector.first(packetAt), packet.first(static_cast<size_t>(body))) !=
            Le32(sector.data() + 22)) {
            return FileTypeCode::kNoFileType;
        }
        return opus ? FileTypeCode::kOpus : FileTypeCode::kOgg;
    }
    // A long identification packet: only a codec this carver knows.
    constexpr std::string_view kCodecs[] = {"\x01vorbis"sv, "\x7F" "FLAC"sv, "Speex   "sv,
                                            "\x80theora"sv, "fishead\0"sv};
    if (opus) return FileTypeCode::kOpus;
    for (std::string_view codec : kCodecs) {
        if (BytesAt(packet, 0, codec)) return FileTypeCode::kOgg;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeOgg(ByteSpan sector, CarvingContext& context) {
    // Page after page, each checked by its CRC and its place in its stream, until the page
    // that closes the last open stream; a chained file goes on with the first page of a new
    // set of streams right after it. Where the pages stop checking out before every stream is
    // closed, the file is damaged: it runs to its boundary, at least as far as its sound pages.
    FileWindow window(sector, context, kOggCap);
    OpenStreams streams;
    uint64_t at = 0;
    while (!window.Stopped()) {
        const std::optional<Page> page = ReadPage(window, at);
        if (!page) break;
        if (streams.AllClosed()) {
            if (!(page->flags & kBeginsStream)) return at;
            streams.NextLink();
        }
        if (!streams.Take(*page)) break;
        at += page->bytes;
    }
    if (window.Stopped()) return std::max<uint64_t>(at, context.sectorSize);
    if (streams.AllClosed()) return at;
    context.structureValid = false;
    return std::max(at, SizeToBoundary(context, kOggFallbackCap));
}

}  // namespace norvale
