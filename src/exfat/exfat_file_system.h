#pragma once
// exFAT as the program knows it: the boot-region probe, the deleted-file engine
// (CFastExfatRecovery), the folder rebuilder of the full scan (CProfessionalExfatRecovery), the
// free-space reader (the allocation bitmap) and the directory-block test, in one descriptor for
// the registry.

#include "engine/file_system_registry.h"

namespace norvale {

FileSystemDescriptor ExfatFileSystem();

}  // namespace norvale
