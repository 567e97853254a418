// Free Lossless Audio Codec: "fLaC", metadata blocks (STREAMINFO first), then audio frames.
// A frame states no length: it opens with a header (a sync code, the block's coding, its frame
// or sample number, a CRC-8) and closes with a CRC-16 over all of it. The walk follows the CRC-16
// through the frame data, and a frame ends where the CRC comes out even and the next frame's
// header (or the end of the file) follows. Nothing is decoded.
#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr uint64_t kFlacCap = kCap2GiB;
constexpr uint64_t kFlacFallbackCap = kCap256MiB;
constexpr int kMaxMetadataBlocks = 4096;
constexpr size_t kStreamInfoBytes = 34;
constexpr size_t kMaxFrameHeaderBytes = 16;
constexpr uint64_t kId3v1Bytes = 128;

struct StreamInfo {
    uint32_t minBlock = 0;
    uint32_t maxBlock = 0;
    uint32_t maxFrame = 0;  // 0: not known
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
    uint64_t totalSamples = 0;  // 0: not known
};

uint32_t Be24(const uint8_t* p) {
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

std::optional<StreamInfo> ParseStreamInfo(const uint8_t* p) {
    StreamInfo info;
    info.minBlock = BigEndian16(p);
    info.maxBlock = BigEndian16(p + 2);
    const uint32_t minFrame = Be24(p + 4);
    info.maxFrame = Be24(p + 7);
    info.sampleRate = (uint32_t{p[10]} << 12) | (uint32_t{p[11]} << 4) | (p[12] >> 4);
    info.channels = ((p[12] >> 1) & 7) + 1;
    info.bitsPerSample = (((p[12] & 1) << 4) | (p[13] >> 4)) + 1;
    info.totalSamples = (uint64_t{p[13] & 0x0Fu} << 32) | BigEndian32(p + 14);
    if (info.sampleRate == 0 || info.sampleRate > 655350 || info.bitsPerSample < 4 ||
        info.minBlock < 16 || info.maxBlock < info.minBlock ||
        (minFrame != 0 && info.maxFrame != 0 && minFrame > info.maxFrame)) {
        return std::nullopt;
    }
    return info;
}

constexpr std::array<uint8_t, 256> MakeCrc8Table() {
    std::array<uint8_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x80) ? ((r << 1) ^ 0x07) : r << 1;
        table[i] = static_cast<uint8_t>(r);
    }
    return table;
}
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 8;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000) ? ((r << 1) ^ 0x8005) : r << 1;
        table[i] = static_cast<uint16_t>(r);
    }
    return table;
}
constexpr std::array<uint8_t, 256> kCrc8 = MakeCrc8Table();
constexpr std::array<uint16_t, 256> kCrc16 = MakeCrc16Table();

struct FrameHeader {
    uint32_t bytes = 0;
    bool variableBlocks = false;
    uint64_t number = 0;  // the frame number, or with variable blocks the first sample's
    uint32_t blockSize = 0;
};

// The frame header in `h` (up to kMaxFrameHeaderBytes of the file), when it is one of the
// stream STREAMINFO describes and its CRC-8 checks out.
std::optional<FrameHeader> ParseFrameHeader(ByteSpan h, const StreamInfo& info) {
    if (h.size() < 6 || h[0] != 0xFF || (h[1] & 0xFE) != 0xF8) return std::nullopt;
    FrameHeader frame;
    frame.variableBlocks = (h[1] & 1) != 0;
    const unsigned blockCode = h[2] >> 4;
    const unsigned rateCode = h[2] & 0x0F;
    const unsigned channelCode = h[3] >> 4;
    const unsigned depthCode = (h[3] >> 1) & 7;
    if (blockCode == 0 || rateCode == 15 || channelCode > 10 || depthCode == 3 ||
        (h[3] & 1) != 0) {
        return std::nullopt;
    }
    if ((channelCode < 8 ? channelCode + 1 : 2) != info.channels) return std::nullopt;
    static constexpr uint8_t kDepths[8] = {0, 8, 12, 0, 16, 20, 24, 32};
    if (depthCode != 0 && kDepths[depthCode] != info.bitsPerSample) return std::nullopt;

    // The number, coded like UTF-8 (up to 36 bits in 7 bytes).
    const uint8_t lead = h[4];
    size_t length = 0;
    if (lead < 0x80) {
        length = 1;
    } else {
        while (length < 8 && (lead << length) & 0x80) ++length;
        if (length < 2 || length > 7) return std::nullopt;
    }
    if (length > (frame.variableBlocks ? 7u : 6u)) return std::nullopt;
    size_t at = 4;
    frame.number = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if (at + k >= h.size() || (h[at + k] & 0xC0) != 0x80) return std::nullopt;
        frame.number = (frame.number << 6) | (h[at + k] & 0x3F);
    }
    at += length;

    if (blockCode == 1) {
        frame.blockSize = 192;
    } else if (blockCode <= 5) {
        frame.blockSize = 576u << (blockCode - 2);
    } else if (blockCode == 6) {
        if (at >= h.size()) return std::nullopt;
        frame.blockSize = h[at] + 1u;
        at += 1;
    } else if (blockCode == 7) {
        if (at + 1 >= h.size()) return std::nullopt;
        frame.blockSize = BigEndian16(h.data() + at) + 1u;
        at += 2;
    } else {
        frame.blockSize = 256u << (blockCode - 8);
    }
    if (frame.blockSize > info.maxBlock) return std::nullopt;

    static constexpr uint32_t kRates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                            22050, 24000, 32000,  44100,  48000, 96000};
    uint32_t rate = rateCode < 12 ? kRates[rateCode] : 0;
    if (rateCode == 12) {
        if (at >= h.size()) return std::nullopt;
        rate = h[at] * 1000u;
        at += 1;
    } else if (rateCode == 13 || rateCode == 14) {
        if (at + 1 >= h.size()) return std::nullopt;
        rate = BigEndian16(h.data() + at) * (rateCode == 13 ? 1u : 10u);
        at += 2;
    }
    if (rate != 0 && rate != info.sampleRate) return std::nullopt;

    if (at >= h.size()) return std::nullopt;
    uint8_t crc = 0;
    for (size_t k = 0; k < at; ++k) crc = kCrc8[crc ^ h[k]];
    if (crc != h[at]) return std::nullopt;
    frame.bytes = static_cast<uint32_t>(at + 1);
    return frame;
}

