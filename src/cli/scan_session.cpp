#include "cli/scan_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sstream>

#include "app/engine_set.h"
#include "app/source_plan.h"
#include "carving/sector_pass.h"
#include "cli/progress_bar.h"
#include "cli/source_arg.h"
#include "engine/scan_driver.h"
#include "engine/search.h"
#include "engine/text_codec.h"

namespace norvale::cli {
namespace {

std::atomic<ScanDriver*> gActiveScan{nullptr};
std::atomic<Search*> gActiveSearch{nullptr};
std::atomic<RecoveryDriver*> gActiveRecovery{nullptr};

void OnInterrupt(int) {
    // Only lock-free atomic stores here: the engines see the stop at their next report.
    if (ScanDriver* d = gActiveScan.load()) d->RequestStop();
    if (Search* s = gActiveSearch.load()) s->RequestStop();
    if (RecoveryDriver* r = gActiveRecovery.load()) r->RequestStop();
}

class InterruptGuard {
  public:
    InterruptGuard() {
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &old_);
    }
    ~InterruptGuard() { ::sigaction(SIGINT, &old_, nullptr); }

  private:
    struct sigaction old_ {};
};

class CliScanObserver : public IScanObserver {
  public:
    CliScanObserver(bool quiet, const ScanOptions& options,
                    const std::vector<std::string>& partitionNames)
        : quiet_(quiet), options_(options), names_(partitionNames) {}
    void OnStage(const ScanStage& stage) override {
        if (!quiet_) std::fprintf(stderr, "Scanning %s\n", StageName(stage).c_str());
        bar_ = ProgressBar("scan");
    }
    void OnSourceSkipped(const ScanStage& stage) override {
        if (!quiet_) bar_.Finish();
        // Said even when quiet: the listing that follows lacks this partition.
        std::fprintf(
            stderr,
            "norvale-cli: %s holds no FAT, exFAT or NTFS file system that the deleted-file "
            "scan can read; skipped (--mode full searches it).\n",
            StageName(stage).c_str());
    }
    void OnProgress(const ScanProgress& p) override {
        if (quiet_) return;
        std::string detail =
            p.secondsLeft < 0 ? "estimating time" : RemainingTimeText(p.secondsLeft) + " left";
        if (p.totalSectors != 0) {
            detail += ", sector " + std::to_string(p.currentSector) + "/" +
                      std::to_string(p.totalSectors) + ", " + std::to_string(p.filesFound) +
                      " files found";
        }
        bar_.Update(p.shownPercent, detail);
    }
    void OnSourceDone(const ScanStage&, Result r, uint64_t itemCount) override {
        if (!quiet_) bar_.Finish();
        // The first failure of any partition is the scan's: what it missed is missing.
        if (result == kOk || result == kScanCancelled) result = r;
        items += itemCount;
    }
    bool AskResume(const ScanStage& stage) override {
        if (options_.restart) return false;
        if (options_.resume) return true;
        // The partitions of one disk were scanned together: one answer serves them all.
        if (answer_) return *answer_;
        std::fprintf(stderr,
                     "A saved scan of %s exists. Continue it? [Y/n] (--resume / --restart "
                     "answer without asking) ",
                     stage.count > 1 ? options_.source.c_str() : StageName(stage).c_str());
        int c = std::getchar();
        answer_ = !(c == 'n' || c == 'N');
        return *answer_;
    }
    void OnFinished(ScanOutcome o, size_t) override { outcome = o; }

    ScanOutcome outcome = ScanOutcome::kNothingToDo;
    Result result = kOk;
    uint64_t items = 0;

  private:
    // "card.img: Partition 1 (CARD, FAT32)" for a partition of a disk, else the device or file.
    std::string StageName(const ScanStage& stage) const {
        if (stage.index < names_.size() && !names_[stage.index].empty())
            return options_.source + ": " + names_[stage.index];
        return stage.devicePath.empty() ? options_.source : stage.devicePath;
    }

