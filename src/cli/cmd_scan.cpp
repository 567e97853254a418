#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/destination_guard.h"
#include "app/format.h"
#include "app/source_plan.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/progress_bar.h"
#include "cli/scan_session.h"
#include "cli/source_arg.h"
#include "cli/terminal_text.h"
#include "device/image_destination.h"
#include "engine/data_paths.h"
#include "engine/output_naming.h"
#include "engine/recovered_file_writer.h"
#include "engine/recovery_driver.h"
#include "engine/scan_log_history.h"
#include "engine/search.h"

namespace norvale::cli {
namespace {

std::string TimeText(uint64_t t) {
    return t ? FormatFileTime(t) : "";
}

struct Row {
    RecoveredItem item;
    std::string path;
    std::string partition;  // display name of the item's partition of a disk; empty otherwise
    int partitionNumber = -1;
};

void PrintItemsJson(const std::vector<Row>& rows) {
    JsonWriter w;
    w.BeginArray();
    for (const Row& r : rows) {
        const RecoveredItem& it = r.item;
        w.BeginObject();
        w.Key("name").String(it.Name());
        w.Key("path").String(r.path);
        w.Key("folder").Bool(it.isFolder != 0);
        w.Key("size").Unsigned(it.fileSize);
        w.Key("category").String(it.isFolder ? "folder" : CategoryOf(it.Name()));
        w.Key("deleted").Bool(it.isDeleted != 0);
        w.Key("contentValid").Bool(it.contentValid != 0);
        w.Key("engine").String(EngineKindName(it.engineKind));
        w.Key("location").Unsigned(it.location);
        w.Key("modified").String(TimeText(it.modifiedTime));
        w.Key("created").String(TimeText(it.createdTime));
        w.Key("sourceTag").Number(it.sourceTag);
        if (r.partition.empty()) {
            w.Key("partition").Null();
            w.Key("partitionNumber").Null();
        } else {
            w.Key("partition").String(r.partition);
            if (r.partitionNumber > 0)
                w.Key("partitionNumber").Number(r.partitionNumber);
            else
                w.Key("partitionNumber").Null();
        }
        w.EndObject();
    }
    w.EndArray();
    std::printf("%s\n", w.Text().c_str());
}

void PrintItemsTable(const std::vector<Row>& rows, bool perPartition) {
    std::printf("%-48s %12s %-9s %-19s %s\n", "PATH", "SIZE", "KIND", "MODIFIED", "STATE");
    for (const Row& r : rows) {
        const RecoveredItem& it = r.item;
        std::string state = it.isDeleted ? "deleted" : "present";
        if (IsDamagedCarve(it))
            state += ", damaged: its structure does not check out";
        else if (!it.contentValid)
            state += ", content does not match";
        std::printf("%-48s %12s %-9s %-19s %s\n",
                    TerminalText((perPartition && !r.partition.empty() ? r.partition + "/" : "") +
                                 r.path + std::string(it.Name()))
                        .c_str(),
                    it.isFolder ? "" : FormatSize(int64_t(it.fileSize)).c_str(),
                    it.isFolder ? "folder" : CategoryOf(it.Name()).c_str(),
                    TimeText(it.modifiedTime).c_str(), state.c_str());
    }
}

// Walks the engine's folder tree depth first; guarded against cycles and absurd depth, since
// the tree comes from a damaged medium.
void PrintTree(IFileRecoveryParse& engine, bool includeDamaged, const std::string& top = "") {
    std::set<std::pair<int32_t, int32_t>> seen;  // (objectKey, recordIndex) of folders entered
    std::function<void(const RecoveredItem*, int, const std::string&)> walk =
        [&](const RecoveredItem* folder, int level, const std::string& indent) {
            if (level > 64) return;
            std::vector<RecoveredItem> children;
            if (engine.ListChildren(folder, level, children) != kOk) return;
            for (const RecoveredItem& c : children) {
                if (!includeDamaged && IsDamagedCarve(c)) continue;
                std::printf("%s%s%s%s\n", indent.c_str(), TerminalText(c.Name()).c_str(),
                            c.isFolder ? "/" : "", c.isDeleted ? "  (deleted)" : "");
                if (c.isFolder &&
                    seen.insert({int32_t{c.objectKey}, int32_t{c.recordIndex}}).second) {
                    walk(&c, level + 1, indent + "  ");
                }
            }
        };
    walk(nullptr, 0, top);
}

class CliRecoveryObserver : public IRecoveryObserver {
  public:
    explicit CliRecoveryObserver(bool quiet) : quiet_(quiet) {}
    void OnProgress(const std::string& name, int shown, const RecoveryCounts& c) override {
        if (quiet_) return;
        bar_.Update(c.total ? c.processed * 100 / c.total : shown,
                    std::to_string(c.processed) + "/" + std::to_string(c.total) + " " + name);
    }
    void OnItemDone(const RecoveryDetailRow&, const RecoveryCounts&) override {}
    void OnFinished(RecoveryOutcome, const RecoveryCounts&) override {
        if (!quiet_) bar_.Finish();
    }

