// The professional NTFS engine over file records that other writers lay out differently from
// mkntfs with its defaults: records of the Linux ntfs3 driver (update sequence array at 0x2A,
// no record number in the header) and 4 KiB records of a volume made for 4 KiB sectors, read
// from an image of 512-byte sectors. Skipped without the corpus or without the tools.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <set>

#include "device/bytes.h"
#include "ntfs/fast_ntfs_test_helpers.h"
#include "ntfs/ntfs_test_media.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "ntfs/professional_ntfs_test_helpers.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

namespace fs = std::filesystem;

void ZeroAt(const std::string& image, uint64_t offset, size_t count, const std::string& scratch) {
    WriteFileBytes(scratch, std::vector<uint8_t>(count, 0));
    CopyInto(scratch, image, offset);
}

// The files of the corpus volume's folder `test`, read through its intact MFT.
std::map<std::string, std::vector<uint8_t>> Ntfs3TestFolder(const std::string& image) {
    std::map<std::string, std::vector<uint8_t>> files;
    auto v = OpenNtfsImage(image);
    if (!v || v->mftResult != kOk) return files;
    const auto records = ListMft(*v->volume);
    uint64_t folder = 0;
    for (const auto& [n, r] : records) {
        if (r.name.name == "test" && r.name.parentRecord == kMftRecordRoot) folder = n;
    }
    for (const auto& [n, r] : records) {
        if (folder == 0 || n == folder || r.name.parentRecord != folder) continue;
        AttributeData data;
        if (v->volume->LoadAttribute(n, kAttrData, u"", data) != kOk) continue;
        files[r.name.name] = ReadWhole(*v->volume, data);
    }
    return files;
}

class Ntfs3Volume : public ::testing::Test {
  protected:
    void SetUp() override {
        NORVALE_REQUIRE_CORPUS();
        image_ = CorpusImage("ntfs3.raw.gz", dir_.Path());
        ASSERT_FALSE(image_.empty());
        expected_ = Ntfs3TestFolder(image_);
        ASSERT_EQ(expected_.size(), 3u);
        const std::vector<uint8_t> boot = ReadFileBytes(image_);
        ASSERT_GE(boot.size(), 512u);
        mirrorOffset_ = Le64(boot.data() + 0x38) * 4096;
        ZeroAt(image_, 0, 512, dir_ / "zeros");
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string image_;
    uint64_t mirrorOffset_ = 0;
    std::map<std::string, std::vector<uint8_t>> expected_;
};

// The ntfs3 driver writes its own records with the update sequence array at 0x2A, over the
// field that would hold the record number: the pass must test the sequence number where the
// header puts it and number the record by where the volume's MFT keeps it.
TEST_F(Ntfs3Volume, RecordsWithoutTheirNumberAreFoundAfterTheBootSectorIsWiped) {
    auto engine = ScanProfessional(image_);
    ASSERT_TRUE(engine);
    const auto tree = ListTree(*engine);
    ASSERT_TRUE(tree.count("test"));
    EXPECT_EQ(int32_t{tree.at("test").isFolder}, 1);
    std::set<std::string> inTest;
    for (const auto& [path, item] : tree) {
        if (path.rfind("test/", 0) == 0) inTest.insert(path);
    }
    EXPECT_EQ(inTest, (std::set<std::string>{"test/1.txt", "test/2.txt", "test/3.txt"}));
    int n = 0;
    for (const auto& [name, bytes] : expected_) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(tree.count("test/" + name));
        const RecoveredItem& item = tree.at("test/" + name);
        EXPECT_EQ(uint64_t{item.fileSize}, bytes.size());
        EXPECT_EQ(uint64_t{item.partitionStart}, 0u);
        EXPECT_EQ(RecoverTo(*engine, item, dir_ / ("out" + std::to_string(n++))), bytes);
    }
    // The unused reserved records 16..23 carry number 0 and no name: never items.
    for (const auto& [path, item] : tree) EXPECT_GT(int64_t{item.objectKey}, 11) << path;
}

