// The sector pass: chunking, skipping what a find covers across chunk ends, bad sectors, stops
// that resume where they stopped, the pass that reads ahead with workers, and the carve-only
// scan over an image file.
#include "carving/sector_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "carving/carve_only_recovery.h"
#include "carving_test_support.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::Medium;
using testing::RealFile;

struct Seen {
    uint64_t firstLba;
    size_t sectors;
};

TEST(SectorPass, ChunksCoverTheExtentAndSkipWhatAFindCovers) {
    Medium medium(1000, 0x5A);
    auto reader = medium.Reader();
    PassPosition position;
    position.extentStart = 100;
    position.extentLength = 600;
    std::vector<Seen> seen;
    std::vector<uint64_t> done;
    const Result r = RunExtent(
        *reader, 10, 512, position,
        [&](std::span<const uint8_t> chunk, uint64_t firstLba, uint64_t& covered) {
            seen.push_back({firstLba, chunk.size() / 512});
            // The first chunk's last find runs 50 sectors on.
            if (seen.size() == 1) covered += 50;
            return kOk;
        },
        [&](const PassPosition& at) {
            done.push_back(at.sectorsDone);
            return 0;
        });
    ASSERT_EQ(r, kOk);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].firstLba, 110u);
    EXPECT_EQ(seen[0].sectors, 128u);
    EXPECT_EQ(seen[1].firstLba, 110u + 178);
    EXPECT_EQ(seen[4].firstLba, 110u + 178 + 3 * 128);
    EXPECT_EQ(seen[4].sectors, 600u - 178 - 3 * 128);
    EXPECT_EQ(done.back(), 600u);
    EXPECT_EQ(position.offset, 600u);
}

TEST(SectorPass, FindRunningPastTheExtentEndsItWithoutOvercounting) {
    Medium medium(300);
    auto reader = medium.Reader();
    PassPosition position;
    position.extentLength = 200;
    const Result r = RunExtent(
        *reader, 0, 512, position,
        [](std::span<const uint8_t>, uint64_t, uint64_t& covered) {
            covered += 1000;
            return kOk;
        },
        [](const PassPosition&) { return 0; });
    EXPECT_EQ(r, kOk);
    EXPECT_EQ(position.sectorsDone, 200u);
}

TEST(SectorPass, BadSectorsCostOnlyThemselves) {
    Medium medium(512, 0x77);
    auto reader = medium.Reader({130, 300, 301});
    std::vector<uint8_t> chunk(128 * 512);
    EXPECT_EQ(ReadChunkTolerant(*reader, 128, 128, 512, chunk), 127u);
    for (uint32_t i = 0; i < 128; ++i) {
        const uint8_t expected = i == 2 ? 0 : 0x77;
        EXPECT_EQ(chunk[i * 512], expected) << i;
        EXPECT_EQ(chunk[i * 512 + 511], expected) << i;
    }

    // A chunk of which nothing can be read is counted and skipped.
    std::set<uint64_t> all;
    for (uint64_t s = 128; s < 256; ++s) all.insert(s);
    auto dead = medium.Reader(all);
    PassPosition position;
    position.extentLength = 384;
    std::vector<uint64_t> classified;
    ASSERT_EQ(RunExtent(
                  *dead, 0, 512, position,
                  [&](std::span<const uint8_t>, uint64_t firstLba, uint64_t&) {
                      classified.push_back(firstLba);
                      return kOk;
                  },
                  [](const PassPosition&) { return 0; }),
              kOk);
    EXPECT_EQ(classified, (std::vector<uint64_t>{0, 256}));
    EXPECT_EQ(position.sectorsDone, 384u);
}

