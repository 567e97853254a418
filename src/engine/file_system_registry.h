#pragma once
// The file systems the program knows, one descriptor each. The engines of a file system live in
// layers above this one; each folder builds its descriptor (FatFileSystem(), NtfsFileSystem())
// and the front ends register them once at start-up, before the first scan. Detection, the
// factory, the full-scan coordinator, the free-space reader, the carver's boundary test and the
// names people read all go through this list, so none of them names a file system of its own.
//
// Registration order is behaviour: it is the order boot sectors are probed in and the order the
// full scan's stages are asked to claim a sector.
//
// Thread-safe: lookups take a snapshot; registering while a scan runs is allowed but the scan
// keeps the stages it was built with.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "device/result.h"
#include "device/sector_reader.h"
#include "engine/recovery_parse.h"

namespace norvale {

// What a volume holds. The values are kept in saved state: new kinds come after the old ones.
enum class FileSystemKind { Ntfs, Fat, Ext, Other, Exfat };

// The name people read: the registered descriptor's name, else "NTFS", "FAT", "exFAT", "Ext" or
// "Other" (what a program that registered nothing says).
const char* FileSystemKindName(FileSystemKind kind);

using EngineMaker = std::unique_ptr<IFileRecoveryParse> (*)();

struct FileSystemDescriptor {
    FileSystemKind kind = FileSystemKind::Other;
    // The name as people read it ("NTFS", "FAT"); must outlive the registration (a literal).
    std::string_view name;
    // True when the first 16 KiB of a volume (zero-padded when the volume is shorter) hold this
    // file system. Pure; never reads outside the span.
    bool (*probe)(std::span<const uint8_t> first16k) = nullptr;
    // The deleted-file engine of a volume of this kind.
    EngineMaker makeDeletedScan = nullptr;
    // The file system's stage of the full scan: an IFullScanStage (carving/full_scan_stage.h),
    // handed out as its IFileRecoveryParse base.
    EngineMaker makeFullScan = nullptr;
    // The engine kinds (engine/recovered_item.h) its two engines write into their items.
    int32_t deletedEngineKind = -1;
    int32_t fullEngineKind = -1;
    // The free bytes of a volume of this kind at `startLba` (in the reader's sectors;
    // `sectors` bounds it, 0 when unknown). kErrUnsupportedLayout when no such volume is there.
    Result (*countFreeBytes)(SectorReader& reader, uint64_t startLba, uint64_t sectors,
                             uint64_t& bytes) = nullptr;
    // True for a sector that holds one of its structures (a directory block, a file record):
    // a carved file without a length of its own ends before it. Pure; short spans are allowed.
    bool (*isStructureSector)(std::span<const uint8_t> sector) = nullptr;
    // True when the full-scan stage keys its folders as the deleted-file engine does (by first
    // cluster) and finds again what that engine lists: the full scan then shows one tree, the
    // deleted-file engine's, with what only the stage found added to its folders.
    bool rebuildsDeletedScanTree = false;
};

// Adds `descriptor`, or replaces the one of the same kind in its place in the order. A
// descriptor of kind Other or Ext is refused (those are no registrable file systems).
void RegisterFileSystem(const FileSystemDescriptor& descriptor);
// Every registered descriptor, in registration order.
std::vector<FileSystemDescriptor> RegisteredFileSystems();
// Puts a list taken with RegisteredFileSystems() back in place (an empty list: none); for tests
// that register their own and restore what was there.
void ReplaceRegisteredFileSystems(const std::vector<FileSystemDescriptor>& descriptors);
// The descriptor of a kind, or of the file system whose engine writes `engineKind`.
std::optional<const FileSystemDescriptor> FileSystemOfKind(FileSystemKind kind);
std::optional<const FileSystemDescriptor> FileSystemOfEngineKind(int32_t engineKind);

// True when a registered file system's isStructureSector holds for `sector`. Cheap enough to
// ask for every sector a carver looks at: it takes no lock.
bool IsRegisteredStructureSector(std::span<const uint8_t> sector);

// The engine of every full scan, whatever the source holds (the coordinator of the stages).
void SetFullScanCoordinatorMaker(EngineMaker maker);
EngineMaker FullScanCoordinatorMaker();

}  // namespace norvale