// Up to kMaxFrameHeaderBytes from `offset`, fewer where the window ends.
ByteSpan HeaderBytes(FileWindow& window, uint64_t offset, uint8_t (&buffer)[kMaxFrameHeaderBytes]) {
    if (offset >= window.Limit()) return {};
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, window.Limit() - offset));
    if (!window.Read(offset, std::span(buffer, n))) return {};
    return ByteSpan(buffer, n);
}

// True where a file may end at `offset`: on a sector boundary, before an ID3v1 tag, or before
// nothing but zeros up to the end of its sector.
bool EndShaped(FileWindow& window, uint64_t offset, uint32_t sectorSize) {
    if (offset == window.Limit() || sectorSize == 0 || offset % sectorSize == 0) return true;
    uint8_t tag[3];
    if (window.Read(offset, tag) && tag[0] == 'T' && tag[1] == 'A' && tag[2] == 'G') return true;
    const uint64_t sectorEnd = std::min(offset - offset % sectorSize + sectorSize, window.Limit());
    while (offset < sectorEnd) {
        const ByteSpan zeros = window.View(offset, static_cast<size_t>(sectorEnd - offset));
        if (zeros.empty()) return false;
        if (std::any_of(zeros.begin(), zeros.end(), [](uint8_t b) { return b != 0; })) {
            return false;
        }
        offset += zeros.size();
    }
    return true;
}

class FrameWalk {
  public:
    FrameWalk(FileWindow& window, const StreamInfo& info, uint32_t sectorSize)
        : window_(window), info_(info), sectorSize_(sectorSize) {
        const uint64_t worst = uint64_t{info.maxBlock} * info.channels * info.bitsPerSample / 8;
        maxFrame_ = info.maxFrame != 0 ? info.maxFrame : worst + 1024;
    }

    // Walks the frames from `first`; the end of the last one, or nothing when the frames
    // break off (a CRC that never comes out even within a frame's reach, a next header that is
    // not the next frame, samples STREAMINFO counts that never come).
    std::optional<uint64_t> Run(uint64_t first) {
        uint8_t buffer[kMaxFrameHeaderBytes];
        const std::optional<FrameHeader> header =
            ParseFrameHeader(HeaderBytes(window_, first, buffer), info_);
        if (!header) return std::nullopt;
        Begin(first, *header);
        firstBlockSize_ = header->blockSize;

        uint64_t pos = first;
        uint64_t checked = UINT64_MAX;  // where the last candidate was looked at
        while (pos - start_ <= maxFrame_) {
            const ByteSpan view = window_.View(pos, FileWindow::kMaxView);
            if (view.empty()) break;
            size_t i = 0;
            bool reread = false;
            for (; i < view.size(); ++i) {
                const uint64_t at = pos + i;
                if (crc_ == 0 && at >= start_ + current_.bytes + 3 && at != checked) {
                    // Reading invalidates the view: look, then take it up again from here.
                    checked = at;
                    if (const std::optional<uint64_t> end = Candidate(at, view[i] == 0xFF)) {
                        return end;
                    }
                    reread = true;
                    break;
                }
                crc_ = static_cast<uint16_t>((crc_ << 8) ^ kCrc16[(crc_ >> 8) ^ view[i]]);
            }
            pos += i;
            if (!reread && i < view.size()) break;
        }
        if (window_.Stopped()) return pos;
        // The frame runs to where the window ends.
        if (crc_ == 0 && pos == window_.Limit() && !endCandidate_) endCandidate_ = pos;
        if (endCandidate_ && (info_.totalSamples == 0 || IsLast())) return endCandidate_;
        return std::nullopt;
    }

