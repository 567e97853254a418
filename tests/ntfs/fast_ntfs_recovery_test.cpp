// The deleted-file engine on volumes made by mkntfs and changed through an ntfs-3g mount: what
// it lists, where, and that what it writes back is the deleted data. Skipped without the tools
// or without FUSE.
#include "ntfs/fast_ntfs_recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "engine/data_paths.h"
#include "engine/result_store.h"
#include "ntfs/fast_ntfs_test_helpers.h"
#include "ntfs/ntfs_test_media.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

namespace fs = std::filesystem;

uint64_t Inode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The clusters of the runs ntfsinfo prints ("LCN+LENGTH ...", holes left out).
std::set<uint64_t> RunClustersOf(const std::string& runsText) {
    std::set<uint64_t> clusters;
    std::istringstream in(runsText);
    for (std::string run; in >> run;) {
        const size_t plus = run.find('+');
        if (run.rfind("hole", 0) == 0 || plus == std::string::npos) continue;
        const uint64_t lcn = std::stoull(run.substr(0, plus));
        for (uint64_t i = 0; i < std::stoull(run.substr(plus + 1)); ++i) clusters.insert(lcn + i);
    }
    return clusters;
}

// Clusters in the free extents the engine gives.
std::set<uint64_t> FreeClusters(CFastNtfsRecovery& engine) {
    const uint32_t spc = engine.Geometry().sectorsPerCluster;
    std::set<uint64_t> free;
    uint64_t position = 0, length = 0;
    for (int guard = 0; guard < 100000; ++guard, position += length) {
        (void)engine.SkipUsedClusters(position, length);
        if (length == 0) break;
        for (uint64_t s = position; s < position + length; s += spc) free.insert(s / spc);
    }
    return free;
}

struct Layout {
    const char* mkntfs;
    uint64_t sizeMiB;
};

class DeletedNtfsFiles : public ::testing::TestWithParam<Layout> {};

