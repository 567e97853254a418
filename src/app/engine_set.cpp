#include "app/engine_set.h"

#include <memory>

#include "engine/engine_factory.h"

// The build defines NORVALE_HAVE_<ENGINE> for every engine whose sources it compiles.
#ifdef NORVALE_HAVE_FAST_FAT
#include "fat/fast_fat_recovery.h"
#endif
#ifdef NORVALE_HAVE_FAST_NTFS
#include "ntfs/fast_ntfs_recovery.h"
#endif
#ifdef NORVALE_HAVE_PROFESSIONAL
#include "engine/scan_log_history.h"
#include "professional/professional_recovery.h"
#include "professional/volume_free_space.h"
#endif
#ifdef NORVALE_HAVE_CARVING
#include "carving/carve_only_recovery.h"
#endif

namespace norvale {

void InstallEngineMakers() {
    EngineMakers makers;
#ifdef NORVALE_HAVE_FAST_FAT
    makers.fastFat = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CFastFatRecovery>();
    };
#endif
#ifdef NORVALE_HAVE_FAST_NTFS
    makers.fastNtfs = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CFastNtfsRecovery>();
    };
#endif
#ifdef NORVALE_HAVE_PROFESSIONAL
    makers.professional = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CProfessionalRecovery>();
    };
#endif
    SetEngineMakers(makers);
}

bool HaveDeletedFileEngines() {
#if defined(NORVALE_HAVE_FAST_FAT) || defined(NORVALE_HAVE_FAST_NTFS)
    return true;
#else
    return false;
#endif
}

bool HaveFullScanEngine() {
#ifdef NORVALE_HAVE_PROFESSIONAL
    return true;
#else
    return false;
#endif
}

bool HaveCarvingEngine() {
#ifdef NORVALE_HAVE_CARVING
    return true;
#else
    return false;
#endif
}

std::unique_ptr<IFileRecoveryParse> MakeCarveOnlyEngine([[maybe_unused]] const SourceInfo& source) {
#ifdef NORVALE_HAVE_CARVING
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
#else
    return nullptr;
#endif
}

}  // namespace norvale