TEST(SectorPass, AStoppedPassGoesOnAtTheSectorItStoppedAt) {
    Medium medium(400);
    auto reader = medium.Reader();
    PassPosition position;
    position.extentLength = 400;
    std::vector<uint64_t> firsts;
    bool stop = true;
    auto classify = [&](std::span<const uint8_t>, uint64_t firstLba, uint64_t& covered) {
        firsts.push_back(firstLba);
        if (firstLba == 128 && stop) {
            covered = 17;  // stopped while sizing the file at sector 145
            return kScanCancelled;
        }
        return kOk;
    };
    auto done = [](const PassPosition&) { return 0; };
    EXPECT_EQ(RunExtent(*reader, 0, 512, position, classify, done), kScanCancelled);
    EXPECT_EQ(position.offset, 145u);
    EXPECT_EQ(position.sectorsDone, 145u);
    stop = false;
    EXPECT_EQ(RunExtent(*reader, 0, 512, position, classify, done), kOk);
    EXPECT_EQ(firsts, (std::vector<uint64_t>{0, 128, 145, 273}));
    EXPECT_EQ(position.sectorsDone, 400u);

    // The report after a chunk can stop the pass too.
    PassPosition again;
    again.extentLength = 400;
    EXPECT_EQ(RunExtent(*reader, 0, 512, again, classify,
                        [](const PassPosition&) { return kScanCancelled; }),
              kScanCancelled);
    EXPECT_EQ(again.offset, 128u);
}

// Notes the block it was made for, so the classifier can tell it was handed the right one.
struct Marked final : BlockExamination {
    uint64_t firstLba = UINT64_MAX;
};
struct MarkingExaminer final : PassExaminer {
    std::unique_ptr<BlockExamination> NewExamination() override {
        return std::make_unique<Marked>();
    }
    void Examine(unsigned, std::span<const uint8_t>, uint64_t firstLba, BlockExamination& out,
                 const std::atomic<uint64_t>&, const std::atomic<bool>&) override {
        static_cast<Marked&>(out).firstLba = firstLba;
    }
};

TEST(SectorPass, ReadAheadHandsBlocksInOrderWithTheirNotesAndSkipsWhatAFindCovers) {
    const uint64_t block = kPassBlockBytes / 512;
    Medium medium(12 * block + 300, 0x3C);
    for (const unsigned workers : {0u, 1u, 3u}) {
        auto reader = medium.Reader();
        MarkingExaminer examiner;
        ReadAheadPass pass(*reader, 512, &examiner, workers);
        PassPosition position;
        position.extentStart = 5;
        position.extentLength = 11 * block + 250;
        struct Handed {
            uint64_t firstLba, start;
            bool operator==(const Handed&) const = default;
        };
        std::vector<Handed> handed;
        bool stop = true;
        auto classify = [&](std::span<const uint8_t> bytes, uint64_t firstLba, uint64_t start,
                            const BlockExamination* examined, uint64_t& covered) {
            EXPECT_EQ(bytes[start * 512], 0x3C);
            if (workers > 0) {
                EXPECT_NE(examined, nullptr);
                if (examined) {
                    EXPECT_EQ(static_cast<const Marked*>(examined)->firstLba, firstLba);
                }
            } else {
                EXPECT_EQ(examined, nullptr);
            }
            handed.push_back({firstLba, start});
            // A find in the first block runs three blocks and 100 sectors on; the pass is
            // stopped while sizing a file 7 sectors into the sixth block.
            if (firstLba == 7 && start == 0) covered += 3 * block + 100;
            if (stop && firstLba == 7 + 5 * block) {
                covered = 7;
                return kScanCancelled;
            }
            return kOk;
        };
        auto done = [](const PassPosition&) { return 0; };
        ASSERT_EQ(pass.Run(2, position, classify, done), kScanCancelled) << workers;
        EXPECT_EQ(position.offset, 5 * block + 7);
        stop = false;
        ASSERT_EQ(pass.Run(2, position, classify, done), kOk);
        EXPECT_EQ(position.sectorsDone, 11 * block + 250);
        // The grid of the resumed pass starts where it stopped.
        const std::vector<Handed> expected = {
            {7, 0},
            {7 + 4 * block, 100},
            {7 + 5 * block, 0},
            {7 + 5 * block + 7, 0},
            {7 + 6 * block + 7, 0},
            {7 + 7 * block + 7, 0},
            {7 + 8 * block + 7, 0},
            {7 + 9 * block + 7, 0},
            {7 + 10 * block + 7, 0},
            {7 + 11 * block + 7, 0}};
        EXPECT_EQ(handed, expected) << workers << " workers";
    }
}

