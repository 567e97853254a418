// Signature catalogue over arbitrary bytes: every detector, the structure test and the
// boundary scan on sectors of any content and length, the catalogue's lookup held to every row
// asked in turn, identification, every sizer called
// directly on the input as the bytes the pass holds, and the content check for every known
// extension. The input doubles as the medium, so the
// detectors and sizers that read ahead read it too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/engine_set.h"
#include "carving/boundary.h"
#include "carving/identify.h"
#include "carving/signature_table.h"
#include "device/sector_reader.h"
#include "device/sector_source.h"

using namespace norvale;

// The boundary test asks the registered file systems' structure tests, as the programs do.
[[maybe_unused]] static const bool kInstalled = (InstallFileSystems(), true);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first byte picks the sector size and the context's flags, the rest is the medium.
    static constexpr uint32_t kSectorSizes[] = {512, 1024, 2048, 4096};
    const uint8_t control = data[0];
    const uint32_t sectorSize = kSectorSizes[control & 3];
    const std::vector<uint8_t> medium(data + 1, data + size);

    SectorReader reader;
    reader.Attach(std::make_unique<MemorySource>(medium));
    static CarvingContext context;
    context.reader = &reader;
    context.sectorSize = sectorSize;
    context.startLba = context.cursorLba = (control >> 2) & 1;
    context.transportStreamFlag = (control & 0x08) != 0;
    context.bdavFlag = (control & 0x10) != 0;
    context.tsRanges.clear();
    if (control & 0x20) context.tsRanges.push_back({0, 1});

    // Whole sectors as the carving engine hands them, and short buffers as a content check
    // on a small resident stream does.
    const std::span<const uint8_t> all(medium);
    const std::span<const uint8_t> sector = all.first(std::min<size_t>(all.size(), sectorSize));
    for (const SignatureRow& row : FileSignatureTable()) {
        const uint64_t cursor = context.cursorLba;
        (void)row.detector(sector, context);
        context.cursorLba = cursor;
    }
    (void)IsFileSystemMetadataSector(sector);

    // The catalogue's lookup skips rows that cannot answer and answers zero sectors without
    // asking: it must agree with every row asked in turn, on the sector and on every shorter
    // opening of it that a content check may hand over.
    for (const size_t length : {sector.size(), std::min<size_t>(sector.size(), 40)}) {
        const std::span<const uint8_t> span = sector.first(length);
        context.cursorLba = context.startLba;
        const FileTypeCode fast = DetectFileType(span, context);
        context.cursorLba = context.startLba;
        const FileTypeCode plain = DetectFileTypeAllRows(span, context);
        if (fast != plain) __builtin_trap();
    }

    uint64_t length = 0;
    (void)FindBoundary(all, length, context);
    context.cursorLba = context.startLba;
    (void)FindBoundaryMpeg(all, length, context);

    std::string name;
    FileTypeCode type = FileTypeCode::kNoFileType;
    const uint64_t start = context.startLba;
    context.scanProgress = nullptr;
    // The pass hands over what it holds from the first sector on: the whole input when the
    // file starts at sector 0, else only the first sector.
    (void)IdentifyAndSize(context, sectorSize, reader, sector, start, {0, 1, 0, 0}, name, type,
                          length, start == 0 ? all : sector);

    // Every sizer, whatever the detectors made of the sector: declared lengths, end markers
    // and chains are all read from the input, every structural walk over bytes it did not
    // choose. The bytes held are the input itself, or only part of it (control bit 0x40), so
    // that walks also run from what is held on into what they read through the window.
    const size_t heldBytes =
        (control & 0x40) ? std::min(all.size(), size_t{3} * sectorSize / 2) : all.size();
    LengthSizer previous = nullptr;
    for (const SignatureRow& row : FileSignatureTable()) {
        if (row.sizer == nullptr || row.sizer == previous) continue;
        previous = row.sizer;
        context.startLba = context.cursorLba = 0;
        context.held = all.first(std::max(heldBytes, sector.size()));
        context.structureValid = true;
        context.lastProgressResult = 0;
        (void)row.sizer(sector, context);
        context.held = {};
    }

    for (const SignatureRow& row : FileSignatureTable()) {
        (void)CheckTypeByExtension(context, sector, row.extension, &reader, sectorSize, 0);
    }
    context.reader = nullptr;
    return 0;
}
