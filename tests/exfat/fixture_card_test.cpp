// The committed exFAT cards (scripts/make-exfat-cards.sh: mkfs.exfat, files written and deleted
// through the FUSE driver): names, states, content and the directory recogniser against the
// card's manifest and The Sleuth Kit's listing made with it. Needs no tools.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "exfat/exfat_test_media.h"
#include "exfat/free_space.h"

namespace norvale {
namespace {

using testing::TempDir;

class ExfatFixtureCard : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        image_ = testing::UnpackCard(dir_, GetParam());
        ASSERT_FALSE(image_.empty());
        v_ = testing::OpenExfatImage(image_);
        ASSERT_TRUE(v_);
        tree_ = testing::ListExfatTree(*v_, true);
    }
    TempDir dir_;
    std::string image_;
    std::unique_ptr<testing::OpenedExfat> v_;
    std::vector<testing::TreeEntry> tree_;
};

TEST_P(ExfatFixtureCard, ListingAgreesWithTheManifestAndTheSleuthKit) {
    EXPECT_EQ(v_->volume.Label(), "CARD");
    for (const auto& f : testing::ReadManifest(GetParam())) {
        if (f.state == "overwritten") continue;  // its entry slot was reused
        SCOPED_TRACE(f.path);
        const auto* t = testing::FindPath(tree_, f.path);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->entry.dataLength, f.size);
        EXPECT_EQ(t->entry.validDataLength, f.size);
        EXPECT_EQ(t->entry.deleted, f.state == "deleted");
        EXPECT_NE(t->entry.modifiedTime, 0u);
    }
    // Every file and folder TSK lists, in the same state, and nothing it does not list.
    const auto fls = testing::ReadFlsListing(GetParam());
    ASSERT_GT(fls.size(), 20u);
    for (const auto& [path, deleted] : fls) {
        SCOPED_TRACE(path);
        const auto* t = testing::FindPath(tree_, path);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->entry.deleted, deleted);
    }
    EXPECT_EQ(tree_.size(), fls.size());
}

TEST_P(ExfatFixtureCard, LiveAndDeletedFilesReadBackByteExact) {
    for (const auto& f : testing::ReadManifest(GetParam())) {
        if (f.state == "overwritten") continue;
        SCOPED_TRACE(f.path);
        const auto* t = testing::FindPath(tree_, f.path);
        ASSERT_NE(t, nullptr);
        const auto bytes = testing::ReadFileContent(*v_, t->entry);
        ASSERT_EQ(bytes.size(), f.size);
        EXPECT_EQ(testing::Sha256(bytes), f.sha256);
        if (f.note == "fragmented" && f.state == "live") {
            std::vector<uint32_t> chain;
            ASSERT_EQ(v_->volume.WalkChain(t->entry.firstCluster, 64, chain),
                      ExfatChainEnd::kEndOfChain);
            EXPECT_FALSE(t->entry.noFatChain);
            EXPECT_NE(chain.back() - chain.front() + 1, chain.size()) << "not fragmented";
        }
    }
}

// What the FUSE driver leaves on deletion: the in-use bits go, the checksum of the live set
// stays. A deleted set is therefore only believed with the bits set again.
TEST_P(ExfatFixtureCard, DeletedSetsKeepTheChecksumOfTheLiveSet) {
    std::vector<uint8_t> cluster(v_->volume.Boot().ClusterBytes());
    int deleted = 0;
    for (const auto& t : tree_) {
        if (!t.entry.deleted) continue;
        ASSERT_EQ(v_->volume.ReadCluster(t.setCluster, cluster), kOk);
        const size_t bytes = (size_t{t.entry.secondaryCount} + 1) * kExfatEntryBytes;
        if (t.setOffset + bytes > cluster.size()) continue;
        std::vector<uint8_t> set(cluster.begin() + t.setOffset,
                                 cluster.begin() + t.setOffset + bytes);
        const uint16_t stored = static_cast<uint16_t>(set[2] | set[3] << 8);
        EXPECT_NE(EntrySetChecksum(set), stored) << t.path;
        for (size_t e = 0; e < set.size(); e += kExfatEntryBytes) set[e] |= kExfatInUseBit;
        EXPECT_EQ(EntrySetChecksum(set), stored) << t.path;
        ++deleted;
    }
    EXPECT_GE(deleted, 10);
}

// Every sector of the heap: recognised exactly when a whole entry set of a directory lies in it.
// The photos, binaries and text of the card never pass, nor do directory sectors without a set.
TEST_P(ExfatFixtureCard, DirectorySectorsAreRecognisedAndNothingElse) {
    const ExfatBootRegion& b = v_->volume.Boot();
    std::set<uint64_t> expected;  // volume byte offsets of 512-byte sectors
    for (const auto& t : tree_) {
        const uint64_t start =
            (b.ClusterToSector(t.setCluster) << b.bytesPerSectorShift) + t.setOffset;
        const uint64_t end = start + (uint64_t{t.entry.secondaryCount} + 1) * kExfatEntryBytes;
        if (start / 512 == (end - 1) / 512) expected.insert(start / 512 * 512);
    }
    ASSERT_GT(expected.size(), 10u);
    std::vector<uint8_t> cluster(b.ClusterBytes());
    size_t recognised = 0;
    for (uint32_t c = 2; b.IsHeapCluster(c); ++c) {
        ASSERT_EQ(v_->volume.ReadCluster(c, cluster), kOk);
        for (size_t at = 0; at < cluster.size(); at += 512) {
            const uint64_t offset = (b.ClusterToSector(c) << b.bytesPerSectorShift) + at;
            const bool is = IsExfatDirectorySector(std::span(cluster).subspan(at, 512));
            EXPECT_EQ(is, expected.count(offset) == 1) << "cluster " << c << " +" << at;
            recognised += is;
        }
    }
    EXPECT_EQ(recognised, expected.size());
}

