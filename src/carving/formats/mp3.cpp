// MPEG audio: MP3 files that open with an ID3v2 tag, and bare MPEG-2 layer II frames.
#include <algorithm>
#include <optional>
#include <span>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

namespace {

// A file without an ID3v2 tag opens with the encoder's information frame: an MPEG audio layer III
// header whose side information is followed by "Xing" or "Info" (or "VBRI" at a fixed place).
bool IsInformationFrame(ByteSpan sector) {
    if (sector.size() < 40 || sector[0] != 0xFF || (sector[1] & 0xE6) != 0xE2) return false;
    const unsigned version = (sector[1] >> 3) & 3;
    if (version == 1 || (sector[2] >> 4) == 15 || (sector[2] & 0x0C) == 0x0C) return false;
    const bool mono = (sector[3] >> 6) == 3;
    const size_t sideInfo = version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    const size_t at = 4 + sideInfo + ((sector[1] & 1) ? 0 : 2);
    return BytesAt(sector, at, "Xing"sv) || BytesAt(sector, at, "Info"sv) ||
           BytesAt(sector, 36, "VBRI"sv);
}

}  // namespace

FileTypeCode DetectId3Mp3(ByteSpan sector, CarvingContext&) {
    if (IsInformationFrame(sector)) return FileTypeCode::kMp3;
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

// What every frame of one stream shares: MPEG version, layer and sample rate.
uint32_t StreamShape(const uint8_t h[4]) {
    return (uint32_t{h[1]} & 0x1E) << 8 | (h[2] & 0x0C);
}

constexpr uint64_t kMp3Cap = kCap2GiB;
constexpr uint64_t kMp2Cap = kCap256MiB;
constexpr uint64_t kId3v1Bytes = 128;
constexpr uint64_t kApeTagBytes = 32;  // its header and its footer each
// Zero bytes that writers leave between an ID3v2 tag and the first frame.
constexpr uint64_t kMaxPaddingAfterTag = 0x10000;
// How far back from where the frames end an APE tag that has no header may begin.
constexpr uint64_t kMaxApeTagWithoutHeader = 0x10000;

enum class RunEnd {
    kNoFrame,     // no frame header where the walk ends
    kFrameCut,    // a frame that the medium, the cap or a failed read cuts short
    kStopped,     // the user stopped the scan
};

struct FrameRun {
    uint64_t end = 0;  // just past the last whole frame
    uint64_t frames = 0;
    RunEnd why = RunEnd::kNoFrame;
};

// Follows the frames from `offset` while each header is one of the same stream. A header is
// read from the window four bytes at a time, so the walk reads each window it lands in once.
FrameRun WalkFrames(FileWindow& window, uint64_t offset) {
    FrameRun run;
    run.end = offset;
    std::optional<uint32_t> shape;
    while (true) {
        uint8_t h[4];
        if (!window.Read(run.end, h)) {
            run.why = window.Stopped() ? RunEnd::kStopped : RunEnd::kNoFrame;
            return run;
        }
        const uint32_t bytes = MpegFrameBytes(h);
        if (bytes < 4 || (shape && *shape != StreamShape(h))) return run;
        shape = StreamShape(h);
        if (bytes > window.Limit() - run.end) {
            run.why = RunEnd::kFrameCut;
            return run;
        }
        run.end += bytes;
        ++run.frames;
    }
}

bool HasBytes(FileWindow& window, uint64_t offset, std::string_view text) {
    uint8_t b[8];
    if (text.size() > sizeof b || !window.Read(offset, std::span(b, text.size()))) return false;
    return std::equal(text.begin(), text.end(), b,
                      [](char c, uint8_t x) { return static_cast<uint8_t>(c) == x; });
}

// The end of an APE tag that begins at `offset` with its header, or whose footer (the tag
// having no header) closes exactly where it would begin at `offset` and end within reach.
std::optional<uint64_t> ApeTagEnd(FileWindow& window, uint64_t offset) {
    uint8_t h[kApeTagBytes];
    if (window.Read(offset, h) && std::equal(h, h + 8, "APETAGEX")) {
        const uint32_t flags = Le32(h + 20);
        const uint64_t size = Le32(h + 12);  // the items and the footer
        if ((flags & 0x20000000) == 0 || size < kApeTagBytes) return std::nullopt;
        const uint64_t end = offset + kApeTagBytes + size;
        if (end > window.Limit() || !HasBytes(window, end - kApeTagBytes, "APETAGEX")) {
            return std::nullopt;
        }
        return end;
    }
    // No header: look for the footer the tag's size puts it at.
    for (uint64_t at = offset; at < offset + kMaxApeTagWithoutHeader;) {
        const ByteSpan view = window.View(at, FileWindow::kMaxView);
        if (view.size() < 8) return std::nullopt;
        const std::optional<size_t> found = FindForward(view, "APETAGEX"sv);
        if (!found) {
            at += view.size() - 7;
            continue;
        }
        const uint64_t footer = at + *found;
        uint8_t f[kApeTagBytes];
        if (!window.Read(footer, f)) return std::nullopt;
        const uint64_t size = Le32(f + 12);
        if ((Le32(f + 20) & 0x20000000) == 0 && size >= kApeTagBytes &&
            footer + kApeTagBytes - size == offset) {
            return footer + kApeTagBytes;
        }
        at = footer + 1;
    }
    return std::nullopt;
}

// The tags that writers put after the last frame, an APE tag and an ID3v1 tag, in either
// order: where they end.
uint64_t TagsAfterFrames(FileWindow& window, uint64_t end) {
    bool id3v1 = false;
    bool ape = false;
    for (int i = 0; i < 2; ++i) {
        if (!id3v1 && end <= window.Limit() - kId3v1Bytes && HasBytes(window, end, "TAG"sv)) {
            end += kId3v1Bytes;
            id3v1 = true;
        } else if (!ape) {
            const std::optional<uint64_t> apeEnd = ApeTagEnd(window, end);
            if (!apeEnd) break;
            end = *apeEnd;
            ape = true;
        }
    }
    return end;
}

}  // namespace

