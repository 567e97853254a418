#pragma once
// Hands the factory the constructors of every engine built into this program. Front ends call
// this once at start-up, before the first scan.

namespace norvale {

void InstallEngineMakers();
// Whether this build has the engines of a mode ("deleted", "full", "carve").
bool HaveDeletedFileEngines();
bool HaveFullScanEngine();
bool HaveCarvingEngine();

}  // namespace norvale
