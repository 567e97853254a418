#include "carving/carving_context.h"

namespace norvale {

CarvingContext::CarvingContext()
    : workBuffer(kCarvingWorkBufferBytes), windowBuffer(kCarvingWorkBufferBytes) {}

bool CarvingContext::ReadSectors(uint64_t lba, uint32_t count, std::span<uint8_t> out) {
    if (reader == nullptr || sectorSize == 0 || count == 0) return false;
    if (uint64_t{count} * sectorSize > out.size()) return false;
    uint32_t got = 0;
    const Result r = reader->ReadSectors(count, out.data(), lba, sectorSize, got);
    return r == kOk && got == count;
}

}  // namespace norvale