uint64_t SizeMp3(ByteSpan sector, CarvingContext& context) {
    // The ID3v2 tag states its size; the frames follow (zero padding before the first is
    // passed over), each header giving the frame's length, and an APE tag and an ID3v1 tag may
    // close the file. "TAG" turns up inside audio data too: it counts only where the frames
    // end. Where no frame follows the tag, or the medium cuts the frames short, the file runs
    // to its boundary as any file without an end marker.
    if (sector.size() < 10) return SizeToBoundary(context, kMp3Cap);
    FileWindow window(sector, context, kMp3Cap);
    if (!BytesAt(sector, 0, "ID3"sv)) {
        const FrameRun run = WalkFrames(window, 0);
        if (run.why == RunEnd::kStopped) return std::max<uint64_t>(run.end, context.sectorSize);
        if (run.why == RunEnd::kFrameCut) {
            context.structureValid = false;
            return SizeToBoundary(context, kMp3Cap);
        }
        return TagsAfterFrames(window, run.end);
    }
    const uint64_t tagSize = (uint64_t{sector[6]} << 21) | (uint64_t{sector[7]} << 14) |
                             (uint64_t{sector[8]} << 7) | sector[9];
    const uint64_t footer = (sector[5] & 0x10) ? 10 : 0;
    uint64_t first = 10 + tagSize + footer;
    for (const uint64_t stop = first + kMaxPaddingAfterTag; first < stop;) {
        const ByteSpan view = window.View(first, static_cast<size_t>(stop - first));
        const auto nonzero = std::find_if(view.begin(), view.end(), [](uint8_t b) { return b; });
        first += static_cast<uint64_t>(nonzero - view.begin());
        if (view.empty() || nonzero != view.end()) break;
    }
    const FrameRun run = WalkFrames(window, first);
    if (run.why == RunEnd::kStopped) return std::max<uint64_t>(run.end, context.sectorSize);
    if (run.frames == 0 || run.why == RunEnd::kFrameCut) {
        // A free-format stream (bitrate index 0) is sound but states no frame length.
        uint8_t h[4];
        const bool freeFormat = run.frames == 0 && window.Read(first, h) && h[0] == 0xFF &&
                                (h[1] & 0xE0) == 0xE0 && (h[2] >> 4) == 0;
        if (!freeFormat) context.structureValid = false;
        return SizeToBoundary(context, kMp3Cap);
    }
    return TagsAfterFrames(window, run.end);
}

uint64_t SizeMpegAudioFrames(ByteSpan sector, CarvingContext& context) {
    // A bare run of frames, each header giving its frame's length: the file ends after the
    // last whole frame of the run. One that the medium cuts short ends the run there too.
    FileWindow window(sector, context, kMp2Cap);
    const FrameRun run = WalkFrames(window, 0);
    if (run.why == RunEnd::kStopped) return std::max<uint64_t>(run.end, context.sectorSize);
    if (run.frames == 0) {
        context.structureValid = false;
        return SizeToBoundary(context, kMp2Cap);
    }
    if (run.why == RunEnd::kFrameCut) context.structureValid = false;
    return run.end;
}

}  // namespace norvale
