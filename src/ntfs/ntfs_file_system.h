#pragma once
// NTFS as the program knows it: the boot-sector probe, the deleted-file engine
// (CFastNtfsRecovery), the record scanner of the full scan (CProfessionalNtfsRecovery), the
// free-space reader ($Bitmap) and the metadata-block test, in one descriptor for the registry.

#include "engine/file_system_registry.h"

namespace norvale {

FileSystemDescriptor NtfsFileSystem();

}  // namespace norvale
