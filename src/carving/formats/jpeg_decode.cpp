#include "carving/formats/jpeg_decode.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <limits>

#include <jerror.h>
#include <jpeglib.h>

namespace norvale {

namespace {

// Everything one decoding holds. A plain struct: libjpeg leaves through longjmp, so nothing
// between the setjmp and the jumps may need a destructor.
struct Session {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    jpeg_source_mgr source;
    std::jmp_buf jump;
    JpegByteFeed* feed;
    uint64_t viewOffset;  // offset of the bytes the source manager was last handed
    uint64_t viewBytes;
    uint64_t maxBytes;
    bool corrupt;    // the data broke off or does not decode
    bool tooLarge;   // the stated size is above the limit
    uint64_t failedAt;
};

Session& Of(j_common_ptr info) {
    return *static_cast<Session*>(info->client_data);
}

uint64_t ReadPosition(const Session& s) {
    return s.viewOffset + s.viewBytes - s.source.bytes_in_buffer;
}

// Budget and support failures say nothing about the data; every other error does.
bool IsDataError(int code) {
    switch (code) {
        case JERR_OUT_OF_MEMORY:
        case JERR_NO_BACKING_STORE:
        case JERR_IMAGE_TOO_BIG:
        case JERR_WIDTH_OVERFLOW:
        case JERR_SOF_UNSUPPORTED:
        case JERR_BAD_PRECISION:
        case JERR_NOT_COMPILED:
        case JERR_ARITH_NOTIMPL:
        case JERR_TFILE_CREATE:
        case JERR_TFILE_READ:
        case JERR_TFILE_SEEK:
        case JERR_TFILE_WRITE:
            return false;
        default:
            return true;
    }
}

[[noreturn]] void ErrorExit(j_common_ptr info) {
    Session& s = Of(info);
    const int code = info->err->msg_code;
    if (code == JERR_IMAGE_TOO_BIG || code == JERR_WIDTH_OVERFLOW) s.tooLarge = true;
    if (IsDataError(code) && !s.corrupt) {
        s.corrupt = true;
        s.failedAt = ReadPosition(s);
    }
    std::longjmp(s.jump, 1);
}

// Corrupt-data warnings (level -1) end the check at once; trace messages are ignored.
void EmitMessage(j_common_ptr info, int level) {
    if (level >= 0) return;
    Session& s = Of(info);
    s.corrupt = true;
    s.failedAt = ReadPosition(s);
    std::longjmp(s.jump, 1);
}

void OutputMessage(j_common_ptr) {}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr info) {
    Session& s = Of(reinterpret_cast<j_common_ptr>(info));
    const uint64_t next = s.viewOffset + s.viewBytes;
    if (next >= s.maxBytes) std::longjmp(s.jump, 1);  // out of budget: unchecked
    ByteSpan view = s.feed->At(next);
    if (view.empty()) {
        // The bytes end before the picture does (the medium, the cap, a failed read, a stop).
        s.corrupt = true;
        s.failedAt = next;
        std::longjmp(s.jump, 1);
    }
    if (view.size() > s.maxBytes - next) view = view.first(static_cast<size_t>(s.maxBytes - next));
    s.viewOffset = next;
    s.viewBytes = view.size();
    s.source.next_input_byte = view.data();
    s.source.bytes_in_buffer = view.size();
    return TRUE;
}

void SkipInput(j_decompress_ptr info, long count) {
    if (count <= 0) return;
    Session& s = Of(reinterpret_cast<j_common_ptr>(info));
    const auto n = static_cast<uint64_t>(count);
    if (n <= s.source.bytes_in_buffer) {
        s.source.next_input_byte += n;
        s.source.bytes_in_buffer -= n;
        return;
    }
    // Past what is held: the next fill reads from the skip's end.
    s.viewOffset = ReadPosition(s) + n;
    s.viewBytes = 0;
    s.source.next_input_byte = nullptr;
    s.source.bytes_in_buffer = 0;
}

// The decoding itself. C style on purpose: every exit through longjmp lands here, and no object
// with a destructor lives in this frame or in the frames the jumps pass through.
bool RunDecoder(Session* s, uint64_t maxPixels) {
    if (setjmp(s->jump) != 0) return false;
    if (jpeg_read_header(&s->info, TRUE) != JPEG_HEADER_OK) return false;
    if (uint64_t{s->info.image_width} * s->info.image_height > maxPixels) {
        s->tooLarge = true;
        return false;
    }
    s->info.scale_num = 1;
    s->info.scale_denom = 8;
    s->info.do_fancy_upsampling = FALSE;
    s->info.do_block_smoothing = FALSE;
    s->info.dct_method = JDCT_IFAST;
    s->info.out_color_space = s->info.jpeg_color_space;  // no colour conversion
    if (!jpeg_start_decompress(&s->info)) return false;
    const JDIMENSION rowBytes = s->info.output_width * s->info.output_components;
    JSAMPARRAY row = (*s->info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&s->info),
                                                  JPOOL_IMAGE, rowBytes, 1);
    while (s->info.output_scanline < s->info.output_height) {
        if (jpeg_read_scanlines(&s->info, row, 1) != 1) return false;
    }
    return jpeg_finish_decompress(&s->info) == TRUE;
}

}  // namespace

JpegDecodeResult DecodeJpeg(JpegByteFeed& feed, const JpegDecodeLimits& limits) {
    Session s{};
    s.feed = &feed;
    s.maxBytes = limits.maxBytes;
    s.info.err = jpeg_std_error(&s.errors);
    s.errors.error_exit = ErrorExit;
    s.errors.emit_message = EmitMessage;
    s.errors.output_message = OutputMessage;
    s.info.client_data = &s;
    JpegDecodeResult result;
    // jpeg_create_decompress reports a failure through error_exit as well.
    if (setjmp(s.jump) != 0) return result;
    jpeg_create_decompress(&s.info);
    s.info.mem->max_memory_to_use = static_cast<long>(
        std::min<uint64_t>(limits.maxMemory, std::numeric_limits<long>::max()));
    s.source.init_source = InitSource;
    s.source.fill_input_buffer = FillInput;
    s.source.skip_input_data = SkipInput;
    s.source.resync_to_restart = jpeg_resync_to_restart;
    s.source.term_source = TermSource;
    s.info.src = &s.source;

    const bool whole = RunDecoder(&s, limits.maxPixels);
    if (whole) {
        result.outcome = JpegDecodeOutcome::kWhole;
        result.position = ReadPosition(s);
    } else if (s.corrupt) {
        result.outcome = JpegDecodeOutcome::kCorrupt;
        result.position = s.failedAt;
    }
    result.tooLarge = s.tooLarge;
    jpeg_destroy_decompress(&s.info);
    return result;
}

}  // namespace norvale
