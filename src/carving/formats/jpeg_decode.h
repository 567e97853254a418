#pragma once
// A JPEG decoding check through libjpeg-turbo: decodes a candidate picture cheaply (1/8 scale,
// fast DCT, no fancy upsampling, no colour conversion) to learn whether its compressed data
// holds together up to the end-of-image marker, and where the decoder gave up when it does not.
// Warnings about corrupt data count as failures. Memory, the bytes read and the stated picture
// size are bounded, so a hostile header cannot make the check allocate or work much.

#include <cstdint>

#include "carving/byte_search.h"

namespace norvale {

// The candidate's bytes as the decoder reads them, in order.
class JpegByteFeed {
  public:
    virtual ~JpegByteFeed() = default;
    // Some of the bytes from `offset` on; empty where the data ends (the medium, the cap, a
    // failed read) or once the user stopped the scan. `offset` is the end of the previous
    // answer, or further on where the decoder skips a segment.
    virtual ByteSpan At(uint64_t offset) = 0;
};

struct JpegDecodeLimits {
    uint64_t maxBytes = 0;     // the decoder reads no byte at or past this offset
    uint64_t maxPixels = 0;    // stated width * height above this is not decoded
    uint64_t maxMemory = 0;    // libjpeg's own allocations, coefficient buffers included
};

enum class JpegDecodeOutcome {
    kWhole,      // decoded to its end-of-image marker without a complaint
    kCorrupt,    // the data broke off or does not decode
    kUnchecked,  // not decoded to the end for lack of budget or support; says nothing
};

struct JpegDecodeResult {
    JpegDecodeOutcome outcome = JpegDecodeOutcome::kUnchecked;
    // kWhole: the offset just past the end-of-image marker; kCorrupt: the read position when
    // the decoder gave up (the fault lies before it).
    uint64_t position = 0;
    bool tooLarge = false;  // kUnchecked because the stated size is above maxPixels
};

JpegDecodeResult DecodeJpeg(JpegByteFeed& feed, const JpegDecodeLimits& limits);

}  // namespace norvale
