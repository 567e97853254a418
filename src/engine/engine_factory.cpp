#include "engine/engine_factory.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "device/sector_source.h"
#include "engine/fast_ext_recovery.h"

namespace norvale {
namespace {

uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) {
    return uint64_t(Le32(p)) | (uint64_t(Le32(p + 4)) << 32);
}

bool IsPowerOfTwoUpTo128(uint8_t v) {
    return v != 0 && v <= 128 && (v & (v - 1)) == 0;
}

bool HasBootSignature(const uint8_t* s) {
    return s[0x1FE] == 0x55 && s[0x1FF] == 0xAA;
}

bool IsNtfsBoot(const uint8_t* s) {
    if (std::memcmp(s + 3, "NTFS    ", 8) != 0) return false;
    if (Le16(s + 0x0B) % 512 != 0) return false;  // 0 passes: some tools leave it empty
    if (Le16(s + 0x0E) != 0) return false;
    if (!IsPowerOfTwoUpTo128(s[0x0D])) return false;
    if (Le64(s + 0x28) == 0) return false;
    for (int off : {0x10, 0x11, 0x12, 0x13, 0x14, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23}) {
        if (s[off] != 0) return false;
    }
    return HasBootSignature(s);
}

bool Fat16Test(const uint8_t* s) {
    return s[0x10] != 0 && !(Le16(s + 0x13) == 0 && Le32(s + 0x20) == 0) &&
           IsPowerOfTwoUpTo128(s[0x0D]) && Le16(s + 0x16) != 0 && HasBootSignature(s);
}

bool Fat32Test(const uint8_t* s) {
    return std::memcmp(s + 0x52, "FAT32   ", 8) == 0 && s[0x10] != 0 && Le32(s + 0x20) != 0 &&
           IsPowerOfTwoUpTo128(s[0x0D]) && Le32(s + 0x24) != 0 && HasBootSignature(s);
}

bool IsFatBoot(const uint8_t* s) {
    uint32_t bytesPerSector = Le16(s + 0x0B);
    if (bytesPerSector == 0 || bytesPerSector % 512 != 0) return false;
    uint32_t sectorsPerCluster = s[0x0D];
    if (sectorsPerCluster == 0) return false;
    uint32_t fatSectors = Le16(s + 0x16);
    if (fatSectors == 0) fatSectors = Le32(s + 0x24);
    uint32_t totalSectors = Le32(s + 0x20);
    if (totalSectors == 0) totalSectors = Le16(s + 0x13);
    uint32_t rootEntries = Le16(s + 0x11);
    uint32_t numberOfFats = s[0x10];
    uint32_t reservedSectors = Le16(s + 0x0E);
    // Unsigned 32-bit arithmetic on purpose: a nonsensical boot sector wraps to a huge count
    // and is refused below.
    uint32_t clusters = (totalSectors - rootEntries * 32 / bytesPerSector -
                         fatSectors * numberOfFats - reservedSectors) /
                        sectorsPerCluster;
    if (clusters > 0xFFF4) {
        if (clusters > 0x0FFFFFEF) return false;
        return Fat32Test(s) || Fat16Test(s);
    }
    return Fat16Test(s) || Fat32Test(s);
}

bool IsExtSuperblock(const uint8_t* sb) {
    if (Le16(sb + 0x38) != 0xEF53) return false;
    uint32_t inodes = Le32(sb + 0x00);
    uint32_t blocks = Le32(sb + 0x04);
    uint32_t firstDataBlock = Le32(sb + 0x14);
    uint32_t logBlockSize = Le32(sb + 0x18);
    uint32_t blocksPerGroup = Le32(sb + 0x20);
    uint32_t inodesPerGroup = Le32(sb + 0x28);
    uint32_t firstInode = Le32(sb + 0x54);
    if (inodes == 0 || blocks == 0 || blocksPerGroup == 0 || inodesPerGroup == 0) return false;
    if (firstInode <= 2) return false;
    if ((blocks - firstDataBlock - 1) / blocksPerGroup + 1 != (inodes - 1) / inodesPerGroup + 1)
        return false;
    bool oneKiBBlocks = logBlockSize == 0;  // block size 1024 << log
    if (firstDataBlock != (oneKiBBlocks ? 1u : 0u)) return false;
    return inodes > firstInode;
}

// The makers stay a registry filled once at start-up rather than a parameter: the engines live
// in layers above this one, and every path to an engine (the scan driver, the full-scan
// coordinator's inner engine, the desktop's and the command line's source lists) would
// otherwise carry them through. Tests that install their own put the empty set back.
std::mutex gMakersMutex;
EngineMakers gMakers;

std::unique_ptr<IFileRecoveryParse> BuildEngine(FileSystemKind kind, bool professional) {
    EngineMakers makers = CurrentEngineMakers();
    EngineMaker maker = nullptr;
    if (professional) {
        maker = makers.professional;
    } else {
        switch (kind) {
            case FileSystemKind::Ntfs:
                maker = makers.fastNtfs;
                break;
            case FileSystemKind::Fat:
                maker = makers.fastFat;
                break;
            case FileSystemKind::Ext:
                return std::make_unique<CFastExtRecovery>();
            case FileSystemKind::Other:
                return nullptr;
        }
    }
    return maker ? maker() : nullptr;
}

// Reads the first 16 KiB of a volume; false when fewer arrive.
bool ReadFirst16k(ISectorSource& source, uint64_t offset, std::array<uint8_t, kDetectBytes>& buf) {
    size_t done = 0;
    while (done < buf.size()) {
        size_t got = 0;
        Result r = source.ReadAt(offset + done, std::span(buf).subspan(done), got);
        if (r != kOk || got == 0) return false;
        done += got;
    }
    return true;
}

}  // namespace

