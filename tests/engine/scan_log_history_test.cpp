#include "engine/scan_log_history.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "device/bytes.h"
#include "engine/data_paths.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void MakeLog(const std::string& folder) {
    ASSERT_EQ(MakeFolders(folder), kOk);
    WriteFileBytes(folder + "/Pro_Fat_0_2024", {1, 2, 3});
}

constexpr uint32_t kState[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
constexpr uint32_t kLaterState[10] = {11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

// A history in an isolated data folder whose volumes report `free` bytes.
class History : public ::testing::Test {
  protected:
    ScanLogHistory Fresh() {
        ScanLogHistory h(ScanLogFolder());
        (void)h.Load();
        h.SetVolumeFreeBytesFn([this](int, uint64_t) { return free; });
        return h;
    }
    std::string Folder(int n) const { return ScanLogFolder() + "/" + std::to_string(n) + "/"; }

    IsolatedHome home;
    uint64_t free = 5000;
};

// ---- Folders ----

TEST_F(History, FirstScanOfAnEmptyHistoryWritesIntoFolderOne) {
    ScanLogHistory& h = ScanLogHistory::Instance();
    EXPECT_EQ(h.Folder(), home.DataHome() + "/Kestrune/ScanLog");
    EXPECT_EQ(h.ScanCounter(), 0u);
    h.NewScanFolder();
    EXPECT_EQ(h.CurrentFolder(), home.DataHome() + "/Kestrune/ScanLog/1/");
}

TEST_F(History, NewScanFolderClearsALeftOverFolderOfTheNewNumber) {
    MakeLog(Folder(1));
    MakeLog(Folder(2));
    ScanLogHistory h = Fresh();
    h.NewScanFolder();
    EXPECT_FALSE(Exists(Folder(1)));
    EXPECT_TRUE(Exists(Folder(2)));
}

// ---- Resume, stale and delete ----

TEST_F(History, SavedPartitionScanResumesWhileFreeSpaceIsUnchanged) {
    {
        ScanLogHistory h = Fresh();
        h.NewScanFolder();
        MakeLog(h.CurrentFolder());
        ASSERT_EQ(h.SaveScanState(3, 2048, 100000, kState, h.CurrentFolder(), ""), kOk);
        ASSERT_EQ(h.SaveScanState(3, 2048, 100000, kLaterState, h.CurrentFolder(), ""), kOk);
        EXPECT_EQ(h.Records().size(), 1u);
    }
    ScanLogHistory h = Fresh();
    EXPECT_EQ(h.ScanCounter(), 1u);
    ScanLogRecord rec{};
    EXPECT_EQ(h.FindPartitionScan(3, 2048, 99999, rec), 0);  // another partition
    ASSERT_EQ(h.FindPartitionScan(3, 2048, 100000, rec), 1);
    EXPECT_TRUE(h.ResumeFound());
    EXPECT_EQ(h.CurrentFolder(), Folder(1));
    EXPECT_EQ(RecordPath(rec.logFolder), Folder(1));
    EXPECT_EQ(rec.volumeFreeBytes, 5000u);
    EXPECT_TRUE(std::equal(std::begin(kLaterState), std::end(kLaterState), rec.resumeState));
    h.NewScanFolder();
    EXPECT_FALSE(h.ResumeFound());
    EXPECT_EQ(h.CurrentFolder(), Folder(2));
}

// Whether a saved scan ran to its end is kept beside its logs; the record itself, as written
// to "config", stays as it was (its reserved field 0), and a stop after a finished run clears it.
TEST_F(History, FinishedScanIsToldByItsFolderAndTheRecordKeepsItsLayout) {
    const VolumeFreeBytesFn freeBytes = [this](int, uint64_t) { return free; };
    {
        ScanLogHistory h = Fresh();
        h.NewScanFolder();
        MakeLog(h.CurrentFolder());
        ASSERT_EQ(h.SaveScanState(3, 2048, 100, kState, h.CurrentFolder(), "", freeBytes, true),
                  kOk);
    }
    const std::vector<uint8_t> config = ReadFileBytes(ScanLogFolder() + "/config");
    ASSERT_EQ(config.size(), 8 + kScanLogRecordBytes);
    EXPECT_EQ(Le32(config.data() + 8 + 4), 0u);
    {
        ScanLogHistory h = Fresh();
        ScanLogRecord rec{};
        ASSERT_EQ(h.FindPartitionScan(3, 2048, 100, rec), 1);
        EXPECT_TRUE(h.ResumeFinished());
        ASSERT_EQ(
            h.SaveScanState(3, 2048, 100, kLaterState, h.CurrentFolder(), "", freeBytes, false),
            kOk);
    }
    ScanLogHistory h = Fresh();
    ScanLogRecord rec{};
    ASSERT_EQ(h.FindPartitionScan(3, 2048, 100, rec), 1);
    EXPECT_FALSE(h.ResumeFinished());
    EXPECT_FALSE(ScanLogHistory::PassFinished(Folder(1)));
    std::string name;
    EXPECT_EQ(h.FindLogByPrefix("Pro_", name, Folder(1)), kOk);  // the mark is no log
    EXPECT_EQ(name, "Pro_Fat_0_2024");
}

TEST_F(History, OneByteMoreFreeSpaceMakesTheSavedScanStaleAndDeletesIt) {
    {
        ScanLogHistory h = Fresh();
        h.NewScanFolder();
        MakeLog(h.CurrentFolder());
        ASSERT_EQ(h.SaveScanState(0, 63, 5000, kState, h.CurrentFolder(), ""), kOk);
    }
    free += 1;
    ScanLogHistory h = Fresh();
    ScanLogRecord rec{};
    EXPECT_EQ(h.FindPartitionScan(0, 63, 5000, rec), 0);
    EXPECT_FALSE(h.ResumeFound());
    EXPECT_FALSE(Exists(Folder(1)));
    EXPECT_TRUE(h.Records().empty());
    h.NewScanFolder();
    EXPECT_EQ(h.CurrentFolder(), Folder(2));
}

TEST_F(History, ImageScanMatchesExactPathAndModificationTime) {
    TempDir images;
    const std::string image = images / "card.img";
    WriteFileBytes(image, std::vector<uint8_t>(4096, 0));
    {
        ScanLogHistory h = Fresh();
        h.NewScanFolder();
        MakeLog(h.CurrentFolder());
        ASSERT_EQ(h.SaveScanState(0, 0, 8, kState, h.CurrentFolder(), image), kOk);
        EXPECT_EQ(h.Records()[0].imageWriteTime, FileWriteTime(image));
        EXPECT_EQ(h.Records()[0].volumeFreeBytes, 0u);
    }
    ScanLogHistory h = Fresh();
    ScanLogRecord rec{};
    EXPECT_EQ(h.FindPartitionScan(0, 0, 8, rec), 0);  // an image's record is no partition's
    EXPECT_EQ(h.FindImageScan(images / "CARD.img", rec), 0);
    EXPECT_EQ(h.FindImageScan(image, rec), 1);
    EXPECT_EQ(h.CurrentFolder(), Folder(1));

    const timespec later[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, image.c_str(), later, 0), 0);
    EXPECT_EQ(h.FindImageScan(image, rec), 0);
    EXPECT_FALSE(Exists(Folder(1)));
    EXPECT_TRUE(h.Records().empty());
}

// The partitions of one image are saved apart from each other and from the whole image: each
// resumes its own scan, and rewriting the image makes them all stale.
TEST_F(History, PartitionsOfAnImageResumeTheirOwnScans) {
    TempDir images;
    const std::string image = images / "disk.img";
    WriteFileBytes(image, std::vector<uint8_t>(4096, 0));
    {
        ScanLogHistory h = Fresh();
        h.NewScanFolder();
        MakeLog(h.CurrentFolder());
        ASSERT_EQ(h.SaveScanState(0x100001, 2048, 65536, kState, h.CurrentFolder(), image), kOk);
        h.NewScanFolder();
        MakeLog(h.CurrentFolder());
        ASSERT_EQ(h.SaveScanState(0x100001, 88064, 65536, kState, h.CurrentFolder(), image), kOk);
        ASSERT_EQ(h.Records().size(), 2u);
    }
    ScanLogHistory h = Fresh();
    ScanLogRecord rec{};
    EXPECT_EQ(h.FindImageScan(image, rec), 0);  // neither is the whole image's
    EXPECT_EQ(h.FindImageScan(image, 2048, 1, rec), 0);
    EXPECT_EQ(h.FindImageScan(image, 88064, 65536, rec), 1);
    EXPECT_EQ(h.CurrentFolder(), Folder(2));
    EXPECT_EQ(h.FindImageScan(image, 2048, 65536, rec), 1);
    EXPECT_EQ(h.CurrentFolder(), Folder(1));

    const timespec later[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, image.c_str(), later, 0), 0);
    EXPECT_EQ(h.FindImageScan(image, 2048, 65536, rec), 0);
    EXPECT_FALSE(Exists(Folder(1)));
}