    bool Stopped() const { return window_.Stopped(); }

  private:
    void Begin(uint64_t at, const FrameHeader& header) {
        start_ = at;
        current_ = header;
        crc_ = 0;
        endCandidate_.reset();
    }

    // The frame's first sample.
    uint64_t FirstSample() const {
        return current_.variableBlocks ? current_.number : current_.number * firstBlockSize_;
    }
    bool IsLast() const {
        return info_.totalSamples != 0 && FirstSample() + current_.blockSize >= info_.totalSamples;
    }

    // At `at` the CRC-16 of the frame so far comes out even: the next frame may begin here, or
    // the file may end. Answers the file's end once it is certain.
    std::optional<uint64_t> Candidate(uint64_t at, bool sync) {
        if (sync) {
            uint8_t buffer[kMaxFrameHeaderBytes];
            const std::optional<FrameHeader> next =
                ParseFrameHeader(HeaderBytes(window_, at, buffer), info_);
            const uint64_t expected = current_.variableBlocks
                                          ? current_.number + current_.blockSize
                                          : current_.number + 1;
            if (next && next->variableBlocks == current_.variableBlocks &&
                next->number == expected) {
                Begin(at, *next);
                return std::nullopt;
            }
        }
        if (!endCandidate_ && EndShaped(window_, at, sectorSize_)) {
            endCandidate_ = at;
            if (IsLast()) return at;
        }
        return std::nullopt;
    }

    FileWindow& window_;
    const StreamInfo& info_;
    uint32_t sectorSize_;
    uint64_t maxFrame_ = 0;
    uint32_t firstBlockSize_ = 0;
    uint64_t start_ = 0;
    FrameHeader current_;
    uint16_t crc_ = 0;
    std::optional<uint64_t> endCandidate_;
};

}  // namespace

FileTypeCode DetectFlac(ByteSpan sector, CarvingContext&) {
    // "fLaC", then STREAMINFO (type 0, 34 bytes) as the first metadata block.
    if (sector.size() < 8 + kStreamInfoBytes || !BytesAt(sector, 0, "fLaC"sv)) {
        return FileTypeCode::kNoFileType;
    }
    if ((sector[4] & 0x7F) != 0 || Be24(sector.data() + 5) != kStreamInfoBytes) {
        return FileTypeCode::kNoFileType;
    }
    return ParseStreamInfo(sector.data() + 8) ? FileTypeCode::kFlac : FileTypeCode::kNoFileType;
}

uint64_t SizeFlac(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kFlacCap);
    const auto broken = [&](uint64_t soundUpTo) {
        context.structureValid = false;
        return std::max(soundUpTo, SizeToBoundary(context, kFlacFallbackCap));
    };
    // The metadata blocks: STREAMINFO first, then any others (a picture may be large), the
    // last one flagged.
    std::optional<StreamInfo> info;
    uint64_t at = 4;
    for (int blocks = 0;; ++blocks) {
        uint8_t head[4];
        if (blocks == kMaxMetadataBlocks || !window.Read(at, head)) return broken(at);
        const unsigned type = head[0] & 0x7F;
        const uint64_t length = Be24(head + 1);
        if (blocks == 0) {
            uint8_t body[kStreamInfoBytes];
            if (type != 0 || length != kStreamInfoBytes || !window.Read(at + 4, body)) {
                return broken(at);
            }
            info = ParseStreamInfo(body);
            if (!info) return broken(at);
        } else if (type == 0 || type == 127) {
            return broken(at);
        }
        at += 4 + length;
        if (at > window.Limit()) return broken(0);
        if (head[0] & 0x80) break;
    }
    FrameWalk walk(window, *info, context.sectorSize);
    const std::optional<uint64_t> end = walk.Run(at);
    if (walk.Stopped()) return std::max<uint64_t>(end.value_or(at), context.sectorSize);
    if (!end) return broken(at);
    uint8_t tag[3];
    if (*end <= window.Limit() - kId3v1Bytes && window.Read(*end, tag) && tag[0] == 'T' &&
        tag[1] == 'A' && tag[2] == 'G') {
        return *end + kId3v1Bytes;
    }
    return *end;
}

}  // namespace norvale
