// MPEG audio: MP3 files that open with an ID3v2 tag, and bare MPEG-2 layer II frames.
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

uint64_t SizeMp3(ByteSpan, CarvingContext& context) {
    // An ID3v1 tag, 128 bytes from "TAG", closes the file. The three letters also turn up in
    // audio data, so every later sighting replaces the candidate, and the boundary keeps a
    // sighting past the file's end from counting.
    constexpr uint64_t kTagBytes = 128;
    SizerFrame frame(context, kCap2GiB);
    std::optional<uint64_t> candidate;
    while (frame.Next()) {
        if (const std::optional<size_t> at = FindForward(frame.Chunk(), "TAG"sv)) {
            candidate = frame.BytesBeforeChunk() + *at + kTagBytes;
        }
    }
    const uint64_t length = frame.Length();
    return candidate && *candidate < length ? *candidate : length;
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
