#include "device/disk_imager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 1) {
    std::vector<uint8_t> bytes(size);
    // Every sector differs, so a sector copied to the wrong place shows.
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9) * seed);
    return bytes;
}

std::vector<uint8_t> Zeroed(std::vector<uint8_t> bytes, const std::set<uint64_t>& sectors) {
    for (uint64_t s : sectors) std::fill_n(bytes.begin() + long(s * 512), 512, 0);
    return bytes;
}

struct Observer : IImageObserver {
    void OnProgress(int percent, uint64_t done, uint64_t total, int secondsLeft) override {
        percents.push_back(percent);
        lastDone = done;
        lastTotal = total;
        if (secondsLeft != -1) sawEstimate = true;
        if (onProgress) onProgress(int(percents.size()));
    }
    void OnFinished(const ImageResult& r) override {
        ++finished;
        result = r;
    }
    std::vector<int> percents;
    uint64_t lastDone = 0, lastTotal = 0;
    bool sawEstimate = false;
    int finished = 0;
    ImageResult result;
    std::function<void(int)> onProgress;
};

// Runs one copy of `source` into `image`; `stopAfter` > 0 asks for a stop at that progress call.
ImageResult Copy(ISectorSource& source, const std::string& image, bool rescue, int stopAfter = 0,
                 Observer* seen = nullptr, bool replace = false) {
    Observer local;
    Observer& observer = seen ? *seen : local;
    DiskImager imager(observer);
    if (stopAfter > 0) {
        observer.onProgress = [&](int calls) {
            if (calls == stopAfter) imager.RequestStop();
        };
    }
    ImageJob job;
    job.source = &source;
    job.imagePath = image;
    job.rescue = rescue;
    job.replaceExisting = replace;
    ImageResult r = imager.Run(job);
    EXPECT_EQ(observer.finished, 1);
    return r;
}

// The same, where the person agreed to replace an existing file.
ImageResult CopyOver(ISectorSource& source, const std::string& image, bool rescue,
                     int stopAfter = 0) {
    return Copy(source, image, rescue, stopAfter, nullptr, true);
}

std::unique_ptr<FaultySource> Faulty(const std::vector<uint8_t>& bytes, std::set<uint64_t> bad) {
    return std::make_unique<FaultySource>(std::make_unique<MemorySource>(bytes), std::move(bad));
}

RescueMap LoadMap(const std::string& image) {
    const auto text = testing::ReadFileBytes(DiskImager::MapPathFor(image));
    RescueMap map;
    EXPECT_TRUE(ParseRescueMap(std::string(text.begin(), text.end()), map));
    return map;
}

// ---- Whole copies ------------------------------------------------------------------------------

struct SizeCase {
    size_t bytes;
    bool rescue;
};

class ImageSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ImageSizes, CopyIsByteExactAndProgressEndsAtTheLastSector) {
    const auto bytes = Pattern(GetParam().bytes);
    MemorySource source(bytes);
    TempDir dir;
    Observer observer;
    const ImageResult r = Copy(source, dir / "card.img", GetParam().rescue, 0, &observer);
    ASSERT_EQ(r.result, kOk);
    EXPECT_TRUE(r.Complete());
    EXPECT_EQ(r.imageBytes, bytes.size());
    EXPECT_EQ(testing::ReadFileBytes(dir / "card.img"), bytes);
    ASSERT_FALSE(observer.percents.empty());
    EXPECT_EQ(observer.percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(observer.percents.begin(), observer.percents.end()));
    EXPECT_EQ(observer.lastDone, observer.lastTotal);
    EXPECT_EQ(observer.lastTotal, (bytes.size() + 511) / 512);
    // A copy this short never reaches the five seconds the first estimate waits for.
    EXPECT_FALSE(observer.sawEstimate);
    if (GetParam().rescue) {
        const RescueMap map = LoadMap(dir / "card.img");
        EXPECT_EQ(map.currentStatus, '+');
        ASSERT_EQ(map.Blocks().size(), 1u);
        EXPECT_EQ(map.Blocks()[0], (MapBlock{0, bytes.size(), BlockStatus::kFinished}));
        EXPECT_FALSE(fs::exists(DiskImager::MapPathFor(dir / "card.img") + ".tmp"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    OddSizes, ImageSizes,
    ::testing::Values(SizeCase{512, false}, SizeCase{65536 - 512, false},
                      SizeCase{65536 + 512, false}, SizeCase{3 * 65536 + 1536, false},
                      SizeCase{1000, false},  // an image file ending in part of a sector
                      SizeCase{3 * 65536 + 1536, true}, SizeCase{1000, true}),
    [](const auto& info) {
        return std::to_string(info.param.bytes) + (info.param.rescue ? "Rescue" : "Plain");
    });

TEST(DiskImager, PartitionCopyStartsAtThePartitionsBootSector) {
    TempDir dir;
    const std::string disk = dir / "disk.img";
    std::string out;
    if (testing::Run("PATH=\"$PATH:/usr/sbin:/sbin\" '" + testing::SourceDir() +
                         "/scripts/make-partitioned-image.sh' '" + disk + "'",
                     &out) != 0) {
        GTEST_SKIP() << "cannot make the card image (sfdisk, mkfs.fat, mkntfs needed): " << out;
    }
    std::unique_ptr<FileSource> source;
    ASSERT_EQ(FileSource::Open(disk, source), kOk);
    Observer observer;
    DiskImager imager(observer);
    ImageJob job;
    job.source = source.get();
    job.firstSector = 2048;
    job.sectorCount = 65536;
    job.imagePath = dir / "part1.img";
    ASSERT_EQ(imager.Run(job).result, kOk);

    const auto image = testing::ReadFileBytes(dir / "part1.img");
    const auto whole = testing::ReadFileBytes(disk);
    ASSERT_EQ(image.size(), 65536u * 512);
    EXPECT_EQ(std::string(image.begin() + 82, image.begin() + 90), "FAT32   ");
    EXPECT_EQ(image[510], 0x55);
    EXPECT_EQ(image[511], 0xAA);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), whole.begin() + 2048 * 512));
}

TEST(DiskImager, LongerOlderImageIsCutToTheCopy) {
    const auto bytes = Pattern(100 * 1024);
    MemorySource source(bytes);
    TempDir dir;
    testing::WriteFileBytes(dir / "card.img", std::vector<uint8_t>(1 << 20, 0xEE));
    ASSERT_EQ(CopyOver(source, dir / "card.img", false).result, kOk);
    EXPECT_EQ(testing::ReadFileBytes(dir / "card.img"), bytes);
}

// ---- Refusals ----------------------------------------------------------------------------------

TEST(DiskImager, RefusesBadRangesAndDestinationsBeforeReadingOrWriting) {
    TempDir dir;
    const auto bytes = Pattern(64 * 512);
    testing::WriteFileBytes(dir / "src.img", bytes);
    fs::create_directory(dir / "folder");

    struct Case {
        const char* name;
        uint64_t firstSector, sectorCount;
        std::string image;
        Result result;
        ImageStage stage;
    } cases[] = {
        {"range past the end", 60, 5, dir / "a.img", kErrInvalidParameter, ImageStage::kSource},
        {"start past the end", 65, 0, dir / "a.img", kErrInvalidParameter, ImageStage::kSource},
        {"empty range", 64, 0, dir / "a.img", kErrInvalidParameter, ImageStage::kSource},
        {"the source itself", 0, 0, dir / "src.img", kErrInvalidParameter,
         ImageStage::kDestination},
        {"a folder", 0, 0, dir / "folder", kErrDirectoryName, ImageStage::kDestination},
        {"a character device", 0, 0, "/dev/null", kErrInvalidParameter, ImageStage::kDestination},
        {"a missing folder", 0, 0, dir / "no/such.img", kErrPathNotFound, ImageStage::kDestination},
    };
    for (const Case& c : cases) {
        auto source = Faulty(bytes, {});
        Observer observer;
        DiskImager imager(observer);
        ImageJob job;
        job.source = source.get();
        job.sourcePath = dir / "src.img";
        job.firstSector = c.firstSector;
        job.sectorCount = c.sectorCount;
        job.imagePath = c.image;
        const ImageResult r = imager.Run(job);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(r.failedAt, c.stage) << c.name;
        EXPECT_EQ(source->ReadCalls(), 0u) << c.name;
        EXPECT_EQ(observer.finished, 1) << c.name;
    }
    EXPECT_FALSE(fs::exists(dir / "a.img"));
    EXPECT_EQ(testing::ReadFileBytes(dir / "src.img"), bytes);
}