TEST(SectorPass, ProgressMovesWhileAWorkerReadsOnThroughALargeFile) {
    // The worker on the first block sizes a file 3000 sectors long for a second: the pass waits
    // on it, and its reports in the meantime show how far the worker read.
    struct Slow final : PassExaminer {
        std::atomic<uint64_t> furthest{0};
        std::unique_ptr<BlockExamination> NewExamination() override {
            return std::make_unique<Marked>();
        }
        void Examine(unsigned, std::span<const uint8_t>, uint64_t firstLba, BlockExamination&,
                     const std::atomic<uint64_t>&, const std::atomic<bool>&) override {
            if (firstLba != 0) return;
            furthest = 3000;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        uint64_t FurthestLba() const override { return furthest; }
    };
    const uint64_t block = kPassBlockBytes / 512;
    Medium medium(6 * block);
    auto reader = medium.Reader();
    Slow slow;
    ReadAheadPass pass(*reader, 512, &slow, 1);
    PassPosition position;
    position.extentLength = 6 * block;
    std::vector<uint64_t> reports;
    ASSERT_EQ(pass.Run(
                  0, position,
                  [](std::span<const uint8_t>, uint64_t, uint64_t, const BlockExamination*,
                     uint64_t&) { return kOk; },
                  [&](const PassPosition& at) {
                      reports.push_back(at.sectorsDone);
                      return 0;
                  }),
              kOk);
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(std::find(reports.begin(), reports.end(), 3000u), reports.end());
    EXPECT_EQ(reports.back(), 6 * block);
}

TEST(TimeLeft, EstimatesFromTheSpeedAtMostEveryFiveSeconds) {
    using namespace std::chrono;
    const auto t0 = TimeLeftEstimator::Clock::time_point{};
    TimeLeftEstimator clock(512, t0);
    EXPECT_EQ(clock.SecondsLeft(), -1);
    EXPECT_EQ(clock.Update(1000, 4000, t0), -1);  // no whole second yet
    EXPECT_EQ(clock.Update(1000, 4000, t0 + seconds(10)), 30);
    EXPECT_EQ(clock.Update(3999, 4000, t0 + seconds(12)), 30);  // too soon
    EXPECT_EQ(clock.Update(2000, 4000, t0 + seconds(16)), 16);
    EXPECT_EQ(clock.Update(0, 4000, t0 + seconds(30)), 4000 * 512);  // no speed counts as 1
}

int StopPastSector(void* userData, int, int, int, uint64_t sector, uint64_t, uint64_t, int) {
    return sector >= *static_cast<uint64_t*>(userData) ? int(kScanCancelled) : 0;
}

TEST(CarveOnlyScan, StoppingKeepsWhatWasFound) {
    const std::vector<uint8_t> photo = RealFile("photo.jpg");
    if (photo.empty()) GTEST_SKIP() << "ImageMagick missing";
    testing::IsolatedHome home;
    testing::TempDir dir;
    Medium medium(4000);
    // The picture after the photo ends the photo's read-ahead.
    medium.Put(3, photo).Put(40, testing::Sample("picture.png"));
    testing::WriteFileBytes(dir / "raw.img", medium.Bytes());

    CCarveOnlyRecovery engine;
    ASSERT_EQ(engine.OpenImage(dir / "raw.img", 0x8001), kOk);
    uint64_t stopAt = 1000;
    (void)engine.SetCallbacks(StopPastSector, nullptr, &stopAt, kFullProgressScale);
    EXPECT_EQ(engine.Scan(nullptr), kScanCancelled);
    std::vector<RecoveredItem> items;
    ASSERT_EQ(engine.ListChildren(nullptr, 0, items), kOk);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].Name(), "3.jpg");
    EXPECT_EQ(items[1].Name(), "40.png");
    EXPECT_EQ(engine.ListChildren(nullptr, 1, items), kErrInvalidParameter);
}

}  // namespace
}  // namespace norvale
