#pragma once
// Builds the engine for a source: reads its first 16 KiB, decides which file system it holds,
// makes the engine for the chosen mode and opens the source in it. The concrete FAT, NTFS and
// professional engines live in lower layers; they hand their constructors to the factory with
// SetEngineMakers (the front ends do this once at start-up), so this layer depends on none.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/result.h"
#include "device/volume_signature.h"  // IsBitLockerBootSector, which the detection applies
#include "engine/recovery_parse.h"

namespace norvale {

enum class FileSystemKind { Ntfs, Fat, Ext, Other };
const char* FileSystemKindName(FileSystemKind kind);  // "NTFS", "FAT", "Ext", "Other"

inline constexpr size_t kDetectBytes = 16384;

struct DetectDetail {
    FileSystemKind kind = FileSystemKind::Other;
    bool bitLocker = false;  // the FAT test refused the volume as BitLocker-encrypted
};
// Classifies the first 16 KiB of a volume. A shorter buffer is treated as zero-padded.
FileSystemKind DetectFileSystem(std::span<const uint8_t> first16k);
DetectDetail DetectFileSystemDetail(std::span<const uint8_t> first16k);

using EngineMaker = std::unique_ptr<IFileRecoveryParse> (*)();
struct EngineMakers {
    EngineMaker fastFat = nullptr;
    EngineMaker fastNtfs = nullptr;
    EngineMaker professional = nullptr;
};
void SetEngineMakers(const EngineMakers& makers);
EngineMakers CurrentEngineMakers();

// A partition (or region) of a physical disk, opened in the engine. Null when the disk cannot
// be read, when fewer than 16 KiB arrive, when the fast mode meets an unknown file system, when
// no maker of the engine the source needs was installed (SetEngineMakers), or when the engine's
// own open fails (a volume whose geometry cannot be right for the medium, for one).
std::unique_ptr<IFileRecoveryParse> CreateRecoveryEngine(int diskNumber, uint64_t partitionStartLba,
                                                         uint64_t partitionSectorCount,
                                                         uint16_t driveLetter, bool professional);
std::unique_ptr<IFileRecoveryParse> CreateRecoveryEngine(const std::string& imagePath,
                                                         uint16_t imageTag, bool professional);

}  // namespace norvale
