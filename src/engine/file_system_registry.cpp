#include "engine/file_system_registry.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>

namespace norvale {
namespace {

// A registry filled once at start-up rather than a parameter: the engines live in layers above
// this one, and every path to an engine (the scan driver, the coordinator's inner engine, the
// front ends' source lists) would otherwise carry them through.
std::mutex gMutex;
std::vector<FileSystemDescriptor> gFileSystems;
EngineMaker gCoordinatorMaker = nullptr;

// The structure tests again, readable without the lock: the carver asks for every sector.
// Entries past the count are never read; a registration rewrites them under the lock and then
// publishes the count.
using StructureTest = bool (*)(std::span<const uint8_t>);
constexpr size_t kMaxStructureTests = 16;
std::array<std::atomic<StructureTest>, kMaxStructureTests> gStructureTests{};
std::atomic<size_t> gStructureTestCount{0};

// Called with gMutex held.
void PublishStructureTests() {
    size_t n = 0;
    for (const FileSystemDescriptor& d : gFileSystems) {
        if (d.isStructureSector && n < kMaxStructureTests)
            gStructureTests[n++].store(d.isStructureSector, std::memory_order_relaxed);
    }
    for (size_t k = n; k < kMaxStructureTests; ++k)
        gStructureTests[k].store(nullptr, std::memory_order_relaxed);
    gStructureTestCount.store(n, std::memory_order_release);
}

bool Registrable(FileSystemKind kind) {
    return kind != FileSystemKind::Other && kind != FileSystemKind::Ext;
}

}  // namespace

const char* FileSystemKindName(FileSystemKind kind) {
    {
        std::lock_guard lock(gMutex);
        for (const FileSystemDescriptor& d : gFileSystems) {
            // Names are literals: their data stays valid and ends in a zero.
            if (d.kind == kind && !d.name.empty()) return d.name.data();
        }
    }
    switch (kind) {
        case FileSystemKind::Ntfs:
            return "NTFS";
        case FileSystemKind::Fat:
            return "FAT";
        case FileSystemKind::Exfat:
            return "exFAT";
        case FileSystemKind::Ext:
            return "Ext";
        case FileSystemKind::Other:
            break;
    }
    return "Other";
}

void RegisterFileSystem(const FileSystemDescriptor& descriptor) {
    if (!Registrable(descriptor.kind)) return;
    std::lock_guard lock(gMutex);
    auto same = std::find_if(gFileSystems.begin(), gFileSystems.end(),
                             [&](const FileSystemDescriptor& d) { return d.kind == descriptor.kind; });
    if (same != gFileSystems.end()) {
        *same = descriptor;
    } else {
        gFileSystems.push_back(descriptor);
    }
    PublishStructureTests();
}

std::vector<FileSystemDescriptor> RegisteredFileSystems() {
    std::lock_guard lock(gMutex);
    return gFileSystems;
}

void ReplaceRegisteredFileSystems(const std::vector<FileSystemDescriptor>& descriptors) {
    std::lock_guard lock(gMutex);
    gFileSystems.clear();
    for (const FileSystemDescriptor& d : descriptors) {
        if (!Registrable(d.kind)) continue;
        const bool known = std::any_of(gFileSystems.begin(), gFileSystems.end(),
                                       [&](const FileSystemDescriptor& e) { return e.kind == d.kind; });
        if (!known) gFileSystems.push_back(d);
    }
    PublishStructureTests();
}

std::optional<const FileSystemDescriptor> FileSystemOfKind(FileSystemKind kind) {
    std::lock_guard lock(gMutex);
    for (const FileSystemDescriptor& d : gFileSystems) {
        if (d.kind == kind) return d;
    }
    return std::nullopt;
}

std::optional<const FileSystemDescriptor> FileSystemOfEngineKind(int32_t engineKind) {
    std::lock_guard lock(gMutex);
    for (const FileSystemDescriptor& d : gFileSystems) {
        if (d.deletedEngineKind == engineKind || d.fullEngineKind == engineKind) return d;
    }
    return std::nullopt;
}

bool IsRegisteredStructureSector(std::span<const uint8_t> sector) {
    const size_t n = gStructureTestCount.load(std::memory_order_acquire);
    for (size_t k = 0; k < n && k < kMaxStructureTests; ++k) {
        const StructureTest test = gStructureTests[k].load(std::memory_order_relaxed);
        if (test && test(sector)) return true;
    }
    return false;
}

void SetFullScanCoordinatorMaker(EngineMaker maker) {
    std::lock_guard lock(gMutex);
    gCoordinatorMaker = maker;
}

EngineMaker FullScanCoordinatorMaker() {
    std::lock_guard lock(gMutex);
    return gCoordinatorMaker;
}

}  // namespace norvale
