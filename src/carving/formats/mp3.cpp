// MPEG audio: MP3 files that open with an ID3v2 tag, and bare MPEG-2 layer II frames.
#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectId3Mp3(ByteSpan sector, CarvingContext&) {
    // The tag header is 10 bytes: "ID3", version (2), flags, and a 28-bit size in four
    // 7-bit bytes.
    if (sector.size() < 10 || !BytesAt(sector, 0, "ID3"sv)) return FileTypeCode::kNoFileType;
    if (sector[3] == 0xFF || sector[4] == 0xFF) return FileTypeCode::kNoFileType;
    if ((sector[5] & 0x1F) != 0) return FileTypeCode::kNoFileType;
    for (size_t i = 6; i < 10; ++i) {
        if (sector[i] >= 0x80) return FileTypeCode::kNoFileType;
    }
    return FileTypeCode::kMp3;
}

FileTypeCode DetectMpegAudioFrame(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "\xFF\xFD\xE4\x00"sv) ? FileTypeCode::kMp2
                                                    : FileTypeCode::kNoFileType;
}

namespace {

// Length in bytes of the MPEG audio frame whose header is `h`; 0 when `h` is no frame header
// (or a free-format one, whose length the header does not give).
uint32_t MpegFrameBytes(const uint8_t h[4]) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
    const unsigned version = (h[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
    const unsigned layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I, 0: reserved
    const unsigned bitrateIndex = h[2] >> 4;
    const unsigned rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
        return 0;
    }
    static constexpr uint16_t kKbps[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // 1, I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // 1, II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // 1, III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // 2, I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // 2, II/III
    };
    static constexpr uint32_t kRates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const unsigned row = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
    const uint32_t bitrate = kKbps[row][bitrateIndex] * 1000u;
    const uint32_t rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const uint32_t padding = (h[2] >> 1) & 1;
    if (layer == 3) return (12 * bitrate / rate + padding) * 4;
    const uint32_t perFrame = (layer == 1 && !mpeg1) ? 72 : 144;
    return perFrame * bitrate / rate + padding;
}

// Follows the frames of an MPEG audio stream through the bytes handed to it in file order,
// and notes whether an ID3v1 tag ("TAG" and 125 more bytes) stands where the frames end.
class Mp3FrameWalk {
  public:
    explicit Mp3FrameWalk(uint64_t firstFrame) : next_(firstFrame) {}

    // `data` holds the file's bytes from offset `base` on; calls come in file order.
    void Feed(uint64_t base, ByteSpan data) {
        for (; !ended_; ++next_) {
            uint8_t h[4];
            if (!Gather(base, data, next_, h)) {
                // Bytes before this piece that were never handed over: the frames cannot be
                // followed through the gap. Otherwise the header lies further on.
                if (next_ < base) ended_ = true;
                break;
            }
            if (started_ || h[0] != 0) {
                started_ = true;
                if (h[0] == 'T' && h[1] == 'A' && h[2] == 'G') {
                    tagEnd_ = next_ + kTagBytes;
                    ended_ = true;
                    break;
                }
                const uint32_t bytes = MpegFrameBytes(h);
                if (bytes < 4) {
                    ended_ = true;
                    break;
                }
                next_ += bytes - 1;  // the loop adds the last one
            }
            // Zeros before the first frame are padding after the ID3v2 tag.
        }
        // Keep the last bytes: a header can begin in this piece and end in the next.
        const size_t keep = std::min<size_t>(data.size(), sizeof carry_);
        carryBase_ = base + data.size() - keep;
        carryBytes_ = keep;
        std::copy(data.end() - keep, data.end(), carry_);
    }

    bool Ended() const { return ended_; }
    // The end of an ID3v1 tag that follows the last frame directly.
    std::optional<uint64_t> TagEnd() const { return tagEnd_; }

  private:
    static constexpr uint64_t kTagBytes = 128;

    // The four bytes at `offset`, from `data` or from the end of the previous piece.
    bool Gather(uint64_t base, ByteSpan data, uint64_t offset, uint8_t out[4]) const {
        for (uint64_t k = 0; k < 4; ++k) {
            const uint64_t at = offset + k;
            if (at >= base && at - base < data.size()) {
                out[k] = data[at - base];
            } else if (at >= carryBase_ && at - carryBase_ < carryBytes_) {
                out[k] = carry_[at - carryBase_];
            } else {
                return false;
            }
        }
        return true;
    }

    uint64_t next_;
    bool started_ = false;
    bool ended_ = false;
    std::optional<uint64_t> tagEnd_;
    uint8_t carry_[3] = {};
    uint64_t carryBase_ = 0;
    size_t carryBytes_ = 0;
};

}  // namespace

uint64_t SizeMp3(ByteSpan sector, CarvingContext& context) {
    // An ID3v1 tag closes the file only where the frame stream ends: "TAG" turns up inside
    // audio data too. Where the frames cannot be followed to such a tag (damage, a stream this
    // walk does not know), the file runs to its boundary as any file without an end marker.
    if (sector.size() < 10) return SizeToBoundary(context, kCap2GiB);
    const uint64_t tagSize = (uint64_t{sector[6]} << 21) | (uint64_t{sector[7]} << 14) |
                             (uint64_t{sector[8]} << 7) | sector[9];
    const uint64_t footer = (sector[5] & 0x10) ? 10 : 0;
    Mp3FrameWalk walk(10 + tagSize + footer);
    walk.Feed(0, sector);
    SizerFrame frame(context, kCap2GiB);
    while (!walk.Ended() && frame.Next()) walk.Feed(frame.BytesBeforeChunk(), frame.Chunk());
    if (const std::optional<uint64_t> end = walk.TagEnd()) {
        // The tag must lie before the boundary and within the cap.
        while (*end > frame.Length() && frame.Next()) {
        }
        if (*end <= frame.Length()) return *end;
    }
    while (frame.Next()) {
    }
    return frame.Length();
}

uint64_t SizeMpegAudioFrames(ByteSpan, CarvingContext& context) {
    // Every frame opens with the header the detector looks for, and every few frames one
    // starts a sector: those frames continue the stream rather than begin another.
    SizerFrame frame(context, kCap256MiB, FileTypeCode::kMp2);
    while (frame.Next()) {
    }
    return frame.Length();
}

}  // namespace norvale