    bool quiet_;
    const ScanOptions& options_;
    const std::vector<std::string>& names_;
    std::optional<bool> answer_;
    ProgressBar bar_{"scan"};
};

class CliSearchObserver : public ISearchObserver {
  public:
    explicit CliSearchObserver(bool quiet) : quiet_(quiet) {}
    void OnSourceListing(const SourceInfo&) override {}
    void OnProgress(int percent) override {
        if (!quiet_) bar_.Update(percent, "collecting");
    }
    void Done() {
        if (!quiet_) bar_.Finish();
    }

  private:
    bool quiet_;
    ProgressBar bar_{"list"};
};

// True when the file or disk at `path` holds no byte at all (an image cut to nothing, a card
// reader reporting a size of 0).
bool SourceIsEmpty(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;  // the scan reports why it cannot be read
    const off_t end = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    return end == 0;
}

}  // namespace

int ScanSession::Run(const ScanOptions& options) {
    InstallEngineMakers();
    bool professional;
    bool carveOnly = false;
    if (options.mode == "deleted") {
        professional = false;
    } else if (options.mode == "full") {
        professional = true;
    } else if (options.mode == "carve") {
        professional = false;
        carveOnly = true;
    } else {
        std::fprintf(stderr, "norvale-cli: unknown mode '%s': use deleted, full or carve.\n",
                     options.mode.c_str());
        return kExitBadInput;
    }

    SourceArg arg;
    std::string error;
    if (int rc = ResolveSource(options.source, arg, error); rc != 0) {
        std::fprintf(stderr, "norvale-cli: %s\n", error.c_str());
        return rc;
    }
    struct stat st {};
    if (::stat(arg.path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) deviceNumber_ = st.st_rdev;
    if (SourceIsEmpty(arg.path)) {
        std::fprintf(stderr, "norvale-cli: %s is empty (0 bytes): there is nothing to scan.\n",
                     options.source.c_str());
        return kExitBadInput;
    }

    const ScanMode mode = carveOnly      ? ScanMode::kCarve
                          : professional ? ScanMode::kFull
                                         : ScanMode::kDeleted;
    SourcePlan plan;
    const Result planned = PlanSources(arg.path, mode, options.partition, plan);
    // The partition table's problems, and why a --partition cannot be had, one line each.
    for (const std::string& note : plan.notes)
        std::fprintf(stderr, "norvale-cli: %s: %s\n", options.source.c_str(), note.c_str());
    if (planned != kOk) {
        if (plan.notes.empty()) {
            std::fprintf(stderr, "norvale-cli: cannot read %s: %s.\n", options.source.c_str(),
                         ResultText(planned).c_str());
        }
        return kExitBadInput;
    }
    mediumPath_ = arg.path;
    isDisk_ = plan.isDisk;
    includeDamaged_ = options.damaged;
    SetPassSettings(PassSettings{options.threads, options.direct});
    carving_ = professional || carveOnly;
    partitionNames_ = std::move(plan.partitionNames);
    sources_ = std::move(plan.sources);
    std::vector<SourceInfo*> toScan;
    for (SourceInfo& s : sources_) toScan.push_back(&s);

    CliScanObserver observer(options.quiet, options, partitionNames_);
    ScanDriver driver(toScan, professional, observer);
    if (carveOnly) driver.SetEngineBuilder(MakeCarveOnlyEngine);
    // A disk's partitions that the deleted-file scan cannot read are passed over, not fatal.
    driver.SetSkipUnreadable(isDisk_);
    InterruptGuard guard;
    gActiveScan = &driver;
    driver.Run();
    gActiveScan = nullptr;

    if (observer.outcome == ScanOutcome::kEngineFailed) {
        std::fprintf(stderr,
                     professional || carveOnly ? "norvale-cli: cannot read %s.\n"
                     : isDisk_ ? "norvale-cli: no partition of %s holds a FAT, exFAT or NTFS file "
                                 "system that the deleted-file scan can read. Try --mode full.\n"
                               : "norvale-cli: %s holds no FAT, exFAT or NTFS file system that the "
                                 "deleted-file scan can read (or it cannot be read). Try "
                                 "--mode full.\n",
                     options.source.c_str());
        return 1;
    }
    stopped_ = observer.outcome == ScanOutcome::kStopped;
    scanResult_ = observer.result;
    if (stopped_ && !options.quiet) {
        std::fprintf(stderr, "Stopped: keeping what was found so far.\n");
    } else if (observer.result != kOk && observer.result != kScanCancelled) {
        std::fprintf(stderr, "norvale-cli: the scan of %s ended early: %s.\n",
                     options.source.c_str(), ResultText(observer.result).c_str());
    }
    return 0;
}

size_t ScanSession::IndexOfTag(uint16_t tag) const {
    for (size_t i = 0; i < sources_.size(); ++i) {
        if (sources_[i].Tag() == tag) return i;
    }
    return sources_.size();
}

uint64_t ScanSession::ShownItemCount(size_t index) {
    IFileRecoveryParse* engine = index < sources_.size() ? sources_[index].engine.get() : nullptr;
    if (!engine) return 0;
    const uint64_t count = engine->GetItemCount();
    // Only the passes that carve record damaged carves; the others' count stands as it is.
    if (includeDamaged_ || !carving_ || count == 0) return count;
    std::vector<RecoveredItem> items;
    (void)engine->SetListCallback(nullptr, nullptr);
    engine->ListByType(BuildFilter({}) + "|*.other", items);
    const auto damaged =
        static_cast<uint64_t>(std::count_if(items.begin(), items.end(), IsDamagedCarve));
    return count > damaged ? count - damaged : 0;
}

std::vector<RecoveredItem> CollectItems(ScanSession& session, const std::string& pattern,
                                        bool quiet) {
    CliSearchObserver observer(quiet);
    Search search(observer);
    search.SetIncludeDamaged(session.includeDamaged_);
    std::vector<SourceInfo*> sources;
    for (SourceInfo& s : session.Sources()) sources.push_back(&s);
    std::vector<RecoveredItem> items;
    InterruptGuard guard;
    gActiveSearch = &search;
    search.Run(sources, pattern, items);
    gActiveSearch = nullptr;
    session.collectStopped_ = search.StopRequested();
    observer.Done();
    return items;
}

RecoveryOutcome RecoverWithInterrupt(RecoveryDriver& driver,
                                     const std::vector<RecoveredItem>& items,
                                     const std::string& root) {
    InterruptGuard guard;
    gActiveRecovery = &driver;
    const RecoveryOutcome outcome = driver.RecoverItems(items, root);
    gActiveRecovery = nullptr;
    return outcome;
}

bool PatternFromOptions(const std::string& types, const std::string& exts, std::string& pattern,
                        std::string& error) {
    std::string byExt;
    if (!exts.empty()) {
        std::vector<std::string> keys;
        std::stringstream in(exts);
        std::string key;
        while (std::getline(in, key, ',')) {
            while (!key.empty() && key.front() == '.') key.erase(0, 1);
            if (!key.empty()) keys.push_back(ToLowerAscii(key));
        }
        if (!keys.empty()) byExt = BuildFilter(keys);
    }
    unsigned categories = 0;
    if (!types.empty()) {
        std::string bad;
        if (!ParseCategoryList(types, categories, bad)) {
            error =
                "unknown kind '" + bad + "': use photo, audio, video, document, archive or others.";
            return false;
        }
    }
    if (byExt.empty() && categories == 0) categories = kAllCategories;
    pattern = BuildCategoryFilter(categories);
    if (!byExt.empty()) pattern = pattern.empty() ? byExt : pattern + "|" + byExt;
    return true;
}

}  // namespace norvale::cli
