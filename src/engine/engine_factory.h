#pragma once
// Builds the engine for a source: reads its first 16 KiB, decides which file system it holds,
// makes the engine for the chosen mode and opens the source in it. The file systems and the
// full-scan coordinator live in layers above; the front ends register them once at start-up
// (engine/file_system_registry.h), so this layer depends on none of them.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/result.h"
#include "device/volume_signature.h"  // IsBitLockerBootSector, which the detection applies
#include "engine/file_system_registry.h"
#include "engine/recovery_parse.h"

namespace norvale {

inline constexpr size_t kDetectBytes = 16384;

struct DetectDetail {
    FileSystemKind kind = FileSystemKind::Other;
    bool bitLocker = false;  // a BitLocker-encrypted volume: no file system's probe was asked
};
// Classifies the first 16 KiB of a volume. A shorter buffer is treated as zero-padded. A
// BitLocker volume is recognised first and no registered file system's probe is asked of it;
// else those probes are asked in registration order. The built-in ext superblock test comes
// last (a BitLocker volume too, as it always was).
FileSystemKind DetectFileSystem(std::span<const uint8_t> first16k);
DetectDetail DetectFileSystemDetail(std::span<const uint8_t> first16k);

// A partition (or region) of a physical disk, opened in the engine. Null when the disk cannot
// be read, when fewer than 16 KiB arrive, when the fast mode meets an unknown file system, when
// no maker of the engine the source needs was registered (RegisterFileSystem,
// SetFullScanCoordinatorMaker), or when the engine's
// own open fails (a volume whose geometry cannot be right for the medium, for one).
std::unique_ptr<IFileRecoveryParse> CreateRecoveryEngine(int diskNumber, uint64_t partitionStartLba,
                                                         uint64_t partitionSectorCount,
                                                         uint16_t driveLetter, bool professional);
std::unique_ptr<IFileRecoveryParse> CreateRecoveryEngine(const std::string& imagePath,
                                                         uint16_t imageTag, bool professional);

}  // namespace norvale