TEST_P(ExfatFixtureCard, BitmapHoldsTheLiveFilesAndFreesTheDeletedOnes) {
    const ExfatBootRegion& b = v_->volume.Boot();
    ASSERT_TRUE(v_->volume.HasBitmap());
    EXPECT_EQ(v_->volume.BitmapClusters(), b.clusterCount);
    for (const auto& t : tree_) {
        if (t.entry.firstCluster == 0) continue;
        SCOPED_TRACE(t.path);
        EXPECT_EQ(v_->volume.IsClusterInUse(t.entry.firstCluster), !t.entry.deleted);
    }
    uint64_t used = 0;
    for (uint32_t c = 2; b.IsHeapCluster(c); ++c) used += v_->volume.IsClusterInUse(c);
    EXPECT_EQ(v_->volume.FreeClusters(), b.clusterCount - used);
    // The free runs cover exactly the clusters whose bit is clear, each run as long as it goes.
    std::vector<bool> inRun(uint64_t{b.clusterCount} + 2, false);
    uint32_t first = 0, count = 0;
    for (uint32_t from = 0; v_->volume.NextFreeRun(from, first, count); from = first + count) {
        ASSERT_GE(first, std::max<uint32_t>(from, 2));
        ASSERT_GT(count, 0u);
        if (first + count < b.clusterCount + 2) {
            EXPECT_TRUE(v_->volume.IsClusterInUse(first + count));
        }
        for (uint32_t c = first; c < first + count; ++c) inRun[c] = true;
    }
    for (uint32_t c = 2; b.IsHeapCluster(c); ++c) {
        ASSERT_EQ(inRun[c], !v_->volume.IsClusterInUse(c)) << c;
    }
    uint64_t bytes = 0;
    ASSERT_EQ(CountExfatFreeBytes(v_->reader, 0, 0, bytes), kOk);
    EXPECT_EQ(bytes, (b.clusterCount - used) * b.ClusterBytes());
}

// A quick format writes a new root, bitmap and FAT; the old directories stay where they were
// for the full pass to find, with their names.
TEST_P(ExfatFixtureCard, QuickFormatLeavesTheOldDirectoriesRecognisable) {
    const std::string formatted = testing::UnpackCard(dir_, std::string(GetParam()) + "_formatted");
    auto f = testing::OpenExfatImage(formatted);
    ASSERT_TRUE(f);
    EXPECT_TRUE(testing::ListExfatTree(*f, true).empty());
    const ExfatBootRegion& b = f->volume.Boot();
    std::vector<uint8_t> cluster(b.ClusterBytes());
    std::set<std::string> names;
    for (uint32_t c = 2; b.IsHeapCluster(c); ++c) {
        ASSERT_EQ(f->volume.ReadCluster(c, cluster), kOk);
        if (!IsExfatDirectorySector(std::span(cluster).first(512))) continue;
        for (size_t at = 0; at + kExfatEntryBytes <= cluster.size(); at += kExfatEntryBytes) {
            ExfatFileEntry e;
            size_t used = 0;
            if (DecodeEntrySet(std::span(cluster).subspan(at), e, used) == EntrySetStatus::kOk) {
                names.insert(e.name);
            }
        }
    }
    for (const char* name : {"IMG_0001.JPG", "IMG_0002.JPG", "notes.txt", "beach.jpg",
                             "Vacaciones en España — día 1.jpg", "filled-hole.bin"}) {
        EXPECT_EQ(names.count(name), 1u) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, ExfatFixtureCard, ::testing::Values("exfat_4k", "exfat_128k"));

}  // namespace
}  // namespace norvale

namespace norvale {
namespace {

// A volume Windows formatted and used (public corpus): Windows, too, deletes a set by clearing
// the in-use bits and keeps the live set's checksum; every file and folder TSK lists comes back
// in the same state, with its Cyrillic name.
TEST(ExfatWindowsVolume, ListingAgreesWithTheSleuthKit) {
    NORVALE_REQUIRE_CORPUS();
    NORVALE_REQUIRE_TOOLS("fls");
    TempDir dir;
    const std::string image = testing::CorpusImage("exfat_win.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    const auto head = testing::ReadFileBytes(image);
    ASSERT_TRUE(IsExfatBootRegion(std::span(head).first(kExfatProbeBytes)));
    auto v = testing::OpenExfatImage(image);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->volume.Label(), "test123");
    EXPECT_EQ(v->volume.Boot().ClusterBytes(), 512u);
    const auto tree = testing::ListExfatTree(*v, true);
    std::string fls;
    ASSERT_EQ(testing::Run("fls -r -p " + testing::ShellQuote(image), &fls), 0);
    std::istringstream lines(fls);
    size_t listed = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || line[tab + 1] == '$' || line[0] == 'v' || line[0] == 'V' ||
            line[0] == '-' || line.find("Volume Label") != std::string::npos) {
            continue;
        }
        const std::string path = "/" + line.substr(tab + 1);
        const auto* t = testing::FindPath(tree, path);
        ASSERT_NE(t, nullptr) << path;
        EXPECT_EQ(t->entry.deleted, line.find(" * ") != std::string::npos) << path;
        ++listed;
    }
    EXPECT_GT(listed, 700u);
    const auto* folder = testing::FindPath(tree, "/2/Новая папка");
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->entry.isFolder);
    const auto* gone = testing::FindPath(tree, "/0");
    ASSERT_NE(gone, nullptr);
    EXPECT_TRUE(gone->entry.deleted && gone->entry.isFolder);
}

}  // namespace
}  // namespace norvale
