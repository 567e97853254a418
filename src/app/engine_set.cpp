#include "app/engine_set.h"

#include <memory>

#include "engine/engine_factory.h"

#if __has_include("fat/fast_fat_recovery.h")
#include "fat/fast_fat_recovery.h"
#define NORVALE_HAVE_FAST_FAT 1
#endif
#if __has_include("ntfs/fast_ntfs_recovery.h")
#include "ntfs/fast_ntfs_recovery.h"
#define NORVALE_HAVE_FAST_NTFS 1
#endif
#if __has_include("professional/professional_recovery.h")
#include "professional/professional_recovery.h"
#define NORVALE_HAVE_PROFESSIONAL 1
#endif
#if __has_include("carving/file_type_recovery.h")
#define NORVALE_HAVE_CARVING 1
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

}  // namespace norvale
