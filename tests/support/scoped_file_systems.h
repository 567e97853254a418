#pragma once
// Puts the file-system registry and the full-scan coordinator maker back as they were when it
// was made: a test registers what it needs and leaves nothing behind for the next one.

#include <vector>

#include "engine/file_system_registry.h"

namespace norvale::testing {

class ScopedFileSystems {
  public:
    ScopedFileSystems()
        : saved_(RegisteredFileSystems()), coordinator_(FullScanCoordinatorMaker()) {}
    ~ScopedFileSystems() {
        ReplaceRegisteredFileSystems(saved_);
        SetFullScanCoordinatorMaker(coordinator_);
    }
    ScopedFileSystems(const ScopedFileSystems&) = delete;
    ScopedFileSystems& operator=(const ScopedFileSystems&) = delete;

  private:
    std::vector<FileSystemDescriptor> saved_;
    EngineMaker coordinator_;
};

}  // namespace norvale::testing
