#include "fat/fat_file_system.h"

#include <memory>

#include "engine/recovered_item.h"
#include "fat/boot_sector.h"
#include "fat/directory.h"
#include "fat/fast_fat_recovery.h"
#include "fat/free_space.h"
#include "fat/professional_fat_recovery.h"

namespace norvale {

FileSystemDescriptor FatFileSystem() {
    FileSystemDescriptor d;
    d.kind = FileSystemKind::Fat;
    d.name = "FAT";
    d.probe = IsFatBootSector;
    d.makeDeletedScan = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CFastFatRecovery>();
    };
    d.makeFullScan = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CProfessionalFatRecovery>();
    };
    d.deletedEngineKind = kEngineFastFat;
    d.fullEngineKind = kEngineProfessionalFat;
    d.countFreeBytes = CountFatFreeBytes;
    d.isStructureSector = IsFatStructureSector;
    d.rebuildsDeletedScanTree = true;
    return d;
}

}  // namespace norvale
