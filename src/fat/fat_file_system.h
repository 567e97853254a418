#pragma once
// FAT as the program knows it: the boot-sector probe, the deleted-file engine
// (CFastFatRecovery), the folder rebuilder of the full scan (CProfessionalFatRecovery), the
// free-space reader and the directory-sector test, in one descriptor for the registry.

#include "engine/file_system_registry.h"

namespace norvale {

FileSystemDescriptor FatFileSystem();

}  // namespace norvale
