// Volumes made at test time by mkntfs with several sector and cluster sizes, filled with
// ntfscp (no mount needed) or through an ntfs-3g FUSE mount: geometry, runs and content as
// ntfs-3g's own tools see them. Skipped when the tools (or FUSE) are not there.
#include <gtest/gtest.h>

#include "ntfs/mft_record.h"
#include "ntfs/ntfs_test_media.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

struct Layout {
    uint32_t sectorBytes;
    uint32_t clusterBytes;
};

std::string LayoutName(const ::testing::TestParamInfo<Layout>& info) {
    return "sector" + std::to_string(info.param.sectorBytes) + "_cluster" +
           std::to_string(info.param.clusterBytes);
}

class MkntfsVolume : public ::testing::TestWithParam<Layout> {
  protected:
    void SetUp() override {
        if (!HaveNtfsTools()) GTEST_SKIP() << "mkntfs/ntfscp/ntfsinfo not installed";
        image_ = dir_ / "volume.img";
        const Layout l = GetParam();
        ASSERT_TRUE(MakeNtfsImage(
            image_, 64,
            "-s " + std::to_string(l.sectorBytes) + " -c " + std::to_string(l.clusterBytes)));
    }
    // Writes `size` bytes of a pattern to the volume as `name` (in the root).
    std::vector<uint8_t> Put(const std::string& name, const std::string& text, size_t size) {
        const std::vector<uint8_t> bytes = Pattern(text, size);
        WriteFileBytes(dir_ / "local", bytes);
        EXPECT_TRUE(NtfsCopyIn(image_, dir_ / "local", "/" + name)) << name;
        return bytes;
    }

    TempDir dir_;
    std::string image_;
};