TEST_F(History, FreeSpaceChangingDuringAScanKeepsThatScansFolder) {
    ScanLogHistory h = Fresh();
    h.NewScanFolder();
    MakeLog(h.CurrentFolder());
    ASSERT_EQ(h.SaveScanState(1, 0, 100, kState, h.CurrentFolder(), ""), kOk);
    free = 1;
    ASSERT_EQ(h.SaveScanState(1, 0, 100, kLaterState, h.CurrentFolder(), ""), kOk);
    EXPECT_TRUE(Exists(Folder(1) + "Pro_Fat_0_2024"));
    ASSERT_EQ(h.Records().size(), 1u);
    EXPECT_EQ(h.Records()[0].volumeFreeBytes, 1u);
    EXPECT_EQ(h.Records()[0].resumeState[0], 11u);
}

TEST_F(History, DeleteScanLogMatchesFolderCaseInsensitivelyAndKeepsOtherRecordsInOrder) {
    ScanLogHistory h = Fresh();
    for (int n = 1; n <= 3; ++n) {
        h.NewScanFolder();
        MakeLog(h.CurrentFolder());
        ASSERT_EQ(h.SaveScanState(0, uint64_t(n), 10, kState, h.CurrentFolder(), ""), kOk);
    }
    std::string upper = Folder(2);
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(h.DeleteScanLog(upper), kOk);  // no such folder on a case-sensitive system
    ASSERT_EQ(h.Records().size(), 2u);
    EXPECT_EQ(h.Records()[0].startLba, 1u);
    EXPECT_EQ(h.Records()[1].startLba, 3u);
    EXPECT_TRUE(Exists(Folder(2)));
    EXPECT_EQ(h.DeleteScanLog(Folder(2)), kOk);
    EXPECT_FALSE(Exists(Folder(2)));
}

