#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include "app/source_plan.h"
#include "cli/commands.h"
#include "cli/source_arg.h"
#include "device/sector_source.h"
#include "engine/engine_factory.h"

namespace norvale::cli {

int RunDetect(const std::string& path) {
    SourceArg source;
    std::string error;
    if (int rc = ResolveSource(path, source, error); rc != 0) {
        std::fprintf(stderr, "norvale-cli: %s\n", error.c_str());
        return rc;
    }
    // A partition and its device node hold the same bytes, so the first 16 KiB of the volume
    // are read from the path itself.
    std::unique_ptr<FileSource> file;
    if (Result r = FileSource::Open(path, file); r != kOk) {
        std::fprintf(stderr, "norvale-cli: cannot read %s: %s.\n", path.c_str(),
                     ResultText(r).c_str());
        return kExitBadInput;
    }
    std::array<uint8_t, kDetectBytes> buf{};
    size_t done = 0;
    while (done < buf.size()) {
        size_t got = 0;
        Result r = file->ReadAt(done, std::span(buf).subspan(done), got);
        if (r != kOk) {
            std::fprintf(stderr, "norvale-cli: cannot read %s: %s.\n", path.c_str(),
                         ResultText(r).c_str());
            return 1;
        }
        if (got == 0) break;
        done += got;
    }
    DetectDetail d = DetectFileSystemDetail(std::span<const uint8_t>(buf.data(), done));
    // A whole disk, or an image of one, starts with its partition table: tell what each of its
    // partitions holds, by the same test.
    DiskLayout layout;
    if (d.kind == FileSystemKind::Other && ReadDiskLayout(path, layout) == kOk &&
        !layout.scheme.empty()) {
        std::printf("Partition table (%s)\n", layout.scheme.c_str());
        for (const std::string& problem : layout.problems)
            std::fprintf(stderr, "norvale-cli: %s: %s\n", path.c_str(), problem.c_str());
        for (const PartitionRecord& r : layout.records) {
            if (r.kind != PartitionRecord::Kind::Partition) continue;
            buf.fill(0);
            size_t got = 0;
            const uint64_t offset = r.startLba * r.bytesPerSector;
            const size_t want = size_t(std::min<uint64_t>(buf.size(), r.sectorCount * r.bytesPerSector));
            const Result read = file->ReadAt(offset, std::span(buf).first(want), got);
            const DetectDetail pd =
                DetectFileSystemDetail(std::span<const uint8_t>(buf.data(), read == kOk ? got : 0));
            std::printf("  %s: %s%s\n", PartitionDisplayName(r).c_str(),
                        read == kOk ? FileSystemKindName(pd.kind) : "unreadable",
                        pd.bitLocker ? " (BitLocker-encrypted volume: not read as FAT)" : "");
        }
        return 0;
    }
    if (d.bitLocker) {
        std::printf("%s (BitLocker-encrypted volume: not read as FAT)\n",
                    FileSystemKindName(d.kind));
    } else {
        std::printf("%s\n", FileSystemKindName(d.kind));
    }
    return 0;
}

}  // namespace norvale::cli
