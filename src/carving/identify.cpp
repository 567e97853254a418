#include "carving/identify.h"

#include <bit>

#include "carving/candidate_rows.h"
#include "carving/signature_table.h"

namespace norvale {

namespace {

// Every row in row order: the reference the lookup below must always agree with.
const SignatureRow* FirstMatchingRowOfAll(ByteSpan sector, CarvingContext& context,
                                          FileTypeCode& code) {
    for (const SignatureRow& row : FileSignatureTable()) {
        // Rows sharing a detector each call it again; the answers are the same, and the
        // detectors that read ahead read the same sectors, so only time is spent.
        code = row.detector(sector, context);
        if (code != FileTypeCode::kNoFileType) return &row;
    }
    code = FileTypeCode::kNoFileType;
    return nullptr;
}

// The first row whose detector recognises `sector`, with the detector's answer in `code`.
// Asks only the rows that can answer (candidate_rows.h), in row order, so the answer is the
// one of FirstMatchingRowOfAll.
const SignatureRow* FirstMatchingRow(ByteSpan sector, CarvingContext& context, FileTypeCode& code) {
    code = FileTypeCode::kNoFileType;
    if (sector.size() < kGatedSpanBytes) return FirstMatchingRowOfAll(sector, context, code);
    const CandidateRows& candidates = CandidateRows::Get();
    // Most sectors of a card are empty. The detectors were seen to ignore zero sectors read
    // with the context's sector size (see CandidateRows); other spans take the long way.
    if (sector[0] == 0 && sector.size() == context.sectorSize &&
        candidates.ZeroSectorsNeverMatch(sector.size()) && IsZeroSpan(sector)) {
        return nullptr;
    }
    const RowSet set = candidates.ForSector(sector);
    const std::span<const SignatureRow> rows = FileSignatureTable();
    for (size_t w = 0; w < RowSet::kWords; ++w) {
        for (uint64_t bits = set.words[w]; bits != 0; bits &= bits - 1) {
            const SignatureRow& row = rows[w * 64 + static_cast<size_t>(std::countr_zero(bits))];
            code = row.detector(sector, context);
            if (code != FileTypeCode::kNoFileType) return &row;
        }
    }
    code = FileTypeCode::kNoFileType;
    return nullptr;
}

}  // namespace

FileTypeCode DetectFileType(ByteSpan sector, CarvingContext& context) {
    FileTypeCode code = FileTypeCode::kNoFileType;
    FirstMatchingRow(sector, context, code);
    return code;
}

FileTypeCode DetectFileTypeAllRows(ByteSpan sector, CarvingContext& context) {
    FileTypeCode code = FileTypeCode::kNoFileType;
    FirstMatchingRowOfAll(sector, context, code);
    return code;
}

Result IdentifyAndSize(CarvingContext& context, uint32_t sectorSize, SectorReader& reader,
                       ByteSpan sector, uint64_t startLba, const CarveProgress& progress,
                       std::string& name, FileTypeCode& type, uint64_t& length,
                       ByteSpan held) {
    context.sectorSize = sectorSize;
    context.held = !held.empty() && held.data() == sector.data() && held.size() >= sector.size()
                       ? held
                       : sector;
    context.structureValid = true;
    context.firstPieceSectors = 0;
    context.secondPieceLba = 0;
    context.reader = &reader;
    context.startLba = startLba;
    context.cursorLba = startLba;
    context.sectorsDone = progress.sectorsDone;
    context.sectorsTotal = progress.sectorsTotal;
    context.secondsLeft = progress.secondsLeft;
    context.filesFound = progress.filesFound;

    FileTypeCode code = FileTypeCode::kNoFileType;
    const SignatureRow* matched = FirstMatchingRow(sector, context, code);

    // Nothing carved (yet) counts like a transport stream: a stream sector that follows is
    // then checked for being a continuation rather than taken as a new file.
    context.transportStreamFlag = true;
    context.bdavFlag = false;
    const SignatureRow* first = matched ? FirstRowOfType(code) : nullptr;
    if (matched == nullptr || matched->sizer == nullptr || first == nullptr ||
        first->sizer == nullptr) {
        return kErrInvalidParameter;
    }
    if (code != FileTypeCode::kTs) context.transportStreamFlag = false;
    if (code == FileTypeCode::kMts) context.bdavFlag = true;

    name = std::to_string(static_cast<int64_t>(startLba)) + "." + first->extension;
    type = first->code;
    context.lastProgressResult = 0;
    length = first->sizer(sector, context);
    context.held = {};  // the caller's buffer is not ours to keep
    return context.lastProgressResult == kScanCancelled ? kScanCancelled : kOk;
}

bool CheckTypeByExtension(CarvingContext& context, ByteSpan buffer, std::string_view extension,
                          SectorReader* reader, uint32_t sectorSize, uint64_t lba) {
    context.sectorSize = sectorSize;
    context.reader = reader;
    context.startLba = lba;
    context.cursorLba = lba;
    context.transportStreamFlag = false;

    const SignatureRow* row = FirstRowWithExtension(extension);
    if (row == nullptr) return true;
    const FileTypeCode answer = row->detector(buffer, context);
    if (answer == row->code) return true;
    // Only the families added after the first catalogue are handed over this way; the first
    // catalogue's types sharing a detector (Word, Excel, PowerPoint) stay apart.
    if (ToInt(answer) <= ToInt(FileTypeCode::kNoFileType)) return false;
    // The detector handed the content to a family of its own kind (a TIFF that is a camera RAW,
    // an Ogg stream that is Opus): the file is still what its extension says when that family's
    // own detector agrees.
    const SignatureRow* owner = FirstRowOfType(answer);
    if (owner == nullptr) return false;
    context.cursorLba = lba;
    return owner->detector(buffer, context) == answer;
}

}  // namespace norvale
