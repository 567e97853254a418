#include "engine/engine_factory.h"

#include <algorithm>
#include <array>

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

std::unique_ptr<IFileRecoveryParse> BuildEngine(FileSystemKind kind, bool professional) {
    EngineMaker maker = nullptr;
    if (professional) {
        maker = FullScanCoordinatorMaker();
    } else if (kind == FileSystemKind::Ext) {
        return std::make_unique<CFastExtRecovery>();
    } else if (const auto fs = FileSystemOfKind(kind)) {
        maker = fs->makeDeletedScan;
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

DetectDetail DetectFileSystemDetail(std::span<const uint8_t> first16k) {
    std::array<uint8_t, kDetectBytes> buf{};
    std::copy_n(first16k.begin(), std::min(first16k.size(), buf.size()), buf.begin());
    DetectDetail d;
    if (IsBitLockerBootSector(std::span<const uint8_t>(buf.data(), 512))) {
        d.bitLocker = true;
    } else {
        for (const FileSystemDescriptor& fs : RegisteredFileSystems()) {
            if (fs.probe && fs.probe(buf)) {
                d.kind = fs.kind;
                return d;
            }
        }
    }
    if (IsExtSuperblock(buf.data() + 1024)) d.kind = FileSystemKind::Ext;
    return d;
}

FileSystemKind DetectFileSystem(std::span<const uint8_t> first16k) {
    return DetectFileSystemDetail(first16k).kind;
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
