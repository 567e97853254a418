#pragma once
// Hands the factory the constructors of the engines. Front ends call this once at start-up,
// before the first scan.

#include <memory>

#include "engine/recovery_parse.h"
#include "engine/source_info.h"

namespace norvale {

void InstallEngineMakers();

// The engine of a scan by signatures alone, opened on `source`; null when the source cannot be
// opened.
std::unique_ptr<IFileRecoveryParse> MakeCarveOnlyEngine(const SourceInfo& source);

}  // namespace norvale
