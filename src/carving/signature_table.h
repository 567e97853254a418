#pragma once
// The file signature catalogue: the ordered rows of carvable types, each with its extension,
// its type code, the detector that recognises the type's first sector and the sizer that finds
// where such a file ends. Row order is behaviour: detectors are tried in row order, so an
// earlier row wins a tie (compound files are typed doc/xls/ppt/ole before the bare compound-file
// prefix of fla; an OOXML-looking ZIP is tried as docx/xlsx/pptx before plain zip), and the
// first row of a code gives the extension that a carved file of that code receives.

#include <cstdint>
#include <span>
#include <string_view>

#include "carving/byte_search.h"
#include "carving/carving_context.h"
#include "carving/file_type.h"

namespace norvale {

// Looks at the first sector of a candidate (the span may be shorter than a sector when a
// content check hands a small resident stream) and returns its family's code or kNoFileType.
using SignatureDetector = FileTypeCode (*)(ByteSpan sector, CarvingContext& context);
// Given the same first sector, returns the file's length in bytes, reading ahead on the
// context's source where the format needs it.
using LengthSizer = uint64_t (*)(ByteSpan sector, CarvingContext& context);

struct SignatureRow {
    const char* extension;  // without the dot, lower case
    FileTypeCode code;
    SignatureDetector detector;  // never null
    LengthSizer sizer;           // null: recognised (it ends other files) but never carved
};

inline constexpr size_t kSignatureRowCount = 105;

// The catalogue in row order, kSignatureRowCount rows.
std::span<const SignatureRow> FileSignatureTable();

// What a detector needs to see before it can answer: it answers kNoFileType for every span of
// at least kGatedSpanBytes bytes unless the byte at `first.offset` is one of `first.values`,
// or (when `second.values` is not empty) the byte at `second.offset` is one of `second.values`.
// The catalogue's lookup uses this to leave out detectors that cannot answer for a sector; a
// detector without a gate is asked about every sector. A gate that leaves out a byte its
// detector accepts loses files, so it lists every first byte of every magic the detector
// tests and stays beside the catalogue, where a changed detector is checked against it.
inline constexpr size_t kGatedSpanBytes = 32;  // every offset below lies inside this

struct LeadBytes {
    uint8_t offset = 0;
    std::string_view values;  // the byte values allowed at `offset`; empty: none
};

struct DetectorGate {
    SignatureDetector detector;
    LeadBytes first;
    LeadBytes second;
};

// One gate per detector that has one.
std::span<const DetectorGate> DetectorGates();

// The first row carrying `code`, or null (kNoFileType and unknown values).
const SignatureRow* FirstRowOfType(FileTypeCode code);
// The first row whose extension equals `extension` ignoring ASCII case, or null.
const SignatureRow* FirstRowWithExtension(std::string_view extension);

}  // namespace norvale
