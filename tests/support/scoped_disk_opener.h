#pragma once
// Installs a disk opener (device/sector_source.h) for the lifetime of the object and puts back
// the one before it, whatever way the test ends: engines opened by disk number then read what
// the test hands them, and no later test does.

#include <utility>

#include "device/sector_source.h"

namespace norvale::testing {

class ScopedDiskOpener {
  public:
    explicit ScopedDiskOpener(DiskSourceOpener opener)
        : previous_(SetDiskSourceOpener(std::move(opener))) {}
    ~ScopedDiskOpener() { (void)SetDiskSourceOpener(std::move(previous_)); }
    ScopedDiskOpener(const ScopedDiskOpener&) = delete;
    ScopedDiskOpener& operator=(const ScopedDiskOpener&) = delete;

  private:
    DiskSourceOpener previous_;
};

}  // namespace norvale::testing
