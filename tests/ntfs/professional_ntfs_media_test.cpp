// The professional NTFS engine driven the way the coordinator drives it, over volumes made by
// mkntfs and filled through ntfs-3g, then formatted over or moved: what it lists, where, and
// that what it writes back is the files' content. Skipped without the tools or without FUSE.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <filesystem>
#include <iostream>

#include "engine/output_naming.h"
#include "engine/result_store.h"
#include "ntfs/fast_ntfs_test_helpers.h"
#include "ntfs/ntfs_test_media.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "ntfs/professional_ntfs_test_helpers.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

namespace fs = std::filesystem;

struct Layout {
    const char* mkntfs;
    uint64_t sizeMiB;
    uint32_t clusterBytes;
    bool wipeBootSector;  // the formatted volume's boot sector is gone as well
};

std::string LayoutName(const ::testing::TestParamInfo<Layout>& info) {
    return "cluster" + std::to_string(info.param.clusterBytes) +
           (info.param.wipeBootSector ? "_noBootSector" : "");
}

// Folders of the sample that hold files (an empty folder has no file to lead to it).
const char* const kSampleFolders[] = {"Photos", "Photos/Trip 2023", "Docs", "Docs/Deep",
                                      "Docs/Deep/Deeper"};

class FormattedVolume : public ::testing::TestWithParam<Layout> {
  protected:
    void SetUp() override {
        if (!HaveNtfsTools() || !HaveTool("ntfs-3g")) GTEST_SKIP() << "ntfs-3g tools missing";
        image_ = dir_ / "card.img";
        content_ = SampleContent("formatted");
        std::string error;
        if (!MakeFilledVolume(image_, GetParam().sizeMiB, GetParam().mkntfs, content_, dir_ / "mnt",
                              error)) {
            GTEST_SKIP() << error;
        }
        // A quick format writes a new, empty MFT over the start of the old one.
        ASSERT_EQ(RunShell(std::string("mkntfs -F -Q -q ") + GetParam().mkntfs + " '" + image_ +
                           "' >/dev/null 2>&1"),
                  0);
        if (GetParam().wipeBootSector) PatchZeros(0, 512);
    }
    void PatchZeros(uint64_t offset, size_t count) {
        WriteAt(offset, std::vector<uint8_t>(count, 0));
    }
    void WriteAt(uint64_t offset, const std::vector<uint8_t>& bytes) {
        const std::string part = dir_ / "part";
        WriteFileBytes(part, bytes);
        CopyInto(part, image_, offset);
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string image_;
    VolumeContent content_;
};

TEST_P(FormattedVolume, FilesComeBackByteExactUnderTheirFolders) {
    PassCounts counts;
    auto engine = ScanProfessional(image_, &counts);
    ASSERT_TRUE(engine);
    EXPECT_EQ(counts.finish, kOk);
    EXPECT_EQ(counts.refused, 0u);
    const auto tree = ListTree(*engine);
    for (const char* folder : kSampleFolders) {
        ASSERT_TRUE(tree.count(folder)) << folder;
        EXPECT_EQ(int32_t{tree.at(folder).isFolder}, 1) << folder;
    }
    EXPECT_FALSE(tree.count("Empty"));  // no file leads to it

    int n = 0;
    for (const auto& [path, bytes] : content_.files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(tree.count(path));
        const RecoveredItem& item = tree.at(path);
        EXPECT_EQ(int32_t{item.engineKind}, kEngineProfessionalNtfs);
        EXPECT_EQ(uint64_t{item.fileSize}, bytes.size());
        EXPECT_EQ(uint64_t{item.partitionStart}, 0u);
        EXPECT_EQ(int32_t{item.contentValid}, 1);
        const bool deleted = path == "Docs/Deep/gone.txt";
        EXPECT_EQ(int32_t{item.isDeleted}, deleted ? 1 : 0);
        if (bytes.size() > 700) {
            EXPECT_EQ(uint32_t(item.clusterBytes), GetParam().clusterBytes);
        }
        EXPECT_EQ(RecoverTo(*engine, item, dir_ / ("out" + std::to_string(n++))), bytes);
    }

    // A folder comes back with everything below it.
    const std::string out = dir_ / "Docs";
    ASSERT_EQ(engine->RecoverItem(tree.at("Docs"), out, 0), kOk);
    for (const auto& [path, bytes] : content_.files) {
        if (path.rfind("Docs/", 0) == 0) {
            EXPECT_EQ(ReadFileBytes(dir_ / path), bytes) << path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FormattedVolume,
                         ::testing::Values(Layout{"-c 4096", 64, 4096, false},
                                           Layout{"-c 512", 64, 512, false},
                                           Layout{"-c 2048", 48, 2048, true}),
                         LayoutName);

// A file written into the holes of a full volume and a compressed one (LZNT1 units, stored units
// and a short last unit) come back whole after their volume was formatted over.
TEST(FormattedVolumeContent, FragmentedAndCompressedFilesComeBackWhole) {
    if (!HaveNtfsTools() || !HaveTool("ntfs-3g")) GTEST_SKIP() << "ntfs-3g tools missing";
    IsolatedHome home;
    TempDir dir;
    const std::string image = dir / "full.img";
    ASSERT_TRUE(MakeNtfsImage(image, 8, "-c 1024"));
    const std::vector<uint8_t> fragmented = MakeContent("fragmented", 250000);
    std::vector<uint8_t> packed = Pattern("compressible line of text", 150000);
    for (const auto& part : {MakeContent("raw", 70000), Pattern("tail", 5000)}) {
        packed.insert(packed.end(), part.begin(), part.end());
    }
    {
        NtfsMount m(image, dir / "mnt");
        if (!m.Ok()) GTEST_SKIP() << m.Error();
        fs::create_directory(m / "fill");
        const std::vector<uint8_t> block = MakeContent("block", 1000);
        for (int i = 0; i < 600; ++i) WriteFileBytes(m / ("fill/f" + std::to_string(i)), block);
        ASSERT_EQ(RunShell("yes filler | dd of='" + (m / "filler") +
                           "' bs=64k iflag=fullblock 2>/dev/null; true"),
                  0);
        for (int i = 0; i < 600; i += 2) fs::remove(m / ("fill/f" + std::to_string(i)));
        WriteFileBytes(m / "fragmented.bin", fragmented);
        fs::remove(m / "filler");
        fs::create_directory(m / "packed");
        const uint8_t compressedFolder[] = {0, 0, 0x08, 0x10};  // ntfs-3g's attribute xattr
        ASSERT_EQ(::setxattr((m / "packed").c_str(), "system.ntfs_attrib_be", compressedFolder,
                             sizeof compressedFolder, 0),
                  0);
        WriteFileBytes(m / "packed/text.txt", packed);
        ASSERT_TRUE(m.Unmount());
    }
    const std::string runs = NtfsinfoRuns(image, NtfsInode(image, "/fragmented.bin"));
    ASSERT_GT(std::count(runs.begin(), runs.end(), '+'), 4) << runs;
    ASSERT_EQ(RunShell("mkntfs -F -Q -q -c 1024 '" + image + "' >/dev/null 2>&1"), 0);

    auto engine = ScanProfessional(image);
    ASSERT_TRUE(engine);
    const auto tree = ListTree(*engine);
    ASSERT_TRUE(tree.count("fragmented.bin") && tree.count("packed/text.txt"));
    EXPECT_EQ(RecoverTo(*engine, tree.at("fragmented.bin"), dir / "out.bin"), fragmented);
    EXPECT_EQ(RecoverTo(*engine, tree.at("packed/text.txt"), dir / "out.txt"), packed);
    size_t fill = 0;
    for (const auto& [path, item] : tree) fill += path.rfind("fill/f", 0) == 0;
    // Deleted and live ones alike, but for the records the later files took over.
    EXPECT_GE(fill, 597u);
    EXPECT_TRUE(tree.count("fill/f599") && tree.count("fill/f598"));

    // Preview: a document kind goes to a file named after it, text into memory.
    std::string temp;
    std::vector<uint8_t> memory(1000);
    uint64_t count = memory.size();
    ASSERT_EQ(engine->ExtractForPreview(tree.at("packed/text.txt"), temp, memory.data(), count,
                                        nullptr, nullptr),
              kOk);
    EXPECT_TRUE(temp.empty());
    ASSERT_EQ(count, 1000u);
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), packed.begin()));
}

