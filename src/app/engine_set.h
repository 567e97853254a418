#pragma once
// Registers the file systems and the full-scan coordinator. Front ends call InstallEngineMakers
// once at start-up, before the first scan; calling it again changes nothing.

#include <memory>

#include "engine/recovery_parse.h"
#include "engine/source_info.h"

namespace norvale {

void InstallEngineMakers();
// The file systems alone, in the order their boot sectors are probed and their full-scan stages
// claim sectors.
void InstallFileSystems();

// The engine of a scan by signatures alone, opened on `source`; null when the source cannot be
// opened.
std::unique_ptr<IFileRecoveryParse> MakeCarveOnlyEngine(const SourceInfo& source);

}  // namespace norvale
