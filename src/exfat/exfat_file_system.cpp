#include "exfat/exfat_file_system.h"

#include <memory>

#include "engine/recovered_item.h"
#include "exfat/boot_region.h"
#include "exfat/entry_set.h"
#include "exfat/fast_exfat_recovery.h"
#include "exfat/free_space.h"
#include "exfat/professional_exfat_recovery.h"

namespace norvale {

FileSystemDescriptor ExfatFileSystem() {
    FileSystemDescriptor d;
    d.kind = FileSystemKind::Exfat;
    d.name = "exFAT";
    d.probe = IsExfatBootRegion;
    d.makeDeletedScan = MakeFastExfatRecovery;
    d.makeFullScan = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CProfessionalExfatRecovery>();
    };
    d.deletedEngineKind = kEngineFastExfat;
    d.fullEngineKind = kEngineProfessionalExfat;
    d.countFreeBytes = CountExfatFreeBytes;
    d.isStructureSector = IsExfatDirectorySector;
    d.rebuildsDeletedScanTree = true;
    return d;
}

}  // namespace norvale
