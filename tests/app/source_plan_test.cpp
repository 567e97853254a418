// Planning a scan: a partitioned image is a disk whose partitions are scanned one by one (and,
// in the full scan, every stretch between them); an image without a table stays one volume.

#include "app/source_plan.h"

#include <gtest/gtest.h>

#include <set>

#include "device/disk_table.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::TempDir;

class SourcePlanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = dir_ / "card.img";
        // FAT32 "CARDFAT" at 2048 (65536 sectors), NTFS "CARDNTFS" at 88064 (65536 sectors),
        // 96 MiB in all.
        if (testing::RunSystemTool("'" + testing::SourceDir() +
                                   "/scripts/make-partitioned-image.sh' '" + image_ + "'") != 0) {
            GTEST_SKIP() << "sfdisk, mkfs.fat or mkntfs is missing";
        }
    }
    TempDir dir_;
    std::string image_;
};

TEST_F(SourcePlanTest, EachModeCoversWhatItMust) {
    SourcePlan deleted;
    ASSERT_EQ(PlanSources(image_, ScanMode::kDeleted, 0, deleted), kOk);
    EXPECT_TRUE(deleted.isDisk);
    EXPECT_EQ(deleted.layout.scheme, "dos");
    ASSERT_EQ(deleted.sources.size(), 2u);
    ASSERT_EQ(deleted.partitionNames.size(), 2u);
    EXPECT_EQ(deleted.partitionNames[0], "Partition 1 (CARDFAT, FAT32)");
    EXPECT_EQ(deleted.partitionNames[1], "Partition 2 (CARDNTFS, NTFS)");
    std::set<uint16_t> tags;
    for (const SourceInfo& s : deleted.sources) {
        ASSERT_TRUE(s.IsPartition());
        EXPECT_TRUE(IsImageDisk(s.partition->diskNumber));
        EXPECT_EQ(ImageDiskPath(s.partition->diskNumber), image_);
        EXPECT_NE(s.Tag(), kNoDriveLetter);
        tags.insert(s.Tag());
    }
    EXPECT_EQ(tags.size(), 2u);
    EXPECT_EQ(deleted.sources[0].partition->startLba, 2048u);
    EXPECT_EQ(deleted.sources[1].partition->startLba, 88064u);

    // The full scan reads every sector but the table's: both partitions and the stretches
    // before, between and after them, in medium order.
    SourcePlan full;
    ASSERT_EQ(PlanSources(image_, ScanMode::kFull, 0, full), kOk);
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    for (const SourceInfo& s : full.sources)
        extents.emplace_back(s.partition->startLba, s.partition->sectorCount);
    const std::vector<std::pair<uint64_t, uint64_t>> whole = {
        {1, 2047}, {2048, 65536}, {67584, 20480}, {88064, 65536}, {153600, 43008}};
    EXPECT_EQ(extents, whole);
    EXPECT_EQ(full.partitionNames[2].rfind("Unallocated space at ", 0), 0u);

    SourcePlan carve;
    ASSERT_EQ(PlanSources(image_, ScanMode::kCarve, 0, carve), kOk);
    ASSERT_EQ(carve.sources.size(), 1u);
    EXPECT_EQ(carve.sources[0].imagePath, image_);
    EXPECT_FALSE(carve.isDisk);
}

// A volume image has no partitions to pick and stays one source. (Picking a partition by
// number, and naming the ones there are, is checked end to end by the command-line tests.)
TEST(SourcePlan, VolumeImageStaysOneSource) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    TempDir dir;
    const std::string volume = dir / "volume.img";
    ASSERT_EQ(testing::RunSystemTool("mkfs.fat -C -F 16 '" + volume + "' 32768 >/dev/null"), 0);
    SourcePlan plain;
    ASSERT_EQ(PlanSources(volume, ScanMode::kDeleted, 0, plain), kOk);
    ASSERT_EQ(plain.sources.size(), 1u);
    EXPECT_EQ(plain.sources[0].imagePath, volume);
    EXPECT_TRUE(plain.partitionNames.empty());
    EXPECT_EQ(PlanSources(volume, ScanMode::kDeleted, 1, plain), kErrInvalidParameter);
}

TEST(PartitionNames, LabelsFromTheMediumCannotLeaveTheirFolder) {
    PartitionRecord r;
    r.partitionNumber = 1;
    r.fsName = "FAT32";
    r.volumeLabel = "A/B\x1b";
    EXPECT_EQ(PartitionDisplayName(r), "Partition 1 (A/B\x1b, FAT32)");
    EXPECT_EQ(PartitionFolderName(r), "Partition 1 (A_B_, FAT32)");
    r.volumeLabel.clear();
    r.fsName.clear();
    EXPECT_EQ(PartitionDisplayName(r), "Partition 1");
}

}  // namespace
}  // namespace norvale
