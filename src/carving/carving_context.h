#pragma once
// CarvingContext: the state that the carving entry points (IdentifyAndSize,
// CheckTypeByExtension) set before they call detectors and sizers, and that those read.
//
// One context serves one scan thread. Each carving engine owns one and hands it down to the
// catalogue; each FAT and NTFS engine checks content on its own, or on the one of the carver it
// works beside (the full-scan coordinator hands its carver's context to its folder scanners, so
// their checks and the carver see one stream state). Two scans with their own engines can run at
// once. The transport-stream and BDAV flags and the transport-stream ranges carry over from one
// candidate to the next within a scan: that is how a continuation of an earlier stream is told
// from a new file. The coordinator empties `tsRanges` before each sector pass.

#include <cstdint>
#include <span>
#include <vector>

#include "device/sector_reader.h"
#include "engine/recovery_parse.h"

namespace norvale {

inline constexpr uint32_t kCarvingWorkBufferBytes = 0x10000;  // every chunked read goes here

// The sectors of one transport stream carved in this scan, both ends inclusive.
struct TsRange {
    uint64_t firstLba = 0;
    uint64_t lastLba = 0;
};
using TsRangeList = std::vector<TsRange>;

struct CarvingContext {
    CarvingContext();

    // The source under test. `reader` is not owned and must outlive every call made with this
    // context; a null reader makes every look-ahead read fail (detectors then answer "no").
    uint32_t sectorSize = 512;
    SectorReader* reader = nullptr;
    uint64_t startLba = 0;   // where the candidate file begins
    uint64_t cursorLba = 0;  // the sector under test; the boundary scan advances it

    // Progress of the caller's pass, passed on by sizers that read ahead.
    uint64_t sectorsDone = 0;
    uint64_t sectorsTotal = 0;
    int32_t secondsLeft = 0;
    uint64_t filesFound = 0;
    ScanProgressFn scanProgress = nullptr;
    void* progressUserData = nullptr;
    int32_t progressScale = 0;
    int32_t lastProgressResult = 0;  // kScanCancelled: the user stopped the scan

    // Set while the last candidate was a transport stream or nothing was carved; cleared when
    // something else was carved and by content checks.
    bool transportStreamFlag = false;
    // Set while the last candidate was a BDAV stream.
    bool bdavFlag = false;
    TsRangeList tsRanges;
    // Set by whatever reads the three above (a detector that tells a stream's continuation from
    // a new file): an answer given with it set depends on the candidates before, so a look made
    // ahead of the pass must be made again in order. Only ever set here; the caller clears it.
    bool leanedOnOrder = false;

    // Always kCarvingWorkBufferBytes long, for the lifetime of the context.
    std::vector<uint8_t> workBuffer;
    // The window of FileWindow (file_window.h), as long as the work buffer; kept apart from it
    // so a structure walk may call helpers that use the work buffer.
    std::vector<uint8_t> windowBuffer;

    // The bytes of the candidate that the caller's pass already holds, from its first byte on.
    // IdentifyAndSize uses them only when they begin at the first sector it is given (else the
    // first sector alone is held), so a stale span is never read.
    std::span<const uint8_t> held;

    // Cleared by a sizer whose file's own structure does not check out (a header that states
    // nothing sound, a walk that breaks off before the file's end): the length is then a guess
    // and the find most likely not a file. IdentifyAndSize sets it before each sizer.
    bool structureValid = true;

    // Set by a sizer that found the file in two pieces (a JPEG whose rest lies after another
    // file): the sectors of the first piece, which begins at startLba, and the LBA where the
    // second piece begins; it runs on for the rest of the length. 0 and 0 for one piece.
    // IdentifyAndSize clears them before each sizer.
    uint64_t firstPieceSectors = 0;
    uint64_t secondPieceLba = 0;

    // Reads `count` whole sectors of `sectorSize` bytes at `lba` into the front of `out`.
    // True only when every sector arrived; false for a missing reader, a zero sector size, a
    // buffer too small for the request, a range past the medium or a failed read.
    bool ReadSectors(uint64_t lba, uint32_t count, std::span<uint8_t> out);
};

}  // namespace norvale