TEST_F(History, DeletingAFolderThatIsGoneOnlyDropsItsRecord) {
    ScanLogHistory h = Fresh();
    h.NewScanFolder();
    ASSERT_EQ(h.SaveScanState(0, 1, 10, kState, h.CurrentFolder(), ""), kOk);
    EXPECT_FALSE(Exists(Folder(1)));
    EXPECT_EQ(h.DeleteScanLog(Folder(1)), kOk);
    EXPECT_TRUE(h.Records().empty());
}

TEST_F(History, DeleteNeverLeavesTheScanLogFolderNorFollowsLinks) {
    TempDir outside;
    WriteFileBytes(outside / "precious", {42});
    ScanLogHistory h = Fresh();
    MakeLog(Folder(1));
    EXPECT_EQ(h.DeleteScanLog(outside.Path() + "/"), kErrAccessDenied);
    EXPECT_EQ(h.DeleteScanLog(Folder(1) + "../../"), kErrAccessDenied);
    EXPECT_EQ(h.DeleteScanLog(ScanLogFolder() + "/"), kErrAccessDenied);
    EXPECT_TRUE(Exists(Folder(1)));
    EXPECT_TRUE(Exists(outside / "precious"));

    ASSERT_EQ(::symlink(outside.Path().c_str(), (Folder(1) + "link").c_str()), 0);
    ASSERT_EQ(MakeFolders(Folder(1) + "sub"), kOk);
    ASSERT_EQ(::symlink((outside / "precious").c_str(), (Folder(1) + "sub/file").c_str()), 0);
    EXPECT_EQ(h.DeleteScanLog(Folder(1)), kOk);
    EXPECT_FALSE(Exists(Folder(1)));
    EXPECT_EQ(ReadFileBytes(outside / "precious"), (std::vector<uint8_t>{42}));
}

TEST_F(History, OverlongPathIsRefusedNotCut) {
    ScanLogHistory h = Fresh();
    const std::string longImage = "/" + std::string(259, 'i');
    EXPECT_EQ(h.SaveScanState(0, 0, 1, kState, Folder(1), longImage), kErrFilenameTooLong);
    EXPECT_TRUE(h.Records().empty());
    EXPECT_FALSE(Exists(ScanLogFolder() + "/config"));
}