TEST_P(MkntfsVolume, GeometryRunsAndContentAgreeWithNtfsinfo) {
    struct File {
        std::string name;
        std::vector<uint8_t> bytes;
    };
    // 2,500 bytes: resident in a 4 KiB record (its value crosses 512-byte fixup blocks), not
    // in a 1 KiB one.
    std::vector<File> files = {{"small.txt", Put("small.txt", "small file", 300)},
                               {"middle.txt", Put("middle.txt", "middle file", 2500)},
                               {"large.bin", Put("large.bin", "large file", 300000)}};

    auto v = OpenNtfsImage(image_);
    ASSERT_TRUE(v);
    ASSERT_EQ(v->openResult, kOk);
    ASSERT_EQ(v->mftResult, kOk);
    const NtfsGeometry& g = v->volume->Geometry();
    auto info = NtfsinfoVolume(image_);
    EXPECT_EQ(std::to_string(g.bytesPerSector), info["Sector Size"]);
    EXPECT_EQ(std::to_string(g.clusterBytes), info["Cluster Size"]);
    EXPECT_EQ(std::to_string(g.recordBytes), info["MFT Record Size"]);
    EXPECT_EQ(std::to_string(g.totalClusters), info["Volume Size in Clusters"]);
    EXPECT_EQ(std::to_string(g.mftLcn), info["LCN of Data Attribute for FILE_MFT"]);
    EXPECT_EQ(std::to_string(g.mftMirrorLcn), info["LCN of Data Attribute for File_MFTMirr"]);
    EXPECT_EQ(std::to_string(g.indexBlockBytes), info["Index Block Size"]);

    for (const File& f : files) {
        SCOPED_TRACE(f.name);
        const uint64_t inode = NtfsInode(image_, "/" + f.name);
        ASSERT_NE(inode, 0u);
        AttributeData data;
        ASSERT_EQ(v->volume->LoadAttribute(inode, kAttrData, u"", data), kOk);
        EXPECT_TRUE(data.complete);
        EXPECT_EQ(RunsText(data.runs), NtfsinfoRuns(image_, inode));
        EXPECT_EQ(ReadWhole(*v->volume, data), f.bytes);
        std::vector<uint8_t> record(v->volume->RecordBytes());
        ASSERT_EQ(v->volume->ReadRecord(inode, record), kOk);
        FileNameInfo name;
        ASSERT_TRUE(PreferredName(record, name));
        EXPECT_EQ(name.name, f.name);
        EXPECT_EQ(name.parentRecord, kMftRecordRoot);
    }

    std::vector<uint8_t> bitmap;
    ASSERT_EQ(v->volume->ReadClusterBitmap(bitmap), kOk);
    std::string raw;
    if (HaveTool("ntfscat") &&
        RunShell("ntfscat '" + image_ + "' '$Bitmap' > '" + (dir_ / "bitmap") + "'", &raw) == 0) {
        std::vector<uint8_t> expected = ReadFileBytes(dir_ / "bitmap");
        expected.resize(bitmap.size());
        EXPECT_EQ(bitmap, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, MkntfsVolume,
                         ::testing::Values(Layout{512, 512}, Layout{512, 1024}, Layout{512, 4096},
                                           Layout{512, 65536}, Layout{512, 131072},
                                           Layout{4096, 4096}, Layout{4096, 16384}),
                         LayoutName);

// Deleted files on a volume of 4 KiB sectors and records, deleted through the FUSE driver:
// their records come back with the in-use flag clear, and a resident value that spans several
// 512-byte fixup blocks reads back byte-exact.
TEST(MountedNtfs, DeletedFilesOn4KSectorsKeepTheirRecords) {
    if (!HaveNtfsTools()) GTEST_SKIP() << "mkntfs/ntfscp/ntfsinfo not installed";
    TempDir dir;
    const std::string image = dir / "volume.img";
    ASSERT_TRUE(MakeNtfsImage(image, 32, "-s 4096 -c 4096"));
    const auto resident = Pattern("resident across blocks", 3000);
    const auto large = Pattern("large deleted", 70000);
    uint64_t residentInode = 0;
    uint64_t largeInode = 0;
    uint64_t folderInode = 0;
    {
        NtfsMount mount(image, dir / "mnt");
        if (!mount.Ok()) GTEST_SKIP() << mount.Error();
        ASSERT_EQ(RunShell("mkdir '" + (mount / "Fotos") + "'"), 0);
        WriteFileBytes(mount / "Fotos/notiz.txt", resident);
        WriteFileBytes(mount / "Fotos/groß.jpg", large);
        ASSERT_TRUE(mount.Unmount());
        residentInode = NtfsInode(image, "/Fotos/notiz.txt");
        largeInode = NtfsInode(image, "/Fotos/groß.jpg");
        folderInode = NtfsInode(image, "/Fotos");
        ASSERT_TRUE(residentInode && largeInode && folderInode);
        NtfsMount again(image, dir / "mnt");
        ASSERT_TRUE(again.Ok()) << again.Error();
        ASSERT_EQ(RunShell("rm '" + (again / "Fotos/notiz.txt") + "' '" +
                           (again / "Fotos/groß.jpg") + "'"),
                  0);
    }
    auto v = OpenNtfsImage(image);
    ASSERT_TRUE(v);
    ASSERT_EQ(v->mftResult, kOk);
    ASSERT_EQ(v->volume->RecordBytes(), 4096u);
    const auto records = ListMft(*v->volume);
    for (auto [inode, name, bytes] :
         {std::tuple{residentInode, "notiz.txt", &resident}, {largeInode, "groß.jpg", &large}}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(records.count(inode));
        const ListedRecord& r = records.at(inode);
        EXPECT_FALSE(r.header.InUse());
        EXPECT_EQ(r.name.name, name);
        EXPECT_EQ(r.name.parentRecord, folderInode);
        AttributeData data;
        ASSERT_EQ(v->volume->LoadAttribute(inode, kAttrData, u"", data), kOk);
        // ntfs-3g keeps a deleted file's mapping pairs; its clusters are free but unchanged.
        EXPECT_EQ(ReadWhole(*v->volume, data), *bytes);
    }
    EXPECT_TRUE(records.at(folderInode).header.IsDirectory());
    EXPECT_TRUE(records.at(folderInode).header.InUse());
}

}  // namespace
}  // namespace norvale::testing
