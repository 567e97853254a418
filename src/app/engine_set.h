#pragma once
// Hands the factory the constructors of every engine built into this program. Front ends call
// this once at start-up, before the first scan.

#include <memory>

#include "engine/recovery_parse.h"
#include "engine/source_info.h"

namespace norvale {

void InstallEngineMakers();
// Whether this build has the engines of a mode ("deleted", "full", "carve").
bool HaveDeletedFileEngines();
bool HaveFullScanEngine();
bool HaveCarvingEngine();

// The engine of a scan by signatures alone, opened on `source`; null when the source cannot be
// opened or this build has no carving engine.
std::unique_ptr<IFileRecoveryParse> MakeCarveOnlyEngine(const SourceInfo& source);

}  // namespace norvale