const char* FileSystemKindName(FileSystemKind kind) {
    switch (kind) {
        case FileSystemKind::Ntfs:
            return "NTFS";
        case FileSystemKind::Fat:
            return "FAT";
        case FileSystemKind::Ext:
            return "Ext";
        case FileSystemKind::Other:
            break;
    }
    return "Other";
}

DetectDetail DetectFileSystemDetail(std::span<const uint8_t> first16k) {
    std::array<uint8_t, kDetectBytes> buf{};
    std::copy_n(first16k.begin(), std::min(first16k.size(), buf.size()), buf.begin());
    DetectDetail d;
    if (IsNtfsBoot(buf.data())) {
        d.kind = FileSystemKind::Ntfs;
        return d;
    }
    if (IsBitLockerBootSector(std::span<const uint8_t>(buf.data(), 512))) {
        d.bitLocker = true;
    } else if (IsFatBoot(buf.data())) {
        d.kind = FileSystemKind::Fat;
        return d;
    }
    if (IsExtSuperblock(buf.data() + 1024)) d.kind = FileSystemKind::Ext;
    return d;
}

FileSystemKind DetectFileSystem(std::span<const uint8_t> first16k) {
    return DetectFileSystemDetail(first16k).kind;
}

void SetEngineMakers(const EngineMakers& makers) {
    std::lock_guard lock(gMakersMutex);
    gMakers = makers;
}

EngineMakers CurrentEngineMakers() {
    std::lock_guard lock(gMakersMutex);
    return gMakers;
}

std::unique_ptr<IFileRecoveryParse> CreateRecoveryEngine(int diskNumber, uint64_t partitionStartLba,
                                                         uint64_t partitionSectorCount,
                                                         uint16_t driveLetter, bool professional) {
    std::unique_ptr<ISectorSource> disk;
    if (OpenDiskSource(diskNumber, disk) != kOk || !disk) return nullptr;
    uint32_t sectorSize = disk->SectorSize() ? disk->SectorSize() : 512;
    if (partitionStartLba > UINT64_MAX / sectorSize) return nullptr;
    auto buf = std::make_unique<std::array<uint8_t, kDetectBytes>>();
    if (!ReadFirst16k(*disk, partitionStartLba * sectorSize, *buf)) return nullptr;
    FileSystemKind kind = DetectFileSystem(*buf);
    disk.reset();  // the engine opens its own handle

    auto engine = BuildEngine(kind, professional);
    // An engine that could not open its source would only fail or find nothing later.
    if (engine &&
        engine->OpenDisk(diskNumber, partitionStartLba, partitionSectorCount, driveLetter) != kOk)
        return nullptr;
    return engine;
}

std::unique_ptr<IFileRecoveryParse> CreateRecoveryEngine(const std::string& imagePath,
                                                         uint16_t imageTag, bool professional) {
    std::unique_ptr<FileSource> image;
    if (FileSource::Open(imagePath, image) != kOk || !image) return nullptr;
    auto buf = std::make_unique<std::array<uint8_t, kDetectBytes>>();
    if (!ReadFirst16k(*image, 0, *buf)) return nullptr;
    FileSystemKind kind = DetectFileSystem(*buf);
    image.reset();

    auto engine = BuildEngine(kind, professional);
    if (engine && engine->OpenImage(imagePath, imageTag) != kOk) return nullptr;
    return engine;
}

}  // namespace norvale
