// The pass of CProfessionalFatRecovery: layouts inferred from "." entries, directory sectors
// placed by those layouts (or kept until one appears), files recorded under their directory's
// key, and at the end the folders above them.

#include <algorithm>

#include "carving/identify.h"
#include "carving/signature_table.h"
#include "device/bytes.h"
#include "fat/boot_sector.h"
#include "fat/professional_fat_recovery.h"

namespace norvale {
namespace {

constexpr size_t kBootBlockBytes = 4096;
constexpr size_t kMaxTailBytes = 20 * kDirEntryBytes;  // the pieces of the longest name

// The cluster named by the entry at `offset` (the "." entry at 0, ".." at 32).
uint32_t DotCluster(std::span<const uint8_t> sector, size_t offset) {
    return (uint32_t{Le16(&sector[offset + 20])} << 16) | Le16(&sector[offset + 26]);
}

}  // namespace

void CProfessionalFatRecovery::ResetPass() {
    rootCluster_ = 2;
    bootGuess_ = false;
    guesses_.clear();
    anchors_.clear();
    heldFiles_.clear();
    unresolvedHeld_ = 0;
    folderEntries_.clear();
    referencedFolders_.clear();
    registeredFrom_.clear();
    orphans_.clear();
    orphanBytes_ = 0;
    pendingTails_.clear();
    run_ = Run{};
    dotInfoCache_.clear();
    depthCache_.clear();
    dataEnds_.clear();
}

Result CProfessionalFatRecovery::ProbeBootSector() {
    if (!IsOpen()) return openResult_;
    if (bootGuess_) return kOk;
    const uint32_t count = std::max<uint32_t>(1, kBootBlockBytes / sectorSize_);
    std::vector<uint8_t> block(size_t{count} * sectorSize_);
    uint32_t got = 0;
    const Result r = reader_.ReadSectors(count, block.data(), partitionStartLba_, sectorSize_, got);
    if (r != kOk) return r;
    if (!IsFatBootSector(block)) return kOk;
    const uint64_t mediumEnd = MediumEnd();
    const uint64_t partitionSectors =
        partitionSectors_ != 0
            ? partitionSectors_
            : (mediumEnd > partitionStartLba_ ? mediumEnd - partitionStartLba_ : 0);
    const FatGeometry g = LoadGeometry(block, 0, partitionSectors, sectorSize_);
    // The volume may count larger sectors than the medium; the pass counts the medium's.
    if (g.bytesPerSector < sectorSize_ || g.bytesPerSector % sectorSize_ != 0) return kOk;
    // A layout that cannot be right for the medium would only misplace what the pass finds.
    if (!FatGeometryFitsMedium(g)) return kOk;
    const uint32_t scale = g.bytesPerSector / sectorSize_;
    FatLayoutGuess guess;
    guess.sectorsPerCluster = g.sectorsPerCluster * scale;
    guess.dataStartLba = partitionStartLba_ + uint64_t{g.dataStart} * scale;
    guess.rootSectors = g.isFat32 ? 0 : g.rootDirSectors * scale;
    rootCluster_ = g.isFat32 ? g.rootCluster : 0;
    guesses_.push_back(guess);
    bootGuess_ = true;
    return kOk;
}

std::optional<uint64_t> CProfessionalFatRecovery::ClusterLba(int guess, uint32_t cluster) const {
    if (guess < 0 || size_t(guess) >= guesses_.size()) return std::nullopt;
    return GuessClusterLba(guesses_[size_t(guess)], cluster);
}

int CProfessionalFatRecovery::GuessPlacing(uint32_t cluster, uint64_t lba) const {
    for (size_t i = 0; i < guesses_.size(); ++i) {
        if (GuessClusterLba(guesses_[i], cluster) == lba) return int(i);
    }
    return kNoGuess;
}

CProfessionalFatRecovery::Evidence CProfessionalFatRecovery::ParentEvidence(uint32_t parent,
                                                                            int guess) {
    if (IsRootKey(parent)) return Evidence::kNone;
    const DotInfo d = FirstSectorOf(guess, parent);
    if (!d.readOk) return Evidence::kNone;
    return d.info.opensFolder && d.info.selfCluster == parent ? Evidence::kConfirmed
                                                              : Evidence::kContradicted;
}

CProfessionalFatRecovery::Evidence CProfessionalFatRecovery::SubfolderEvidence(
    const DirectoryBlockScan& scan, int guess) {
    constexpr int kMaxChecked = 3;
    int checked = 0;
    bool contradicted = false;
    for (const FoundDirEntry& found : scan.entries) {
        if (!found.isFolder || found.entry.IsDeleted()) continue;
        const uint32_t cluster = found.entry.FirstCluster(true);
        if (IsRootKey(cluster)) continue;
        const DotInfo d = FirstSectorOf(guess, cluster);
        if (!d.readOk) continue;
        if (d.info.opensFolder && d.info.selfCluster == cluster) return Evidence::kConfirmed;
        contradicted = true;
        if (++checked == kMaxChecked) break;
    }
    return contradicted ? Evidence::kContradicted : Evidence::kNone;
}

int CProfessionalFatRecovery::ContentEvidence(const DirectoryBlockScan& scan, int guess) {
    constexpr int kMaxChecked = 4;
    int checked = 0;
    int score = 0;
    std::vector<uint8_t> sector;
    for (const FoundDirEntry& found : scan.entries) {
        if (found.isFolder || found.entry.fileSize == 0) continue;
        const std::string_view ext = ExtensionOf(found.name);
        if (ext.empty() || FirstRowWithExtension(ext) == nullptr) continue;
        const uint32_t cluster = found.entry.FirstCluster(true);
        if (cluster < 2) continue;
        const auto lba = ClusterLba(guess, cluster);
        if (!lba || !ReadSector(*lba, sector)) continue;
        score += CheckTypeByExtension(*carvingContext_, sector, ext, &reader_, sectorSize_, *lba)
                     ? 1
                     : -1;
        if (++checked == kMaxChecked) break;
    }
    return score;
}

int CProfessionalFatRecovery::GuessForAnchor(const DotAnchor& anchor, uint32_t parent) {
    if (anchor.cluster < 2) return kNoGuess;
    // A layout that places this "." but not its ".." belongs to another volume (a new boot
    // sector over an old one of other geometry can place a few old folders by coincidence).
    auto pick = [&] {
        int fallback = kNoGuess;
        for (size_t i = 0; i < guesses_.size(); ++i) {
            if (GuessClusterLba(guesses_[i], anchor.cluster) != anchor.lba) continue;
            const Evidence e = ParentEvidence(parent, int(i));
            if (e == Evidence::kConfirmed) return int(i);
            if (e == Evidence::kNone && fallback == kNoGuess) fallback = int(i);
        }
        return fallback;
    };
    if (const int g = pick(); g != kNoGuess) return g;
    if (guesses_.size() < limits_.maxGuesses) {
        const auto derived = DeriveLayoutGuess(anchors_, anchor);
        if (derived && std::find(guesses_.begin(), guesses_.end(), *derived) == guesses_.end()) {
            guesses_.push_back(*derived);
        }
    }
    if (anchors_.size() < limits_.maxAnchors) anchors_.push_back(anchor);
    return pick();
}

std::optional<std::pair<int, uint32_t>> CProfessionalFatRecovery::AlignedGuess(
    std::span<const uint8_t> sector, uint64_t lba, bool deferContradicted) {
    // Several layouts may put a cluster start here (a new boot sector's and an old volume's).
    // The subfolders a directory lists open with "." entries naming them under the layout the
    // directory belongs to, and a directory's clusters lie next to the files written into it;
    // the layout with the most such evidence wins, the earlier one on a tie.
    // The files the block lists decide too: under the right layout their first clusters hold
    // content of the kind their names promise, under a new boot sector's layout they are read
    // from the middle of other files. A block that only the wrong layout places so far is kept
    // for the end, when the old layout may have been learnt.
    std::optional<std::pair<int, uint32_t>> best;
    int bestScore = 0;
    std::optional<DirectoryBlockScan> scan;
    for (size_t i = 0; i < guesses_.size(); ++i) {
        const auto cluster = GuessClusterStartingAt(guesses_[i], lba);
        if (!cluster) continue;
        if (!scan) scan = ScanDirectoryBlock(sector);
        const Evidence e = SubfolderEvidence(*scan, int(i));
        int score = e == Evidence::kConfirmed ? 2 : e == Evidence::kContradicted ? -2 : 0;
        if (GrownDirectory(*scan, int(i), *cluster)) score += 1;
        score += ContentEvidence(*scan, int(i));
        if (!best || score > bestScore) {
            best = std::make_pair(int(i), *cluster);
            bestScore = score;
        }
    }
    // Every layout contradicted: the right one may only be learnt further on.
    if (best && bestScore < 0 && deferContradicted) return std::nullopt;
    return best;
}

std::optional<uint32_t> CProfessionalFatRecovery::GrownDirectory(const DirectoryBlockScan& scan,
                                                                 int guess,
                                                                 uint32_t cluster) const {
    // A directory that ran out of room went on in a cluster taken while files were written
    // into it one after another: right after the data of the last file it listed, or just
    // before the data of the first file it lists there.
    const auto after = [&](uint32_t c) -> std::optional<uint32_t> {
        const auto it = dataEnds_.find((uint64_t(uint32_t(guess)) << 32) | c);
        if (it == dataEnds_.end() || it->second == cluster) return std::nullopt;
        return it->second;
    };
    if (const auto d = after(cluster)) return d;
    for (const FoundDirEntry& found : scan.entries) {
        if (found.isFolder || found.entry.fileSize == 0) continue;
        return after(found.entry.FirstCluster(true));
    }
    return std::nullopt;
}

CProfessionalFatRecovery::DotInfo CProfessionalFatRecovery::FirstSectorOf(int guess,
                                                                          uint32_t cluster) {
    const auto key = std::make_pair(guess, cluster);
    if (const auto it = dotInfoCache_.find(key); it != dotInfoCache_.end()) return it->second;
    DotInfo d;
    if (const auto lba = ClusterLba(guess, cluster)) {
        d.lba = *lba;
        std::vector<uint8_t> sector;
        if (ReadSector(*lba, sector)) {
            d.readOk = true;
            d.info = ReadDotSector(sector);
        }
    }
    if (dotInfoCache_.size() >= kMaxCachedSectors) dotInfoCache_.clear();
    dotInfoCache_.emplace(key, d);
    return d;
}

// ---- Entry points of the pass ----

void CProfessionalFatRecovery::OnDotSector(std::span<const uint8_t> sector, uint64_t lba) {
    if (!store_ || !store_->IsOpen() || sector.size() < 2 * kDirEntryBytes) return;
    sector = sector.first(std::min<size_t>(sector.size(), sectorSize_));
    DropStaleTails(lba);
    const uint32_t cluster = DotCluster(sector, 0);
    const size_t known = guesses_.size();
    const int guess = GuessForAnchor({cluster, lba}, DotCluster(sector, kDirEntryBytes));
    // A new layout may place the files of directories met before it.
    if (guess != kNoGuess && guesses_.size() != known) PlaceHeldFiles(known);
    const ParseResult pr = ParseChain(sector, lba, lba + 1, cluster, guess);
    if (guess != kNoGuess) {
        SetRun(guess, lba, pr.key, !pr.endMarker);
    } else {
        run_ = Run{};
    }
}

void CProfessionalFatRecovery::OnDirectorySector(std::span<const uint8_t> sector, uint64_t lba) {
    if (!store_ || !store_->IsOpen() || sector.size() < kDirEntryBytes) return;
    sector = sector.first(std::min<size_t>(sector.size(), sectorSize_));
    DropStaleTails(lba);
    if (const auto t = PendingTailFor(sector, lba)) {
        const Tail tail = std::move(pendingTails_[*t]);
        pendingTails_.erase(pendingTails_.begin() + std::ptrdiff_t(*t));
        ParseJoined(tail, sector, lba);
        return;
    }
    if (RunCovers(lba)) {
        const ParseResult pr = ParseChain(sector, lba, lba + 1, run_.key, run_.guess);
        run_.key = pr.key;
        run_.open = !pr.endMarker;
        return;
    }
    // A sector that begins a cluster under a layout that its subfolders do not contradict;
    // otherwise kept: the right layout may only be learnt further on.
    if (const auto aligned = AlignedGuess(sector, lba, true)) {
        ParseAligned(sector, lba, aligned->first, aligned->second);
        return;
    }
    KeepOrphan(sector, lba);
}

Result CProfessionalFatRecovery::FinishScan() {
    if (!store_ || !store_->IsOpen()) return IsOpen() ? kErrInvalidHandle : openResult_;
    PlaceOrphans();
    pendingTails_.clear();
    // Files are placed before folders are emitted, so that every folder above a file placed
    // late is emitted too.
    PlaceHeldFiles(0);
    for (HeldFile& h : heldFiles_) {
        if (h.resolved) continue;
        const auto g = NearestGuess(guesses_, bootGuess_, h.record.location);
        if (!g) break;  // no layout at all: nothing can be read for them
        EmitFile(h.record, h.parentKey, h.highWordLost, int(*g));
        RegisterFoldersAbove(h.parentKey, int(*g), h.record.location);
        h.resolved = true;
    }
    heldFiles_.clear();
    unresolvedHeld_ = 0;
    EmitFolders();
    referencedFolders_.clear();
    folderEntries_.clear();
    registeredFrom_.clear();
    run_ = Run{};
    return store_->Flush();
}

// ---- Placing sectors ----

void CProfessionalFatRecovery::SetRun(int guess, uint64_t lba, uint32_t key, bool open) {
    run_ = Run{};
    if (guess < 0 || size_t(guess) >= guesses_.size()) return;
    const FatLayoutGuess& g = guesses_[size_t(guess)];
    const auto cluster = GuessClusterContaining(g, lba);
    if (!cluster) return;
    const auto start = GuessClusterLba(g, *cluster);
    if (!start) return;
    run_ = Run{true, guess, *cluster, *start, GuessClusterSpan(g, *cluster), key, open};
}

bool CProfessionalFatRecovery::RunCovers(uint64_t lba) const {
    return run_.valid && lba >= run_.startLba && lba - run_.startLba < run_.span;
}

void CProfessionalFatRecovery::ParseAligned(std::span<const uint8_t> sector, uint64_t lba,
                                            int guess, uint32_t cluster) {
    uint32_t key = cluster;
    // A directory that filled its cluster without an end goes on in the next cluster as often
    // as not: files keep their folder instead of landing in a lost one.
    if (run_.valid && run_.guess == guess && run_.open && cluster >= 3 &&
        run_.cluster + 1 == cluster) {
        key = run_.key;
    }
    const ParseResult pr = ParseChain(sector, lba, lba + 1, key, guess);
    SetRun(guess, lba, pr.key, !pr.endMarker);
}

void CProfessionalFatRecovery::KeepOrphan(std::span<const uint8_t> sector, uint64_t lba) {
    if (orphans_.count(lba) != 0) return;
    if (orphanBytes_ + sector.size() > limits_.maxOrphanBytes) return;
    orphans_[lba].bytes.assign(sector.begin(), sector.end());
    orphanBytes_ += sector.size();
}

void CProfessionalFatRecovery::PlaceOrphans() {
    run_ = Run{};
    for (auto& [lba, orphan] : orphans_) {
        if (orphan.used) continue;
        orphan.used = true;
        const std::span<const uint8_t> sector(orphan.bytes);
        DropStaleTails(lba);
        if (const auto t = PendingTailFor(sector, lba)) {
            const Tail tail = std::move(pendingTails_[*t]);
            pendingTails_.erase(pendingTails_.begin() + std::ptrdiff_t(*t));
            ParseJoined(tail, sector, lba);
            continue;
        }
        // As in the pass: the rest of a cluster whose start was placed stays with it (a layout
        // of smaller clusters would put a cluster start on each of its sectors).
        if (RunCovers(lba)) {
            const ParseResult pr = ParseChain(sector, lba, lba + 1, run_.key, run_.guess);
            run_.key = pr.key;
            run_.open = !pr.endMarker;
            continue;
        }
        if (const auto aligned = AlignedGuess(sector, lba, false)) {
            ParseAligned(sector, lba, aligned->first, aligned->second);
            continue;
        }
        const auto g = NearestGuess(guesses_, bootGuess_, lba);
        if (!g) continue;
        // A sector before the data area of every layout has no cluster to belong to.
        const auto cluster = GuessClusterContaining(guesses_[*g], lba);
        if (!cluster) continue;
        ParseChain(sector, lba, lba + 1, *cluster, int(*g));
    }
    orphans_.clear();
    orphanBytes_ = 0;
}

// ---- Long names cut off at the end of a block ----

CProfessionalFatRecovery::Tail CProfessionalFatRecovery::MakeTail(std::span<const uint8_t> block,
                                                                  const DirectoryBlockScan& scan,
                                                                  uint64_t lba, uint64_t endLba,
                                                                  uint32_t key, int guess) const {
    Tail t;
    t.checksum = scan.tailChecksum;
    t.key = key;
    t.lba = lba + scan.tailOffset / sectorSize_;
    t.endLba = endLba;
    t.guess = guess;
    const size_t from =
        std::max(scan.tailOffset, block.size() - std::min(block.size(), kMaxTailBytes));
    t.bytes.assign(block.begin() + std::ptrdiff_t(from), block.end());
    // A tail that fills its cluster to the end goes on wherever the directory's next cluster is.
    if (guess != kNoGuess) {
        t.endsCluster = GuessClusterStartingAt(guesses_[size_t(guess)], endLba).has_value();
    }
    return t;
}

bool CProfessionalFatRecovery::TailContinuesInto(const Tail& tail, std::span<const uint8_t> sector,
                                                 uint64_t sectorLba) const {
    if (sectorLba == tail.endLba) return ContinuesLongName(sector, tail.checksum, true);
    if (!tail.endsCluster || sectorLba < tail.endLba || tail.guess == kNoGuess) return false;
    return GuessClusterStartingAt(guesses_[size_t(tail.guess)], sectorLba).has_value() &&
           ContinuesLongName(sector, tail.checksum, false);
}

std::optional<size_t> CProfessionalFatRecovery::PendingTailFor(std::span<const uint8_t> sector,
                                                               uint64_t lba) const {
    for (size_t i = 0; i < pendingTails_.size(); ++i) {
        if (TailContinuesInto(pendingTails_[i], sector, lba)) return i;
    }
    return std::nullopt;
}

void CProfessionalFatRecovery::DropStaleTails(uint64_t lba) {
    // The pass runs forward: a tail whose next sector went by without carrying it on is done.
    std::erase_if(pendingTails_, [&](const Tail& t) { return t.endLba < lba && !t.endsCluster; });
}

CProfessionalFatRecovery::Orphan* CProfessionalFatRecovery::OrphanContinuing(const Tail& tail) {
    const auto it = orphans_.find(tail.endLba);
    if (it == orphans_.end() || it->second.used) return nullptr;
    return TailContinuesInto(tail, it->second.bytes, it->first) ? &it->second : nullptr;
}

CProfessionalFatRecovery::ParseResult CProfessionalFatRecovery::ParseJoined(
    const Tail& tail, std::span<const uint8_t> sector, uint64_t sectorLba) {
    std::vector<uint8_t> joined(tail.bytes);
    joined.insert(joined.end(), sector.begin(), sector.end());
    int guess = tail.guess;
    if (guess == kNoGuess) guess = GuessPlacing(tail.key, tail.lba);
    ParseResult pr = ParseChain(joined, tail.lba, sectorLba + 1, tail.key, guess);
    SetRun(guess, sectorLba, pr.key, !pr.endMarker);  // no layout: no run
    return pr;
}

CProfessionalFatRecovery::ParseResult CProfessionalFatRecovery::ParseChain(
    std::span<const uint8_t> block, uint64_t lba, uint64_t endLba, uint32_t key, int guess) {
    ParseResult first = ParseBlock(block, lba, endLba, key, guess);
    std::optional<Tail> tail = std::move(first.tail);
    first.tail.reset();
    // Sectors kept earlier may carry the name on; each is used once, so the chain ends.
    while (tail) {
        Orphan* next = OrphanContinuing(*tail);
        if (!next) {
            pendingTails_.push_back(std::move(*tail));
            if (pendingTails_.size() > limits_.maxPendingTails) {
                pendingTails_.erase(pendingTails_.begin());
            }
            break;
        }
        next->used = true;
        std::vector<uint8_t> joined(tail->bytes);
        joined.insert(joined.end(), next->bytes.begin(), next->bytes.end());
        next->bytes.clear();
        next->bytes.shrink_to_fit();
        const int g = tail->guess != kNoGuess ? tail->guess : GuessPlacing(tail->key, tail->lba);
        ParseResult pr = ParseBlock(joined, tail->lba, tail->endLba + 1, tail->key, g);
        tail = std::move(pr.tail);
    }
    return first;
}

}  // namespace norvale