TEST_P(DeletedNtfsFiles, ComeBackByteExactUnderTheirFolders) {
    if (!HaveNtfsTools()) GTEST_SKIP() << "mkntfs/ntfscp/ntfsinfo not installed";
    IsolatedHome home;
    TempDir dir;
    const std::string image = dir / "card.img";
    ASSERT_TRUE(MakeNtfsImage(image, GetParam().sizeMiB, GetParam().mkntfs));
    std::map<std::string, std::vector<uint8_t>> written;
    uint64_t goneRecord = 0, liveRecord = 0;
    {
        NtfsMount m(image, dir / "mnt");
        if (!m.Ok()) GTEST_SKIP() << m.Error();
        auto put = [&](const std::string& path, std::vector<uint8_t> bytes) {
            WriteFileBytes(m / path, bytes);
            written[path] = std::move(bytes);
        };
        // The first user records: the folder whose record is handed out again below.
        fs::create_directory(m / "Gone");
        put("Gone/left behind.txt", MakeContent("left", 900));
        fs::create_directories(m / "Old album/Sub");
        fs::create_directory(m / "DCIM");
        fs::create_directory(m / "Ärger");
        put("keep.txt", MakeContent("keep", 5000));
        put("DCIM/live.jpg", MakeContent("live", 30000, true));
        put("small.txt", MakeContent("small", 300));
        put("DCIM/IMG_0001.JPG", MakeContent("img", 70000, true));
        put("Old album/photo 1.jpg", MakeContent("photo", 40000, true));
        put("Old album/Sub/deep notes.txt", MakeContent("deep", 2500));
        put("Ärger/naïve ☃.txt", MakeContent("snow", 1234));
        std::ofstream(m / "sparse.bin").seekp(3000000) << "sparse";
        written["sparse.bin"].assign(3000000, 0);
        for (char c : std::string("sparse")) written["sparse.bin"].push_back(uint8_t(c));
        goneRecord = Inode(m / "Gone");
        liveRecord = Inode(m / "DCIM/live.jpg");
        for (const char* gone : {"small.txt", "DCIM/IMG_0001.JPG", "Ärger/naïve ☃.txt",
                                 "sparse.bin", "Gone/left behind.txt", "Gone"}) {
            ASSERT_TRUE(fs::remove(m / gone)) << gone;
        }
        ASSERT_EQ(fs::remove_all(m / "Old album"), 4u);
        ASSERT_TRUE(m.Unmount());
    }
    {
        // A new mount hands out the lowest free record again: the folder's.
        NtfsMount m(image, dir / "mnt");
        ASSERT_TRUE(m.Ok()) << m.Error();
        WriteFileBytes(m / "reuse.txt", {'r'});
        ASSERT_EQ(Inode(m / "reuse.txt"), goneRecord);
        ASSERT_TRUE(m.Unmount());
    }
    const std::string lost = "LostFolder" + std::to_string(goneRecord);
    written[lost + "/left behind.txt"] = written["Gone/left behind.txt"];

    Result scanned = kErrGenFailure;
    auto engine = ScanNtfs(image, &scanned);
    ASSERT_TRUE(engine);
    ASSERT_EQ(scanned, kOk);
    auto all = ListAll(*engine);
    std::set<std::string> listed, expected = {"DCIM", "Old album", "Old album/Sub", "Ärger", lost};
    for (const auto& [path, item] : all) listed.insert(path);
    for (const char* file : {"small.txt", "DCIM/IMG_0001.JPG", "Old album/photo 1.jpg",
                             "Old album/Sub/deep notes.txt", "Ärger/naïve ☃.txt", "sparse.bin"}) {
        expected.insert(file);
    }
    expected.insert(lost + "/left behind.txt");
    ASSERT_EQ(listed, expected);
    EXPECT_EQ(int(all["DCIM"].isDeleted), 0);
    EXPECT_EQ(int(all["Ärger"].isDeleted), 0);
    EXPECT_EQ(int(all["Old album"].isDeleted), 1);
    EXPECT_EQ(int(all["Old album/Sub"].isDeleted), 1);
    EXPECT_EQ(int(all[lost].clusterBytes), -1);

    TempDir out;
    for (const auto& [path, item] : all) {
        if (item.isFolder) continue;
        SCOPED_TRACE(path);
        EXPECT_EQ(int(item.isDeleted), 1);
        EXPECT_EQ(int(item.contentValid), 1);
        EXPECT_EQ(uint32_t(item.clusterBytes), engine->Geometry().clusterBytes);
        std::string folder;
        EXPECT_EQ(engine->GetItemPath(item, folder), kOk);
        EXPECT_EQ(folder + std::string(item.Name()), path);
        EXPECT_EQ(RecoverBytes(*engine, item, out / ("one/" + path)), written[path]);
    }
    ASSERT_EQ(engine->RecoverItem(all["Old album"], out / "album", 0), kOk);
    EXPECT_EQ(ReadFileBytes(out / "album/photo 1.jpg"), written["Old album/photo 1.jpg"]);
    EXPECT_EQ(ReadFileBytes(out / "album/Sub/deep notes.txt"),
              written["Old album/Sub/deep notes.txt"]);

    std::string preview;
    uint64_t none = 0;
    ASSERT_EQ(engine->ExtractForPreview(all["DCIM/IMG_0001.JPG"], preview, nullptr, none, nullptr,
                                        nullptr),
              kOk);
    EXPECT_EQ(preview, ScanLogFolder() + "/tmp.jpg");
    EXPECT_EQ(ReadFileBytes(preview), written["DCIM/IMG_0001.JPG"]);

    // The free extents hold the deleted photo's clusters and none of the live one's.
    ASSERT_EQ(engine->BuildClusterMap(), kOk);
    const std::set<uint64_t> free = FreeClusters(*engine);
    const std::set<uint64_t> live = RunClustersOf(NtfsinfoRuns(image, liveRecord));
    ASSERT_FALSE(live.empty());
    for (uint64_t c : live) EXPECT_EQ(free.count(c), 0u) << c;
    auto v = OpenNtfsImage(image);
    AttributeData photo;
    ASSERT_EQ(v->volume->LoadAttribute(uint32_t(all["DCIM/IMG_0001.JPG"].objectKey), kAttrData, u"",
                                       photo),
              kOk);
    EXPECT_EQ(free.count(photo.runs.at(0).lcn), 1u);

    // A finished scan reopens by name without reading the medium.
    CFastNtfsRecovery reopened;
    ASSERT_EQ(reopened.Scan(fs::path(engine->Store()->DataPath()).filename().c_str()), kOk);
    std::vector<RecoveredItem> photos;
    EXPECT_EQ(reopened.ListByType(kPhotoExtensions, photos), 1);
    EXPECT_EQ(photos.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DeletedNtfsFiles,
                         ::testing::Values(Layout{"-c 512", 32}, Layout{"-c 1024", 32},
                                           Layout{"-c 4096", 32}, Layout{"-s 4096 -c 4096", 32},
                                           Layout{"-c 65536", 64}),
                         [](const auto& info) {
                             std::string name = info.param.mkntfs;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// A file written into the holes of a full volume, and a compressed one (LZNT1 units, stored
// units and a short last unit), come back whole after they were deleted.
TEST(FastNtfsRecovery, FragmentedAndCompressedDeletedFilesComeBackWhole) {
    if (!HaveNtfsTools()) GTEST_SKIP() << "mkntfs/ntfscp/ntfsinfo not installed";
    IsolatedHome home;
    TempDir dir;
    const std::string image = dir / "full.img";
    ASSERT_TRUE(MakeNtfsImage(image, 8, "-c 1024"));
    const std::vector<uint8_t> fragmented = MakeContent("fragmented", 250000);
    std::vector<uint8_t> packed = Pattern("compressible line of text", 150000);
    for (const auto& part : {MakeContent("raw", 70000), Pattern("tail", 5000)}) {
        packed.insert(packed.end(), part.begin(), part.end());
    }
    uint64_t record = 0;
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
        record = Inode(m / "fragmented.bin");
        fs::remove(m / "filler");
        fs::create_directory(m / "packed");
        const uint8_t compressedFolder[] = {0, 0, 0x08, 0x10};  // ntfs-3g's attribute xattr
        ASSERT_EQ(::setxattr((m / "packed").c_str(), "system.ntfs_attrib_be", compressedFolder,
                             sizeof compressedFolder, 0),
                  0);
        WriteFileBytes(m / "packed/text.txt", packed);
        ASSERT_TRUE(m.Unmount());
        const std::string runs = NtfsinfoRuns(image, record);
        ASSERT_GT(std::count(runs.begin(), runs.end(), '+'), 4) << runs;
        NtfsMount again(image, dir / "mnt");
        ASSERT_TRUE(again.Ok());
        fs::remove(again / "fragmented.bin");
        fs::remove(again / "packed/text.txt");
    }
    auto engine = ScanNtfs(image);
    ASSERT_TRUE(engine);
    auto all = ListAll(*engine);
    ASSERT_TRUE(all.count("fragmented.bin") && all.count("packed/text.txt"));
    EXPECT_EQ(RecoverBytes(*engine, all["fragmented.bin"], dir / "out.bin"), fragmented);
    EXPECT_EQ(RecoverBytes(*engine, all["packed/text.txt"], dir / "out.txt"), packed);
}

}  // namespace
}  // namespace norvale::testing