// ---- The "config" file ----

TEST_F(History, ConfigHoldsCounterThenRecordsWithUtf16Paths) {
    ScanLogHistory h = Fresh();
    h.NewScanFolder();
    h.NewScanFolder();
    const std::string folder = ScanLogFolder() + "/Ünï/";
    ASSERT_EQ(h.SaveScanState(4, 0x0102030405, 777, kState, folder, ""), kOk);
    const auto b = ReadFileBytes(ScanLogFolder() + "/config");
    ASSERT_EQ(b.size(), 8u + 1120);
    EXPECT_EQ(Le64(b.data()), 2u);
    const uint8_t* r = b.data() + 8;
    EXPECT_EQ(Le32(r), 4u);
    EXPECT_EQ(Le32(r + 4), 0u);
    EXPECT_EQ(Le64(r + 8), 0x0102030405u);
    EXPECT_EQ(Le64(r + 16), 777u);
    EXPECT_EQ(Le32(r + 24), 1u);
    EXPECT_EQ(Le32(r + 60), 10u);
    EXPECT_EQ(Le64(r + 64), 5000u);
    EXPECT_EQ(Le64(r + 72), 0u);
    EXPECT_EQ(Le16(r + 80), 0u);
    const std::u16string wide = u"Ünï/";
    const size_t at = 600 + 2 * (folder.size() - 6);  // "Ünï/" is 6 bytes, 4 units
    for (size_t k = 0; k < wide.size(); ++k) EXPECT_EQ(Le16(r + at + 2 * k), wide[k]);
    EXPECT_EQ(Le16(r + at + 8), 0u);
    EXPECT_EQ(RecordPath(h.Records()[0].logFolder), folder);
}

TEST_F(History, MissingOrEmptyConfigStartsEmpty) {
    ScanLogHistory missing(ScanLogFolder());
    EXPECT_EQ(missing.Load(), kErrInvalidParameter);
    EXPECT_EQ(missing.ScanCounter(), 0u);
    ASSERT_EQ(MakeFolders(ScanLogFolder()), kOk);
    WriteFileBytes(ScanLogFolder() + "/config", {});
    ScanLogHistory empty(ScanLogFolder());
    EXPECT_EQ(empty.Load(), kErrInvalidParameter);
    EXPECT_TRUE(empty.Records().empty());
}

TEST_F(History, ConfigOfOddSizeKeepsOnlyWholeRecords) {
    {
        ScanLogHistory h = Fresh();
        for (int n = 1; n <= 3; ++n)
            ASSERT_EQ(h.SaveScanState(0, uint64_t(n), 1, kState, Folder(n), ""), kOk);
    }
    testing::TruncateAt(ScanLogFolder() + "/config", 8 + 2 * 1120 + 500);
    ScanLogHistory h = Fresh();
    ASSERT_EQ(h.Records().size(), 2u);
    EXPECT_EQ(h.Records()[1].startLba, 2u);
}

TEST_F(History, InterruptedSaveIsRepairedFromConfigTmp) {
    {
        ScanLogHistory h = Fresh();
        h.NewScanFolder();
        ASSERT_EQ(h.SaveScanState(0, 9, 1, kState, h.CurrentFolder(), ""), kOk);
    }
    const std::string config = ScanLogFolder() + "/config";
    ASSERT_EQ(::rename(config.c_str(), (config + ".tmp").c_str()), 0);
    ScanLogHistory h = Fresh();
    EXPECT_EQ(h.ScanCounter(), 1u);
    ASSERT_EQ(h.Records().size(), 1u);
    EXPECT_TRUE(Exists(config));
    EXPECT_FALSE(Exists(config + ".tmp"));
}

TEST_F(History, ShorterHistoryAfterALongerOneLeavesNoStaleRecord) {
    ScanLogHistory h = Fresh();
    for (int n = 1; n <= 3; ++n)
        ASSERT_EQ(h.SaveScanState(0, uint64_t(n), 1, kState, Folder(n), ""), kOk);
    const std::string config = ScanLogFolder() + "/config";
    // A longer temporary file left by an earlier failed save.
    WriteFileBytes(config + ".tmp", ReadFileBytes(config));
    (void)h.DeleteScanLog(Folder(1));
    (void)h.DeleteScanLog(Folder(2));
    ASSERT_EQ(h.Save(), kOk);
    EXPECT_EQ(ReadFileBytes(config).size(), 8u + 1120);
    ScanLogHistory again = Fresh();
    ASSERT_EQ(again.Records().size(), 1u);
    EXPECT_EQ(again.Records()[0].startLba, 3u);
}

