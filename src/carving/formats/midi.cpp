// Standard MIDI files: a 6-byte "MThd" header chunk followed at once by the first "MTrk".
#include <algorithm>
#include <cstring>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectMidi(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 18) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "MThd\x00\x00\x00\x06"sv) && BytesAt(sector, 14, "MTrk"sv)) {
        return FileTypeCode::kMid;
    }
    return FileTypeCode::kNoFileType;
}

namespace {

constexpr uint64_t kMidiCap = 0x800000;  // 8 MiB

// Follows the chain of track chunks: each "MTrk" header (type and BE 32-bit length) is
// followed by its data and then the next header. Bytes are fed in file order; a header that
// straddles two pieces is assembled across them.
class TrackChain {
  public:
    explicit TrackChain(uint32_t tracks) : left_(tracks) {}

    void Feed(ByteSpan data, uint64_t dataStart) {
        while (left_ > 0 && !broken_) {
            const uint64_t need = next_ + have_;
            if (need < dataStart || need - dataStart >= data.size()) return;
            const size_t at = static_cast<size_t>(need - dataStart);
            const size_t take = std::min(sizeof header_ - have_, data.size() - at);
            std::memcpy(header_ + have_, data.data() + at, take);
            have_ += take;
            if (have_ < sizeof header_) return;
            if (std::memcmp(header_, "MTrk", 4) != 0) {
                broken_ = true;
                return;
            }
            next_ += sizeof header_ + BigEndian32(header_ + 4);
            have_ = 0;
            --left_;
        }
    }
    bool Complete() const { return left_ == 0 && !broken_; }
    uint64_t End() const { return next_; }

  private:
    uint64_t next_ = 14;  // the first track follows the 14-byte header chunk
    uint32_t left_;
    uint8_t header_[8] = {};
    size_t have_ = 0;
    bool broken_ = false;
};

// The old rule, for tracks whose ends do not close as tracks must: the header chunk and the
// announced tracks, never more than the boundary allows.
uint64_t ChainWithinBoundary(ByteSpan sector, CarvingContext& context, uint32_t tracks) {
    TrackChain chain(tracks);
    chain.Feed(sector, 0);
    if (chain.Complete() && chain.End() <= sector.size()) return chain.End();

    SizerFrame frame(context, kMidiCap);
    while (frame.Next()) {
        const ByteSpan chunk = frame.Chunk();
        chain.Feed(chunk, frame.BytesBeforeChunk());
        if (!chain.Complete()) continue;
        // Once the last track's end has been read, the boundary can only lie beyond it.
        if (frame.BoundaryHit() || chain.End() <= frame.BytesBeforeChunk() + chunk.size()) {
            const uint64_t end = frame.Clamp(chain.End());
            const uint64_t length = frame.BoundaryHit() ? std::min(frame.Length(), end) : end;
            if (length < chain.End()) context.structureValid = false;
            return length;
        }
    }
    const uint64_t length = frame.Length();
    if (!chain.Complete() || length < chain.End()) {
        context.structureValid = false;
        return length;
    }
    return chain.End();
}

}  // namespace

uint64_t SizeMidi(ByteSpan sector, CarvingContext& context) {
    // The header announces the number of tracks; the file is the header chunk and that many
    // track chunks, each of the length its header states and closed by an end-of-track event
    // (FF 2F 00). Tracks that chain up but do not close so are held to the boundary, and a
    // chain that breaks, or a header that announces no track, leaves only the boundary.
    const uint32_t tracks = sector.size() >= 12 ? BigEndian16(sector.data() + 10) : 0;
    if (tracks == 0) {
        context.structureValid = false;
        return SizeToBoundary(context, kMidiCap);
    }
    FileWindow window(sector, context, kMidiCap);
    uint64_t at = 8 + (sector.size() >= 8 ? BigEndian32(sector.data() + 4) : 6);
    for (uint32_t t = 0; t < tracks && !window.Stopped(); ++t) {
        uint8_t header[8];
        if (!window.Read(at, header) || !std::equal(header, header + 4, "MTrk")) break;
        const uint64_t end = at + 8 + BigEndian32(header + 4);
        uint8_t last[3];
        if (end > window.Limit() || end < at + 8 + 3 || !window.Read(end - 3, last) ||
            last[0] != 0xFF || last[1] != 0x2F || last[2] != 0x00) {
            break;
        }
        at = end;
        if (t + 1 == tracks) return at;
    }
    if (window.Stopped()) return std::max<uint64_t>(at, context.sectorSize);
    return ChainWithinBoundary(sector, context, tracks);
}

}  // namespace norvale