  private:
    bool quiet_;
    ProgressBar bar_{"recover"};
};

// A count or list of a stopped scan is printed all the same (it is what was found), but it is
// not the whole medium: the exit code says so, and stderr says it too, since a list printed
// as JSON has no room for the note.
int StoppedExit() {
    std::fprintf(stderr, "Stopped: only what was found before the stop is shown.\n");
    return kExitStopped;
}

}  // namespace

int RunScan(const ScanOptions& options) {
    ScanSession session;
    if (int rc = session.Run(options); rc != 0) return rc;
    uint64_t count = 0;
    const auto& sources = session.Sources();
    for (size_t i = 0; i < sources.size(); ++i) {
        const uint64_t n = session.ShownItemCount(i);
        count += n;
        if (session.IsDisk()) {
            std::printf("  %s: %s\n", session.PartitionName(i).c_str(),
                        sources[i].engine
                            ? (std::to_string(n) + (n == 1 ? " item" : " items")).c_str()
                            : "not scanned");
        }
    }
    std::printf("%s: %llu item%s found%s.\n", options.source.c_str(),
                static_cast<unsigned long long>(count), count == 1 ? "" : "s",
                session.Stopped() ? " before the scan was stopped" : "");
    std::printf("Scan log: %s\n", ScanLogHistory::Instance().CurrentFolder().c_str());
    // A scan that ended on an error (its logs could not be written, for one) is no success.
    const Result r = session.ScanResult();
    if (r != kOk && r != kScanCancelled) return 1;
    return session.Stopped() ? StoppedExit() : 0;
}

int RunList(const ListOptions& options) {
    std::string pattern, error;
    if (!PatternFromOptions(options.types, options.exts, pattern, error)) {
        std::fprintf(stderr, "norvale-cli: %s\n", error.c_str());
        return kExitBadInput;
    }
    ScanSession session;
    if (int rc = session.Run(options.scan); rc != 0) return rc;
    auto& sources = session.Sources();
    if (options.tree) {
        for (size_t i = 0; i < sources.size(); ++i) {
            if (!sources[i].engine) continue;
            if (session.IsDisk()) {
                std::printf("%s/\n", TerminalText(session.PartitionName(i)).c_str());
                PrintTree(*sources[i].engine, session.IncludeDamaged(), "  ");
            } else {
                PrintTree(*sources[i].engine, session.IncludeDamaged());
            }
        }
        const Result scanned = session.ScanResult();
        if (scanned != kOk && scanned != kScanCancelled) return 1;
        return session.Stopped() ? StoppedExit() : 0;
    }
    std::vector<RecoveredItem> items = CollectItems(session, pattern, options.scan.quiet);
    std::vector<Row> rows;
    rows.reserve(items.size());
    for (const RecoveredItem& it : items) {
        Row r{it, {}, {}, -1};
        const size_t index = session.IndexOfTag(it.sourceTag);
        // An item whose folder chain is damaged is listed without a path.
        if (IFileRecoveryParse* engine = FindEngineForItem(sources, it))
            (void)engine->GetItemPath(it, r.path);
        if (index < sources.size()) {
            r.partition = session.PartitionName(index);
            if (!r.partition.empty() && sources[index].partition)
                r.partitionNumber = sources[index].partition->partitionNumber;
        }
        rows.push_back(std::move(r));
    }
    if (options.json) {
        PrintItemsJson(rows);
    } else if (rows.empty()) {
        std::printf("Nothing found of the chosen kinds.\n");
    } else {
        PrintItemsTable(rows, session.IsDisk());
    }
    const Result scanned = session.ScanResult();
    if (scanned != kOk && scanned != kScanCancelled) return 1;
    return session.Stopped() || session.CollectStopped() ? StoppedExit() : 0;
}

int RunRecover(const RecoverOptions& options) {
    std::string pattern, error;
    if (!PatternFromOptions(options.types, options.exts, pattern, error)) {
        std::fprintf(stderr, "norvale-cli: %s\n", error.c_str());
        return kExitBadInput;
    }
    if (options.to.empty()) {
        std::fprintf(stderr, "norvale-cli: give the destination folder with --to DIR.\n");
        return kExitBadInput;
    }
    ScanSession session;
    if (int rc = session.Run(options.scan); rc != 0) return rc;
    const SourceOverlap onSource =
        FindDestinationOnSources(options.to, session.Sources(), session.MediumPath());
    const DestinationOverlap& overlap = onSource.overlap;
    if (overlap.Found() &&
        (!options.allowSameDevice || overlap.kind == OverlapKind::kSourceItself)) {
        std::fprintf(stderr,
                     "norvale-cli: %s; writing there would overwrite the files you want back. "
                     "Choose a folder on another drive%s.\n",
                     DescribeOverlap(overlap, options.to, onSource.sourcePath).c_str(),
                     overlap.kind == OverlapKind::kSourceItself
                         ? ""
                         : " (or pass --allow-same-device if you are sure)");
        return kExitBadInput;
    }
    if (Result r = MakeFolders(options.to); r != kOk) {
        std::fprintf(stderr, "norvale-cli: cannot create %s: %s.\n", options.to.c_str(),
                     ResultText(r).c_str());
        return kExitBadInput;
    }
    // A list cut short by Ctrl-C is not the whole of what the source holds: recovering it as if
    // it were would read as complete.
    if (session.Stopped()) {
        std::fprintf(stderr, "Stopped during the scan: nothing was recovered.\n");
        return kExitStopped;
    }
    std::vector<RecoveredItem> items = CollectItems(session, pattern, options.scan.quiet);
    if (session.CollectStopped()) {
        std::fprintf(stderr, "Stopped while collecting the found files: nothing was recovered.\n");
        return kExitStopped;
    }
    if (!options.noSpaceCheck) {
        const uint64_t needed = SelectedBytes(items);
        uint64_t available = 0;
        const Result space = CheckFreeSpace(options.to, needed, available);
        if (space == kErrDiskFull) {
            std::fprintf(stderr,
                         "norvale-cli: the %zu files to recover need %s but %s has only %s "
                         "free. Free some space or choose another folder (or pass "
                         "--no-space-check to recover as much as fits).\n",
                         items.size(), FormatSize(int64_t(needed)).c_str(), options.to.c_str(),
                         FormatSize(int64_t(available)).c_str());
            return kExitBadInput;
        }
        if (space != kOk && !options.scan.quiet) {
            std::fprintf(stderr, "norvale-cli: cannot tell the free space of %s: %s.\n",
                         options.to.c_str(), ResultText(space).c_str());
        }
    }
    CliRecoveryObserver observer(options.scan.quiet);
    RecoveryDriver driver(session.Sources(), observer);
    FileWriteOptions writeOptions;
    writeOptions.keepPartial = options.keepPartial;
    writeOptions.skipExisting = !options.noSkipExisting;
    driver.SetWriteOptions(writeOptions);
    if (session.IsDisk()) {
        // One folder per partition: two partitions may well hold files of the same name.
        std::map<uint16_t, std::string> folders;
        for (size_t i = 0; i < session.Sources().size(); ++i) {
            const SourceInfo& s = session.Sources()[i];
            if (s.partition) folders[s.Tag()] = PartitionFolderName(*s.partition);
        }
        driver.SetSourceFolders(std::move(folders));
    }
    RecoveryOutcome outcome = RecoverWithInterrupt(driver, items, options.to);
    for (const RecoveryDetailRow& row : driver.DetailRows()) {
        if (row.result != kOk) {
            // The folder the file was meant for, so that a write error names its place.
            const std::string into = options.to + "/" + CategoryOf(row.name);
            std::fprintf(stderr, "failed: %s -> %s: %s\n", TerminalText(row.name).c_str(),
                         TerminalText(into).c_str(), row.status.c_str());
        }
    }
    RecoveryCounts c = driver.Counts();
    std::string already;
    if (c.alreadyRecovered > 0) {
        already = "; " + std::to_string(c.alreadyRecovered) + " already there, not written again";
    }
    std::printf("Recovered %d of %d files into %s (%d failed%s)%s.\n", c.Succeeded(), c.total,
                options.to.c_str(), c.failed, already.c_str(),
                outcome == RecoveryOutcome::kStopped ? "; stopped before the end" : "");
    if (outcome == RecoveryOutcome::kStopped) {
        std::printf("Stopped: %d file%s not tried.\n", c.notTried,
                    c.notTried == 1 ? " was" : "s were");
        return kExitStopped;
    }
    // A scan that ended on an error (its logs could not be written) may have missed files.
    const Result scanResult = session.ScanResult();
    const bool scanOk = scanResult == kOk || scanResult == kScanCancelled;
    return c.failed == 0 && scanOk ? 0 : 1;
}

}  // namespace norvale::cli