TEST(DiskImager, ExistingFilesAreReplacedOnlyWhenAskedAndLinksNeverFollowed) {
    const auto bytes = Pattern(64 * 512);
    TempDir dir;
    const std::vector<uint8_t> earlier(40 * 512, 0xEE);
    const std::vector<uint8_t> unrelated(3000, 0x5A);
    testing::WriteFileBytes(dir / "earlier.img", earlier);
    testing::WriteFileBytes(dir / "unrelated.txt", unrelated);
    fs::create_symlink(dir / "unrelated.txt", dir / "link.img");
    fs::create_symlink(dir / "made-through-link.img", dir / "dangling.img");

    struct Case {
        const char* name;
        std::string image;
        bool rescue, replace;
        Result result;
    } cases[] = {
        {"an earlier image", dir / "earlier.img", false, false, kErrAlreadyExists},
        // Without a map there is nothing to continue: the file is an image of something else.
        {"an earlier image, rescue without a map", dir / "earlier.img", true, false,
         kErrAlreadyExists},
        {"a link to a file, though asked to replace", dir / "link.img", false, true,
         kErrInvalidParameter},
        {"a link to nothing", dir / "dangling.img", true, true, kErrInvalidParameter},
    };
    for (const Case& c : cases) {
        auto source = Faulty(bytes, {});
        Observer observer;
        const ImageResult r = Copy(*source, c.image, c.rescue, 0, &observer, c.replace);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(r.failedAt, ImageStage::kDestination) << c.name;
        EXPECT_EQ(source->ReadCalls(), 0u) << c.name;
    }
    EXPECT_EQ(testing::ReadFileBytes(dir / "earlier.img"), earlier);
    EXPECT_EQ(testing::ReadFileBytes(dir / "unrelated.txt"), unrelated);
    EXPECT_FALSE(fs::exists(dir / "made-through-link.img"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.img"));

    // Asked to, the earlier image is replaced and cut to the copy.
    MemorySource source(bytes);
    ASSERT_EQ(CopyOver(source, dir / "earlier.img", false).result, kOk);
    EXPECT_EQ(testing::ReadFileBytes(dir / "earlier.img"), bytes);

    // The rescue map is replaced through a temporary file; a link left in that file's place
    // is removed, not written through.
    fs::create_symlink(dir / "unrelated.txt", dir / "rescued.img.map.tmp");
    MemorySource again(bytes);
    ASSERT_EQ(Copy(again, dir / "rescued.img", true).result, kOk);
    EXPECT_EQ(testing::ReadFileBytes(dir / "rescued.img"), bytes);
    EXPECT_EQ(testing::ReadFileBytes(dir / "unrelated.txt"), unrelated);
    EXPECT_EQ(LoadMap(dir / "rescued.img").Blocks().size(), 1u);
}

// ---- Stopping ----------------------------------------------------------------------------------

TEST(DiskImager, StoppedPlainCopyLeavesTheCopiedStartOnly) {
    const auto bytes = Pattern(20 * 65536);
    MemorySource source(bytes);
    TempDir dir;
    testing::WriteFileBytes(dir / "card.img", std::vector<uint8_t>(2 << 20, 0xEE));
    const ImageResult r = CopyOver(source, dir / "card.img", false, 3);
    EXPECT_EQ(r.result, kScanCancelled);
    EXPECT_EQ(r.imageBytes, 3u * 65536);
    const auto image = testing::ReadFileBytes(dir / "card.img");
    EXPECT_EQ(image, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3 * 65536));
}

TEST(DiskImager, StoppedRescueCopyKeepsAMapAndContinuesToAnExactImage) {
    const auto bytes = Pattern(10 * 65536 + 1536);
    TempDir dir;
    const std::string image = dir / "card.img";
    testing::WriteFileBytes(image, std::vector<uint8_t>(1 << 20, 0xEE));
    {
        MemorySource source(bytes);
        const ImageResult r = CopyOver(source, image, true, 4);
        EXPECT_EQ(r.result, kScanCancelled);
        EXPECT_EQ(r.imageBytes, 4u * 65536);
    }
    const RescueMap partial = LoadMap(image);
    ASSERT_EQ(partial.Blocks().size(), 2u);
    EXPECT_EQ(partial.Blocks()[0], (MapBlock{0, 4 * 65536, BlockStatus::kFinished}));
    EXPECT_EQ(partial.Blocks()[1].status, BlockStatus::kNonTried);
    EXPECT_EQ(partial.Extent(), bytes.size());
    EXPECT_EQ(fs::file_size(image), 4u * 65536);

    auto source = Faulty(bytes, {});
    const ImageResult r = Copy(*source, image, true);
    EXPECT_EQ(r.result, kOk);
    EXPECT_TRUE(r.resumed);
    EXPECT_EQ(r.resumedBytes, 4u * 65536);
    EXPECT_EQ(testing::ReadFileBytes(image), bytes);
    // Only the untried part was read: six full chunks and the 1536-byte tail.
    EXPECT_EQ(source->ReadCalls(), 7u);
    EXPECT_EQ(LoadMap(image).Blocks().size(), 1u);
}

// ---- Unreadable sectors ------------------------------------------------------------------------

TEST(DiskImager, PlainCopyEndsAtTheFirstBadSectorWithWhatCameBefore) {
    const auto bytes = Pattern(2048 * 512);
    auto source = Faulty(bytes, {300, 301, 1500});
    TempDir dir;
    const ImageResult r = Copy(*source, dir / "card.img", false);
    EXPECT_EQ(r.result, kErrReadFault);
    EXPECT_EQ(r.failedAt, ImageStage::kRead);
    EXPECT_EQ(r.failedSector, 300u);
    EXPECT_EQ(r.imageBytes, 300u * 512);
    EXPECT_EQ(testing::ReadFileBytes(dir / "card.img"),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + 300 * 512));
    EXPECT_FALSE(fs::exists(DiskImager::MapPathFor(dir / "card.img")));
}

