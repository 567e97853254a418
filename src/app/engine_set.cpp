#include "app/engine_set.h"

#include <memory>

#include "carving/carve_only_recovery.h"
#include "engine/file_system_registry.h"
#include "exfat/exfat_file_system.h"
#include "fat/fat_file_system.h"
#include "ntfs/ntfs_file_system.h"
#include "professional/professional_recovery.h"

namespace norvale {

void InstallFileSystems() {
    // exFAT directory blocks are claimed before FAT's directory test sees them.
    RegisterFileSystem(NtfsFileSystem());
    RegisterFileSystem(ExfatFileSystem());
    RegisterFileSystem(FatFileSystem());
}

void InstallEngineMakers() {
    InstallFileSystems();
    SetFullScanCoordinatorMaker([]() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CProfessionalRecovery>();
    });
}

std::unique_ptr<IFileRecoveryParse> MakeCarveOnlyEngine(const SourceInfo& source) {
    auto engine = std::make_unique<CCarveOnlyRecovery>();
    Result r;
    if (source.IsPartition()) {
        const PartitionRecord& p = *source.partition;
        r = engine->OpenDisk(p.diskNumber, p.startLba, p.sectorCount, p.driveLetter);
    } else {
        r = engine->OpenImage(source.imagePath, source.imageTag);
    }
    if (r != kOk) return nullptr;
    return engine;
}

}  // namespace norvale