// An old volume (2 KiB clusters) copied into a disk image at a sector offset that is no multiple
// of anything, behind a live volume (4 KiB clusters) that starts at sector 0.
class MovedVolume : public ::testing::Test {
  protected:
    static constexpr uint64_t kOldStart = 140001;

    void SetUp() override {
        if (!HaveNtfsTools() || !HaveTool("ntfs-3g")) GTEST_SKIP() << "ntfs-3g tools missing";
        content_ = SampleContent("moved");
        const std::string old = dir_ / "old.img";
        std::string error;
        if (!MakeFilledVolume(old, 48, "-c 2048", content_, dir_ / "mnt", error)) {
            GTEST_SKIP() << error;
        }
        disk_ = dir_ / "disk.img";
        ASSERT_TRUE(MakeNtfsImage(disk_, 128, "-c 4096"));
        live_ = Pattern("live file of the current volume", 10000);
        WriteFileBytes(dir_ / "live", live_);
        ASSERT_TRUE(NtfsCopyIn(disk_, dir_ / "live", "/live.txt"));
        // The live file's clusters must lie before the old volume's copy.
        const std::string runs = NtfsinfoRuns(disk_, NtfsInode(disk_, "/live.txt"));
        ASSERT_FALSE(runs.empty());
        ASSERT_LT(std::stoull(runs.substr(0, runs.find('+'))) * 8, kOldStart);
        CopyInto(old, disk_, kOldStart * 512);
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string disk_;
    VolumeContent content_;
    std::vector<uint8_t> live_;
};

TEST_F(MovedVolume, RecordsAreReadOnTheVolumeTheirMftPlacesThemOn) {
    auto engine = ScanProfessional(disk_);
    ASSERT_TRUE(engine);
    const auto tree = ListTree(*engine);
    int n = 0;
    for (const auto& [path, bytes] : content_.files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(tree.count(path));
        const RecoveredItem& item = tree.at(path);
        EXPECT_EQ(uint64_t{item.partitionStart}, kOldStart);
        if (bytes.size() > 700) {
            EXPECT_EQ(int32_t{item.clusterBytes}, 2048);
        }
        EXPECT_EQ(RecoverTo(*engine, item, dir_ / ("out" + std::to_string(n++))), bytes);
    }
    for (const char* folder : kSampleFolders) {
        ASSERT_TRUE(tree.count(folder)) << folder;
        EXPECT_EQ(uint64_t{tree.at(folder).partitionStart}, kOldStart) << folder;
    }
    // In-use records of the live volume are reported as well, on their own volume.
    ASSERT_TRUE(tree.count("live.txt"));
    EXPECT_EQ(uint64_t{tree.at("live.txt").partitionStart}, 0u);
    EXPECT_EQ(int32_t{tree.at("live.txt").clusterBytes}, 4096);
    EXPECT_EQ(RecoverTo(*engine, tree.at("live.txt"), dir_ / "live.out"), live_);

    // The coordinator's merged listing finds the first data sector of an item through its
    // record: there lie the file's first bytes.
    const RecoveredItem& beach = tree.at("Photos/Trip 2023/beach.jpg");
    uint64_t first = 0;
    ASSERT_EQ(engine->FirstDataSector(beach, first), kOk);
    std::vector<uint8_t> sector(512);
    const std::vector<uint8_t> disk = ReadFileBytes(disk_);
    ASSERT_LT(first * 512 + 512, disk.size());
    EXPECT_TRUE(std::equal(disk.begin() + long(first * 512), disk.begin() + long(first * 512 + 512),
                           content_.files.at("Photos/Trip 2023/beach.jpg").begin()));
    EXPECT_EQ(engine->FirstDataSector(tree.at("Docs/notes.txt"), first), kErrUnsupportedLayout);
}

// What placing records by the contiguous-MFT assumption costs when a volume's $MFT record is
// met after them (here: never, it is gone): the records are put on a volume that begins at the
// partition start. Names and folders still come out right (folders are located next to the
// records that lead to them), and so does content kept in the records; content kept in clusters
// is read at the wrong place, and photos whose first sector then fails their signature check
// drop out of the listings altogether.
TEST_F(MovedVolume, RecordsMetBeforeTheirMftRecordAssumeThePartitionStart) {
    const uint64_t recordZero = FindRecord(disk_, 0, kOldStart * 512);
    ASSERT_GT(recordZero, kOldStart * 512);
    WriteFileBytes(dir_ / "zeros", std::vector<uint8_t>(1024, 0));
    CopyInto(dir_ / "zeros", disk_, recordZero);
    auto engine = ScanProfessional(disk_);
    ASSERT_TRUE(engine);
    const auto tree = ListTree(*engine);
    for (const char* folder : kSampleFolders) EXPECT_TRUE(tree.count(folder)) << folder;
    size_t inClusters = 0;
    size_t wrong = 0;
    size_t hidden = 0;
    int n = 0;
    for (const auto& [path, bytes] : content_.files) {
        SCOPED_TRACE(path);
        if (!tree.count(path)) {
            EXPECT_EQ(CategoryOf(path), "photo");
            ++hidden;
            continue;
        }
        const RecoveredItem& item = tree.at(path);
        EXPECT_EQ(uint64_t{item.partitionStart}, 0u);
        const auto got = RecoverTo(*engine, item, dir_ / ("out" + std::to_string(n++)));
        if (bytes.size() <= 700) {
            EXPECT_EQ(got, bytes);  // resident: read from the record itself
            continue;
        }
        ++inClusters;
        wrong += got != bytes;
    }
    std::cout << "[ cost     ] of " << content_.files.size() << " files: " << hidden
              << " photos hidden, " << wrong << " of " << inClusters
              << " other files kept in clusters come back wrong\n";
    EXPECT_EQ(wrong, inClusters);
    EXPECT_EQ(hidden, 2u);
}

}  // namespace
}  // namespace norvale::testing