TEST_F(History, ConfigParseIsWholeRecordsOnlyForEveryLength) {
    std::vector<ScanLogRecord> two(2);
    two[0].diskNumber = 1;
    two[1].diskNumber = 2;
    const auto bytes = FormatScanLogConfig(7, two);
    for (size_t len = 0; len <= bytes.size(); ++len) {
        uint64_t counter = 99;
        std::vector<ScanLogRecord> out;
        const Result r = ParseScanLogConfig(std::span(bytes).first(len), counter, out);
        EXPECT_EQ(r, len < 8 ? kErrInvalidParameter : kOk);
        EXPECT_EQ(counter, len < 8 ? 0u : 7u);
        EXPECT_EQ(out.size(), len < 8 ? 0 : (len - 8) / 1120);
    }
}

TEST_F(History, InstanceLoadsOnceAndSaveCreatesTheFolder) {
    EXPECT_FALSE(Exists(ScanLogFolder()));
    ScanLogHistory& h = ScanLogHistory::Instance();
    h.NewScanFolder();
    ASSERT_EQ(h.Save(), kOk);
    EXPECT_EQ(&ScanLogHistory::Instance(), &h);
    ScanLogHistory::ResetInstance();
    EXPECT_EQ(ScanLogHistory::Instance().ScanCounter(), 1u);
}

// ---- Finding a stage's store ----

TEST(LogByPrefix, FirstMatchingDataFileIsFoundWhateverTheDirectoryOrder) {
    TempDir dir;
    for (const char* n : {"Pro_Fat_63_2024611 9_Relation", "Pro_Fat_63_2024611 9_DirInfo",
                          "Pro_Fat_63_2024611 9", ".Pro_Fat_hidden", "Fast_0_2024"})
        WriteFileBytes(dir / n, {});
    ScanLogHistory h(dir.Path());
    std::string name;
    ASSERT_EQ(h.FindLogByPrefix("Pro_Fat_", name, dir.Path()), kOk);
    EXPECT_EQ(name, "Pro_Fat_63_2024611 9");
    EXPECT_EQ(h.FindLogByPrefix("Pro_Ntfs_", name, dir.Path()), kErrFileNotFound);
    EXPECT_EQ(name, "");
    EXPECT_EQ(h.FindLogByPrefix("Fast_", name, dir / "missing"), kErrFileNotFound);
}

// ---- Where the data lives ----

TEST(DataFolders, XdgVariablesWinAndRelativeOnesAreIgnored) {
    TempDir home;
    testing::ScopedEnv h("HOME", home.Path());
    {
        testing::ScopedEnv d("XDG_DATA_HOME", "/srv/data/");
        testing::ScopedEnv c("XDG_CONFIG_HOME", "/srv/conf");
        EXPECT_EQ(DataHome(), "/srv/data/Kestrune");
        EXPECT_EQ(ConfigHome(), "/srv/conf/Kestrune");
        EXPECT_EQ(ScanLogFolder(), "/srv/data/Kestrune/ScanLog");
    }
    testing::ScopedEnv d("XDG_DATA_HOME", "relative/data");
    testing::ScopedEnv c("XDG_CONFIG_HOME", "");
    EXPECT_EQ(DataHome(), home.Path() + "/.local/share/Kestrune");
    EXPECT_EQ(ConfigHome(), home.Path() + "/.config/Kestrune");
}

TEST(DataFolders, MakeFoldersRefusesAFileInTheWay) {
    TempDir dir;
    EXPECT_EQ(MakeFolders(dir / "a/b/c/"), kOk);
    EXPECT_EQ(MakeFolders(dir / "a/b/c"), kOk);
    WriteFileBytes(dir / "a/file", {1});
    EXPECT_NE(MakeFolders(dir / "a/file/x"), kOk);
    EXPECT_NE(MakeFolders(dir / "a/file"), kOk);
}

}  // namespace
}  // namespace norvale