// Without any MFT whose place explains them, records that keep no number give nothing rather
// than items under a guessed number.
TEST_F(Ntfs3Volume, RecordsWithoutTheirNumberNeedAKnownMft) {
    ASSERT_GT(mirrorOffset_, 0u);
    ZeroAt(image_, 0x4000, 1024, dir_ / "zeros");  // $MFT's own record
    ZeroAt(image_, mirrorOffset_, 1024, dir_ / "zeros");
    auto engine = ScanProfessional(image_);
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->MftPlacementCount(), 0u);
    for (const auto& [path, item] : ListTree(*engine)) {
        EXPECT_NE(path.rfind("test", 0), 0u) << path;
    }
}

struct RecordLayout {
    const char* name;
    bool wipeBootSector;
};
void PrintTo(const RecordLayout& layout, std::ostream* os) {
    *os << layout.name;
}

// A volume made for 4 KiB sectors keeps 4 KiB records, each with its update sequence per 512
// bytes; its image is read in 512-byte sectors, where the record size assumed is 1 KiB.
class FourKiBRecords : public ::testing::TestWithParam<RecordLayout> {
  protected:
    static constexpr const char* kMkntfs = "-s 4096 -c 4096";

    void SetUp() override {
        if (!HaveNtfsTools() || !HaveTool("ntfs-3g")) GTEST_SKIP() << "ntfs-3g tools missing";
        image_ = dir_ / "card.img";
        content_ = SampleContent("big records");
        std::string error;
        if (!MakeFilledVolume(image_, 32, kMkntfs, content_, dir_ / "mnt", error)) {
            GTEST_SKIP() << error;
        }
        const std::vector<uint8_t> head = ReadFileBytes(image_);
        ASSERT_GE(head.size(), 0x4000u + 4096);
        ASSERT_EQ(Le32(head.data() + 0x4000 + 0x1C), 4096u);  // $MFT's record size
        ASSERT_EQ(RunShell(std::string("mkntfs -F -Q -q ") + kMkntfs + " '" + image_ +
                           "' >/dev/null 2>&1"),
                  0);
        if (GetParam().wipeBootSector) ZeroAt(image_, 0, 512, dir_ / "zeros");
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string image_;
    VolumeContent content_;
};

TEST_P(FourKiBRecords, FilesComeBackByteExactUnderTheirFolders) {
    PassCounts counts;
    auto engine = ScanProfessional(image_, &counts);
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->BytesPerSector(), 512u);
    EXPECT_EQ(counts.finish, kOk);
    EXPECT_EQ(counts.refused, 0u);
    const auto tree = ListTree(*engine);
    for (const char* folder : {"Photos", "Photos/Trip 2023", "Docs", "Docs/Deep"}) {
        ASSERT_TRUE(tree.count(folder)) << folder;
        EXPECT_EQ(int32_t{tree.at(folder).isFolder}, 1) << folder;
    }
    int n = 0;
    for (const auto& [path, bytes] : content_.files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(tree.count(path));
        const RecoveredItem& item = tree.at(path);
        EXPECT_EQ(uint64_t{item.fileSize}, bytes.size());
        EXPECT_EQ(int32_t{item.isDeleted}, path == "Docs/Deep/gone.txt" ? 1 : 0);
        EXPECT_EQ(int32_t{item.contentValid}, 1);
        if (bytes.size() > 4096) {
            EXPECT_EQ(int32_t{item.clusterBytes}, 4096);
        }
        // Resident content (up to about 3 KiB here) comes from the record's later blocks.
        EXPECT_EQ(RecoverTo(*engine, item, dir_ / ("out" + std::to_string(n++))), bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, FourKiBRecords,
                         ::testing::Values(RecordLayout{"formattedOver", false},
                                           RecordLayout{"noBootSector", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace norvale::testing
