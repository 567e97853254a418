// Standard MIDI files: a 6-byte "MThd" header chunk followed at once by the first "MTrk".
#include <cstring>
#include <string_view>

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

}  // namespace

uint64_t SizeMidi(ByteSpan sector, CarvingContext& context) {
    // The header announces the number of tracks; the file is the header chunk and that many
    // track chunks, never more than its boundary allows. A chain that breaks, or a header that
    // announces no track, leaves only the boundary to go by.
    const uint32_t tracks = sector.size() >= 12 ? BigEndian16(sector.data() + 10) : 0;
    if (tracks == 0) return SizeToBoundary(context, kMidiCap);
    TrackChain chain(tracks);
    chain.Feed(sector, 0);
    if (chain.Complete() && chain.End() <= sector.size()) return chain.End();

    SizerFrame frame(context, kMidiCap);
    while (frame.Next()) {
        const ByteSpan chunk = frame.Chunk();
        chain.Feed(chunk, frame.BytesBeforeChunk());
        if (!chain.Complete()) continue;
        if (frame.BoundaryHit()) return std::min(frame.Length(), frame.Clamp(chain.End()));
        // Once the last track's end has been read, the boundary can only lie beyond it.
        if (chain.End() <= frame.BytesBeforeChunk() + chunk.size()) {
            return frame.Clamp(chain.End());
        }
    }
    const uint64_t length = frame.Length();
    return chain.Complete() ? std::min(length, chain.End()) : length;
}

}  // namespace norvale
