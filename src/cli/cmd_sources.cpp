#include <cstdio>
#include <string>
#include <vector>

#include "app/format.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/terminal_text.h"
#include "cli/source_arg.h"
#include "device/disk_enumerator.h"
#include "engine/source_info.h"

namespace norvale::cli {
namespace {

const char* KindName(PartitionRecord::Kind kind) {
    switch (kind) {
        case PartitionRecord::Kind::Partition:
            return "partition";
        case PartitionRecord::Kind::Unallocated:
            return "unallocated";
        case PartitionRecord::Kind::WholeDisk:
            return "disk";
    }
    return "partition";
}

std::string DeviceColumn(const PartitionRecord& r) {
    // A partition of an image (or of a disk the system lists no partitions for) has no device
    // of its own: it is named by its disk and start sector, as a gap is.
    if (r.kind == PartitionRecord::Kind::Partition && !r.volumeRoot.empty()) return r.volumeRoot;
    if (r.kind == PartitionRecord::Kind::WholeDisk) return r.diskPath;
    return r.diskPath + "@" + std::to_string(r.startLba);
}

std::string FsColumn(const PartitionRecord& r) {
    if (r.kind == PartitionRecord::Kind::Unallocated) return "(unallocated)";
    if (!r.fsName.empty()) return r.fsName;
    if (r.kind == PartitionRecord::Kind::WholeDisk) return "(no partition)";
    return "(unknown)";
}

void PrintJson(const std::vector<PartitionRecord>& records) {
    JsonWriter w;
    w.BeginArray();
    for (const PartitionRecord& r : records) {
        w.BeginObject();
        w.Key("device").String(DeviceColumn(r));
        w.Key("disk").String(r.diskPath);
        w.Key("diskNumber").Number(r.diskNumber);
        w.Key("partitionNumber").Number(r.partitionNumber);
        w.Key("kind").String(KindName(r.kind));
        w.Key("tag").Number(r.driveLetter);
        w.Key("fileSystem").String(r.fsName);
        w.Key("fsVersion").String(r.fsVersion);
        w.Key("fsCode").Number(r.fsCode);
        w.Key("label").String(r.volumeLabel);
        w.Key("mountPoint").String(r.mountPoint);
        w.Key("startLba").Unsigned(r.startLba);
        w.Key("sectorCount").Unsigned(r.sectorCount);
        w.Key("bytesPerSector").Unsigned(r.bytesPerSector);
        w.Key("totalBytes").Unsigned(r.totalBytes);
        w.Key("usedBytes").Unsigned(r.usedBytes);
        w.Key("freeBytes").Unsigned(r.freeBytes);
        w.Key("removable").Bool(r.removable);
        w.EndObject();
    }
    w.EndArray();
    std::printf("%s\n", w.Text().c_str());
}

void PrintTable(const std::vector<PartitionRecord>& records) {
    std::printf("%-4s %-22s %-5s %-14s %-16s %11s %11s %11s %s\n", "TAG", "DEVICE", "DISK",
                "FILE SYSTEM", "LABEL", "TOTAL", "USED", "FREE", "REMOVABLE");
    for (const PartitionRecord& r : records) {
        std::printf("%-4u %-22s %-5d %-14s %-16s %11s %11s %11s %s\n", unsigned(r.driveLetter),
                    DeviceColumn(r).c_str(), r.diskNumber, FsColumn(r).c_str(),
                    TerminalText(r.volumeLabel).c_str(), FormatSize(int64_t(r.totalBytes)).c_str(),
                    FormatSize(int64_t(r.usedBytes)).c_str(),
                    FormatSize(int64_t(r.freeBytes)).c_str(), r.removable ? "yes" : "no");
    }
}

// The image files of --image, each listed as a disk: its partitions and gaps when it holds a
// partition table, one record otherwise.
int RunImageSources(const SourcesOptions& options) {
    std::vector<PartitionRecord> shown;
    for (const std::string& path : options.images) {
        SourceArg arg;
        std::string error;
        if (int rc = ResolveSource(path, arg, error); rc != 0) {
            std::fprintf(stderr, "norvale-cli: %s\n", error.c_str());
            return rc;
        }
        DiskLayout layout;
        if (Result r = ReadDiskLayout(path, layout); r != kOk) {
            std::fprintf(stderr, "norvale-cli: cannot read %s: %s.\n", path.c_str(),
                         ResultText(r).c_str());
            return 1;
        }
        for (const std::string& problem : layout.problems)
            std::fprintf(stderr, "norvale-cli: %s: %s\n", path.c_str(), problem.c_str());
        for (PartitionRecord& r : layout.records) {
            if (r.driveLetter == kNoDriveLetter) r.driveLetter = NextImageTag();
            if (r.diskPath.empty()) r.diskPath = path;
            shown.push_back(std::move(r));
        }
    }
    if (options.json)
        PrintJson(shown);
    else
        PrintTable(shown);
    return 0;
}

}  // namespace

int RunSources(const SourcesOptions& options) {
    if (!options.images.empty()) return RunImageSources(options);
    DiskEnumerator enumerator;
    if (enumerator.Enumerate() == 0) {
        std::fprintf(stderr, "norvale-cli: cannot read the list of block devices (%s).\n",
                     CurrentSystemPaths().sysBlock.c_str());
        return 1;
    }
    std::vector<PartitionRecord> all;
    enumerator.AllPartitions(all);
    std::vector<PartitionRecord> shown;
    for (const PartitionRecord& r : all) {
        if (options.all || r.removable) shown.push_back(r);
    }
    if (options.json) {
        PrintJson(shown);
        return 0;
    }
    if (shown.empty()) {
        std::printf(options.all ? "No disks found.\n"
                                : "No removable disks found. Use --all to list every disk.\n");
        return 0;
    }
    PrintTable(shown);
    return 0;
}

}  // namespace norvale::cli
