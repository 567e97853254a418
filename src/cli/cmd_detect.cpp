#include <array>
#include <cstdio>
#include <memory>

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
    if (d.bitLocker) {
        std::printf("%s (BitLocker-encrypted volume: not read as FAT)\n",
                    FileSystemKindName(d.kind));
    } else {
        std::printf("%s\n", FileSystemKindName(d.kind));
    }
    return 0;
}

}  // namespace norvale::cli