TEST(DiskImager, RescueZeroFillsExactlyTheBadSectorsAndTheMapListsThem) {
    const auto bytes = Pattern(2048 * 512);
    const std::set<uint64_t> bad = {0, 5, 127, 128, 300, 301, 2047};
    TempDir dir;
    const std::string image = dir / "card.img";
    // Stale bytes where the bad sectors go must not survive in the image.
    testing::WriteFileBytes(image, std::vector<uint8_t>(2 << 20, 0xEE));
    {
        auto source = Faulty(bytes, bad);
        const ImageResult r = CopyOver(*source, image, true);
        EXPECT_EQ(r.result, kOk);
        EXPECT_FALSE(r.Complete());
        EXPECT_EQ(r.badBytes, bad.size() * 512);
        EXPECT_EQ(r.badAreas, 5u);  // 0, 5, 127-128, 300-301, 2047
    }
    EXPECT_EQ(testing::ReadFileBytes(image), Zeroed(bytes, bad));

    const RescueMap map = LoadMap(image);
    EXPECT_EQ(map.currentStatus, '+');
    std::set<uint64_t> listed;
    for (const MapBlock& b : map.Blocks()) {
        ASSERT_TRUE(b.status == BlockStatus::kFinished || b.status == BlockStatus::kBadSector);
        if (b.status == BlockStatus::kBadSector)
            for (uint64_t s = b.pos / 512; s < b.End() / 512; ++s) listed.insert(s);
    }
    EXPECT_EQ(listed, bad);

    // The card recovers (or a better reader is used): a second run reads each bad sector once,
    // and nothing else, and completes the image.
    auto healed = Faulty(bytes, {});
    const ImageResult again = Copy(*healed, image, true);
    EXPECT_EQ(again.result, kOk);
    EXPECT_TRUE(again.Complete());
    EXPECT_EQ(healed->ReadCalls(), bad.size());
    EXPECT_EQ(testing::ReadFileBytes(image), bytes);
    ASSERT_EQ(LoadMap(image).Blocks().size(), 1u);
}

