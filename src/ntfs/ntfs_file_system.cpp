#include "ntfs/ntfs_file_system.h"

#include <memory>

#include "engine/recovered_item.h"
#include "ntfs/boot_sector.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/free_space.h"
#include "ntfs/metadata_block.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace norvale {

FileSystemDescriptor NtfsFileSystem() {
    FileSystemDescriptor d;
    d.kind = FileSystemKind::Ntfs;
    d.name = "NTFS";
    d.probe = IsNtfsBootSector;
    d.makeDeletedScan = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CFastNtfsRecovery>();
    };
    d.makeFullScan = []() -> std::unique_ptr<IFileRecoveryParse> {
        return std::make_unique<CProfessionalNtfsRecovery>();
    };
    d.deletedEngineKind = kEngineFastNtfs;
    d.fullEngineKind = kEngineProfessionalNtfs;
    d.countFreeBytes = CountNtfsFreeBytes;
    d.isStructureSector = IsNtfsMetadataBlock;
    return d;
}

}  // namespace norvale
