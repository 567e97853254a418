#include "engine/scan_driver.h"

#include <cstdio>
#include <cwctype>

#include "engine/engine_factory.h"
#include "engine/scan_log_history.h"

namespace norvale {
namespace {

ScanStage StageOf(const SourceInfo& s, size_t index, size_t count) {
    ScanStage stage;
    stage.index = index;
    stage.count = count;
    stage.isImage = !s.IsPartition();
    stage.tag = s.Tag();
    if (stage.isImage) {
        size_t slash = s.imagePath.find_last_of("/\\");
        stage.imageName = slash == std::string::npos ? s.imagePath : s.imagePath.substr(slash + 1);
        stage.devicePath = s.imagePath;
    } else {
        stage.hasLetter = std::iswalpha(wint_t(s.partition->driveLetter)) != 0;
        // A partition of an image (or of a disk the system lists no partitions for) is read
        // through its disk: it has no device of its own.
        stage.devicePath = s.partition->kind == PartitionRecord::Kind::Partition &&
                                   !s.partition->volumeRoot.empty()
                               ? s.partition->volumeRoot
                               : s.partition->diskPath;
    }
    return stage;
}

}  // namespace

std::string RemainingTimeText(int64_t s) {
    char buf[64];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%lld Hour %lld Min", static_cast<long long>(s / 3600),
                      static_cast<long long>((s % 3600) / 60));
    } else if (s >= 60) {
        std::snprintf(buf, sizeof buf, "%lld Min %lld Sec", static_cast<long long>(s / 60),
                      static_cast<long long>(s % 60));
    } else {
        std::snprintf(buf, sizeof buf, "%lld Sec", static_cast<long long>(s));
    }
    return buf;
}

ScanDriver::ScanDriver(std::vector<SourceInfo*> sources, bool professional, IScanObserver& observer)
    : sources_(std::move(sources)), professional_(professional), observer_(observer) {}

void ScanDriver::RequestStop() {
    stopRequested_ = true;
}

int ScanDriver::ProgressThunk(void* userData, int percent, int scale, int secondsLeft,
                              uint64_t currentSector, uint64_t totalSectors, uint64_t filesFound,
                              int) {
    auto* self = static_cast<ScanDriver*>(userData);
    std::lock_guard guard(self->lock_);
    if (self->stopRequested_) return kScanCancelled;
    ScanProgress p;
    p.shownPercent = percent * scale / 100;
    p.secondsLeft = secondsLeft;
    p.currentSector = currentSector;
    p.totalSectors = totalSectors;
    p.filesFound = filesFound;
    self->observer_.OnProgress(p);
    return 0;
}

ScanOutcome ScanDriver::Run() {
    if (sources_.empty()) {
        observer_.OnFinished(ScanOutcome::kNothingToDo, 0);
        return ScanOutcome::kNothingToDo;
    }
    size_t scanned = 0;
    for (size_t i = 0; i < sources_.size(); ++i) {
        SourceInfo& source = *sources_[i];
        ScanStage stage = StageOf(source, i, sources_.size());
        observer_.OnStage(stage);

        source.engine.reset();  // a rescan replaces the earlier engine
        if (builder_) {
            source.engine = builder_(source);
        } else if (source.IsPartition()) {
            const PartitionRecord& p = *source.partition;
            source.engine = CreateRecoveryEngine(p.diskNumber, p.startLba, p.sectorCount,
                                                 p.driveLetter, professional_);
        } else {
            source.engine = CreateRecoveryEngine(source.imagePath, source.imageTag, professional_);
        }
        if (!source.engine) {
            if (!skipUnreadable_) {
                observer_.OnFinished(ScanOutcome::kEngineFailed, i);
                return ScanOutcome::kEngineFailed;
            }
            observer_.OnSourceSkipped(stage);
            continue;
        }
        ++scanned;

        ScanLogHistory& history = ScanLogHistory::Instance();
        if (!professional_) {
            history.NewScanFolder();
        } else if (history.ResumeFound()) {
            // Opening the engine found a saved scan of this source; declining discards it so
            // the engine starts over in a new folder.
            stage.savedScanFinished = history.ResumeFinished();
            if (!observer_.AskResume(stage)) {
                std::string folder = history.ResumeFolder();
                history.DeclineResume();
                (void)history.DeleteScanLog(folder);
                // The saved history forgets it too: a run stopped before it saves anything
                // must not leave a record of a folder that is gone.
                (void)history.Save();
            }
        }

        (void)source.engine->SetCallbacks(&ScanDriver::ProgressThunk, nullptr, this,
                                          kFullProgressScale);
        Result r = source.engine->Scan(nullptr);
        observer_.OnSourceDone(stage, r, source.engine->GetItemCount());
        if (r == kScanCancelled) {
            observer_.OnFinished(ScanOutcome::kStopped, 0);
            return ScanOutcome::kStopped;
        }
    }
    if (scanned == 0) {
        observer_.OnFinished(ScanOutcome::kEngineFailed, 0);  // none could be read
        return ScanOutcome::kEngineFailed;
    }
    observer_.OnFinished(ScanOutcome::kCompleted, 0);
    return ScanOutcome::kCompleted;
}

}  // namespace norvale