TEST(DiskImager, ResumeTakesOverTheUnfinishedAreasOfADdrescueMap) {
    const auto bytes = Pattern(256 * 512);
    TempDir dir;
    const std::string image = dir / "card.img";
    // ddrescue stopped while trimming: the image holds the finished areas; the rest is junk.
    auto stale = bytes;
    std::fill(stale.begin() + 64 * 512, stale.end(), 0xEE);
    testing::WriteFileBytes(image, stale);
    const std::string map =
        "0x00010000  *  1\n"
        "0x00000000  0x00008000  +\n"
        "0x00008000  0x00000400  -\n"
        "0x00008400  0x00000400  /\n"
        "0x00008800  0x00007800  *\n"
        "0x00010000  0x00008000  ?\n";
    testing::WriteFileBytes(DiskImager::MapPathFor(image),
                            std::vector<uint8_t>(map.begin(), map.end()));

    auto source = Faulty(bytes, {70});  // one sector of the non-trimmed area stays bad
    const ImageResult r = Copy(*source, image, true);
    EXPECT_EQ(r.result, kOk);
    EXPECT_TRUE(r.resumed);
    EXPECT_EQ(r.badBytes, 512u);
    EXPECT_EQ(testing::ReadFileBytes(image), Zeroed(bytes, {70}));
    const RescueMap after = LoadMap(image);
    EXPECT_EQ(after.BytesWith("?*/"), 0u);
    EXPECT_EQ(after.BytesWith("-"), 512u);
}

TEST(DiskImager, MapThatDoesNotFitIsRefusedAndLeftAlone) {
    const auto bytes = Pattern(64 * 512);
    struct Case {
        const char* name;
        std::string map;
        size_t imageBytes;
    } cases[] = {
        {"damaged", "0 ?\n0 100 +\n50 10 -\n", 64 * 512},
        {"larger than the source", "0 ?\n0 0x10000 +\n", 64 * 512},
        {"claims more than the image holds", "0 ?\n0 0x4000 +\n0x4000 0x4000 ?\n", 100},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string image = dir / "card.img";
        const std::vector<uint8_t> before(c.imageBytes, 0xEE);
        testing::WriteFileBytes(image, before);
        testing::WriteFileBytes(DiskImager::MapPathFor(image),
                                std::vector<uint8_t>(c.map.begin(), c.map.end()));
        auto source = Faulty(bytes, {});
        const ImageResult r = Copy(*source, image, true);
        EXPECT_EQ(r.failedAt, ImageStage::kMap) << c.name;
        EXPECT_FALSE(r.mapError.message.empty()) << c.name;
        EXPECT_EQ(source->ReadCalls(), 0u) << c.name;
        EXPECT_EQ(testing::ReadFileBytes(image), before) << c.name;
        const auto map = testing::ReadFileBytes(DiskImager::MapPathFor(image));
        EXPECT_EQ(std::string(map.begin(), map.end()), c.map) << c.name;
    }
}

}  // namespace
}  // namespace norvale
