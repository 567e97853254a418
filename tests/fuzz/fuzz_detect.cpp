// Boot-sector and superblock classification over arbitrary first sectors of a volume.
#include <cstddef>
#include <cstdint>
#include <span>

#include "app/engine_set.h"
#include "engine/engine_factory.h"

// Detection asks the registered probes, as the programs do.
[[maybe_unused]] static const bool kInstalled = (norvale::InstallFileSystems(), true);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    (void)norvale::DetectFileSystemDetail(bytes);
    (void)norvale::IsBitLockerBootSector(bytes);
    return 0;
}
