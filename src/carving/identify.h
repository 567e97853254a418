#pragma once
// The two ways into the signature catalogue:
//  - IdentifyAndSize, called by the carving engine once per candidate sector, names the file
//    that begins there and finds its length;
//  - CheckTypeByExtension, called by the FAT and NTFS engines, tells whether the first sector
//    of a found file still holds content of the kind its extension promises.
// Both work on the CarvingContext the caller hands them (one scan thread per context).

#include <cstdint>
#include <string>
#include <string_view>

#include "carving/byte_search.h"
#include "carving/carving_context.h"
#include "carving/file_type.h"
#include "device/result.h"
#include "device/sector_reader.h"

namespace norvale {

// Where the caller's pass stands; sizers pass it on to the scan progress callback.
struct CarveProgress {
    uint64_t sectorsDone = 0;
    uint64_t sectorsTotal = 0;  // never 0 while sizers run: progress divides by it
    int32_t secondsLeft = 0;
    uint64_t filesFound = 0;
};

// Runs the catalogue's detectors in row order on `sector` and returns the first answer other
// than kNoFileType (kNoFileType when none recognises it). Detectors that read ahead read at
// the context's cursor LBA.
FileTypeCode DetectFileType(ByteSpan sector, CarvingContext& context);
// The same answer found by calling every row's detector in turn, without skipping the rows
// that cannot answer: the reference that tests hold DetectFileType to.
FileTypeCode DetectFileTypeAllRows(ByteSpan sector, CarvingContext& context);

// Identifies the file that begins with `sector` (read from `reader` at `startLba`) and sizes
// it. Returns kOk with `name` = "<startLba>.<extension of the first row of the type>",
// `type` and `length` set; kErrInvalidParameter (outputs untouched) when no detector
// recognises the sector or the type is never carved (executables, disk-image backups);
// kScanCancelled when the scan progress callback asked to stop while the sizer read ahead (the
// outputs then hold the partial result). `reader` must outlive the call.
//
// Besides the per-candidate fields it keeps the transport-stream and BDAV flags of the
// context up to date, which later candidates depend on.
//
// `held`, when given, is what the caller's pass holds from `sector` on (it must begin at
// sector.data()); sizers take those bytes from it instead of reading them again. The context's
// structureValid says afterwards whether the file's own structure checked out.
Result IdentifyAndSize(CarvingContext& context, uint32_t sectorSize, SectorReader& reader,
                       ByteSpan sector, uint64_t startLba, const CarveProgress& progress,
                       std::string& name, FileTypeCode& type, uint64_t& length,
                       ByteSpan held = {});

// True when `buffer` (the first sector of a file, or a shorter resident stream, read at
// `lba`) fits `extension` (without the dot, any case): the detector of the first catalogue
// row with that extension must answer that row's code, or hand the content to a later family
// whose own detector then agrees (a NEF named .tif, an Opus stream named .ogg). An extension that no row carries
// has nothing to contradict it and gives true. Detectors that read ahead use `reader` (may be
// null: they then see a failed read). Points the context at the given source and clears its
// transport-stream flag; calls no sizer.
bool CheckTypeByExtension(CarvingContext& context, ByteSpan buffer, std::string_view extension,
                          SectorReader* reader, uint32_t sectorSize, uint64_t lba);

}  // namespace norvale
