// Types whose length cannot be told from their header and that carry no end marker the carver
// could trust: the file runs to the next boundary, at most the cap in the sizer's name.
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

uint64_t SizeBoundaryOnly128MiB(ByteSpan, CarvingContext& context) {
    return SizeToBoundary(context, kCap128MiB);
}

uint64_t SizeBoundaryOnly256MiB(ByteSpan, CarvingContext& context) {
    return SizeToBoundary(context, kCap256MiB);
}

uint64_t SizeBoundaryOnly2GiB(ByteSpan, CarvingContext& context) {
    return SizeToBoundary(context, kCap2GiB);
}

uint64_t SizeBoundaryOnly4GiB(ByteSpan, CarvingContext& context) {
    return SizeToBoundary(context, kCap4GiB);
}

uint64_t SizeBoundaryOnly6GiB(ByteSpan, CarvingContext& context) {
    return SizeToBoundary(context, kCap6GiB);
}

uint64_t SizeBoundaryOnly64GiB(ByteSpan, CarvingContext& context) {
    return SizeToBoundary(context, kCap64GiB);
}

}  // namespace norvale
