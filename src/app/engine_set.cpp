#include "app/engine_set.h"

#include <memory>

#include "carving/carve_only_recovery.h"
#include "engine/engine_factory.h"
#include "fat/fast_fat_recovery.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "professional/professional_recovery.h"

namespace norvale {

void InstallEngineMakers() {
    EngineMakers makers;
    makers.fastFat = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CFastFatRecovery>();
    };
    makers.fastNtfs = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CFastNtfsRecovery>();
    };
    makers.professional = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CProfessionalRecovery>();
    };
    SetEngineMakers(makers);
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
