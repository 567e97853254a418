// The carving engine on image files: what one carve records, how many sectors it covers, the
// listing slots of a flat store, and copying carved files out for recovery and preview.
#include "carving/file_type_recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "carving/carve_only_recovery.h"
#include "carving/carving_context.h"
#include "carving_test_support.h"
#include "engine/data_paths.h"
#include "engine/recovered_file_writer.h"
#include "engine/scan_log_history.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedHome;
using testing::Medium;
using testing::ReadFileBytes;
using testing::RealFile;
using testing::Sample;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr uint16_t kTag = 0x8003;

struct RecoverCall {
    int percent;
    int scale;
    int error;
    std::string path;
};

int RecordRecover(void* userData, int percent, int scale, int errorCode, const char* item) {
    static_cast<std::vector<RecoverCall>*>(userData)->push_back({percent, scale, errorCode, item});
    return 0;
}

class CarvingEngine : public ::testing::Test {
  protected:
    // Writes `medium` as the image and opens the engine and a pass reader on it.
    void Open(const Medium& medium) {
        WriteFileBytes(image_, medium.Bytes());
        ASSERT_EQ(engine_.OpenImage(image_, kTag), kOk);
        ASSERT_EQ(passReader_.OpenImageFile(image_), kOk);
    }
    Result Carve(uint64_t lba, uint64_t& consumed, uint64_t& found) {
        std::vector<uint8_t> sector(512);
        uint32_t got = 0;
        EXPECT_EQ(passReader_.ReadSectors(1, sector.data(), lba, 512, got), kOk);
        return engine_.CarveSector(512, sector, lba, lba, 1000, 5, passReader_, consumed, found);
    }
    std::vector<RecoveredItem> Root() {
        std::vector<RecoveredItem> items;
        EXPECT_EQ(engine_.ListChildren(nullptr, 0, items), kOk);
        return items;
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string image_ = dir_ / "raw.img";
    CFileTypeRecovery engine_;
    SectorReader passReader_;
};

TEST_F(CarvingEngine, CarveRecordsTheFileAndCoversItsSectors) {
    const std::vector<uint8_t> photo = RealFile("photo.jpg");
    const std::vector<uint8_t> program = Sample("program.exe");
    if (photo.empty() || program.empty()) GTEST_SKIP() << "sample files were not made";
    Medium medium(400);
    medium.Put(100, photo).Put(300, program);
    Open(medium);

    uint64_t consumed = 1, found = 7;
    ASSERT_EQ(Carve(100, consumed, found), kOk);
    EXPECT_EQ(consumed, (photo.size() + 511) / 512);
    EXPECT_EQ(found, 8u);

    // Nothing at a zero sector, and executables are recognised but never carved.
    for (uint64_t lba : {0ull, 300ull}) {
        consumed = 1;
        EXPECT_EQ(Carve(lba, consumed, found), kErrInvalidParameter) << lba;
        EXPECT_EQ(consumed, 1u);
    }
    EXPECT_EQ(found, 8u);

    const std::vector<RecoveredItem> items = Root();
    ASSERT_EQ(items.size(), 1u);
    const RecoveredItem& item = items[0];
    EXPECT_EQ(item.Name(), "100.jpg");
    EXPECT_EQ(uint16_t{item.sourceTag}, kTag);
    EXPECT_EQ(int32_t{item.engineKind}, kEngineFileType);
    EXPECT_EQ(int32_t{item.isFolder}, 0);
    EXPECT_EQ(int32_t{item.isDeleted}, 0);
    EXPECT_EQ(int32_t{item.contentValid}, 1);
    EXPECT_EQ(int32_t{item.recordIndex}, 1);
    EXPECT_EQ(int32_t{item.objectKey}, 0);
    EXPECT_EQ(int32_t{item.clusterBytes}, -1);
    EXPECT_EQ(uint64_t{item.fileSize}, photo.size());
    EXPECT_EQ(uint64_t{item.location}, 100u);
    EXPECT_EQ(uint64_t{item.partitionStart}, 0u);
    EXPECT_EQ(uint64_t{item.dataAreaStart}, 0u);
    EXPECT_EQ(uint64_t{item.modifiedTime}, 0u);
    EXPECT_EQ(engine_.GetItemCount(), 1u);

    // The store is a "File_Type_" log of an image (start 0) in the history's folder.
    bool logged = false;
    for (const auto& e : fs::directory_iterator(ScanLogHistory::Instance().CurrentFolder())) {
        logged |= e.path().filename().string().rfind("File_Type_0_", 0) == 0;
    }
    EXPECT_TRUE(logged);
}

// A file whose structure checks out is passed over whole: a picture embedded in a sound file is
// part of it. A find whose structure does not check out (here a sound file whose header states
// more than the medium holds) is kept, marked, and looked into, since it may lie over real files.
TEST_F(CarvingEngine, InsideASoundFileNothingIsCarvedButInsideABrokenFindItIs) {
    const std::vector<uint8_t> sound = RealFile("tone.wav");
    const std::vector<uint8_t> photo = RealFile("photo.jpg");
    if (sound.empty() || photo.empty()) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
    ASSERT_GT(sound.size(), 512 + photo.size());
    std::vector<uint8_t> stored = photo;  // as a container stores it: whole sectors
    stored.resize((photo.size() + 511) / 512 * 512, 0);
    const uint64_t soundSectors = (sound.size() + 511) / 512;
    const uint64_t broken = 10 + soundSectors + 4;
    const uint64_t sectors = broken + 2 + stored.size() / 512 + 6;
    std::vector<uint8_t> cut(sound.begin(), sound.begin() + 1024);  // its header states more
    ASSERT_GT(sound.size(), (sectors - broken) * 512);
    Medium medium(sectors);
    medium.Put(10, sound).Put(11, stored).Put(broken, cut).Put(broken + 2, stored);
    Open(medium);

    uint64_t found = 0, covered = 0;
    ASSERT_EQ(
        CarveChunk(engine_, passReader_, 512, medium.Bytes(), 0, 0, sectors, 0, found, covered),
        kOk);
    const std::vector<RecoveredItem> items = Root();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].Name(), "10.wav");
    EXPECT_EQ(uint64_t{items[0].fileSize}, sound.size());
    EXPECT_EQ(int32_t{items[0].contentValid}, 1);
    EXPECT_EQ(items[1].Name(), std::to_string(broken) + ".wav");
    EXPECT_EQ(int32_t{items[1].contentValid}, 0);
    EXPECT_EQ(items[2].Name(), std::to_string(broken + 2) + ".jpg");
    EXPECT_EQ(uint64_t{items[2].fileSize}, photo.size());
    EXPECT_EQ(int32_t{items[2].contentValid}, 1);
    EXPECT_EQ(found, 3u);
}

TEST_F(CarvingEngine, FlatListingAndSlotsWithoutAStore) {
    std::vector<RecoveredItem> out;
    int count = 5;
    EXPECT_EQ(engine_.ListChildren(nullptr, 0, out), kOk);
    EXPECT_EQ(engine_.CountFiles(nullptr, 0, count), kOk);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(engine_.GetItemCount(), 0u);
    EXPECT_EQ(engine_.ListByType("*.jpg", out), 0);
    EXPECT_EQ(engine_.SetListCallback(nullptr, nullptr), kErrInvalidParameter);
    EXPECT_TRUE(out.empty());

    const std::vector<uint8_t> photo = RealFile("photo.jpg");
    const std::vector<uint8_t> png = Sample("picture.png");
    if (photo.empty() || png.empty()) GTEST_SKIP() << "sample files were not made";
    Medium medium(200);
    medium.Put(20, photo).Put(150, png);
    Open(medium);
    uint64_t consumed = 1, found = 0;
    ASSERT_EQ(Carve(20, consumed, found), kOk);
    ASSERT_EQ(Carve(150, consumed, found), kOk);

    EXPECT_EQ(engine_.SetListCallback(nullptr, nullptr), kOk);
    const std::vector<RecoveredItem> root = Root();
    ASSERT_EQ(root.size(), 2u);
    EXPECT_EQ(engine_.CountFiles(nullptr, 0, count), kOk);
    EXPECT_EQ(count, 2);
    // Carved files have no folders: any folder or level lists nothing.
    EXPECT_EQ(engine_.ListChildren(&root[0], 0, out), kOk);
    EXPECT_EQ(engine_.ListChildren(nullptr, 1, out), kOk);
    EXPECT_EQ(engine_.CountFiles(&root[0], 0, count), kOk);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(out.empty());
    std::string path = "untouched";
    EXPECT_EQ(engine_.GetItemPath(root[0], path), kOk);
    EXPECT_EQ(path, "untouched");
    EXPECT_EQ(engine_.ListByType("*.png", out), 1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Name(), "150.png");
}

RecoveredItem CarvedItem(const std::string& name, uint64_t location, uint64_t size) {
    RecoveredItem item{};
    item.engineKind = kEngineFileType;
    item.clusterBytes = -1;
    item.location = location;
    item.fileSize = size;
    item.SetName(name);
    return item;
}

TEST_F(CarvingEngine, RecoveryWritesExactlyTheFileAndNeverReplacesOne) {
    const std::vector<uint8_t> photo = RealFile("photo.jpg");
    if (photo.empty()) GTEST_SKIP() << "ImageMagick missing";
    Medium medium(300, 0xA5);
    medium.Put(40, photo);
    Open(medium);
    std::vector<RecoverCall> calls;
    (void)engine_.SetCallbacks(nullptr, RecordRecover, &calls, kFullProgressScale);

    const RecoveredItem item = CarvedItem("40.jpg", 40, photo.size());
    const std::string dest = dir_ / "out/photo/40.jpg";
    ASSERT_EQ(engine_.RecoverItem(item, dest, 0), kOk);
    EXPECT_EQ(ReadFileBytes(dest), photo);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().percent, 100);
    EXPECT_EQ(calls.back().error, 0);
    EXPECT_EQ(calls.back().path, dest);

    // The same file again is found already there and not written twice, unless asked to.
    ASSERT_EQ(engine_.RecoverItem(item, dest, 0), kOk);
    EXPECT_FALSE(fs::exists(dir_ / "out/photo/40(1).jpg"));
    EXPECT_EQ(calls.back().path, dest);
    FileWriteOptions again;
    again.skipExisting = false;
    const FileWriteScope scope(again);
    ASSERT_EQ(engine_.RecoverItem(item, dest, 0), kOk);
    EXPECT_EQ(ReadFileBytes(dir_ / "out/photo/40(1).jpg"), photo);
    EXPECT_EQ(ReadFileBytes(dest), photo);
}

TEST_F(CarvingEngine, RecoveryPastTheEndFailsAndKeepsWhatWasReadOnlyWhenAsked) {
    Medium medium(100, 0x3C);
    Open(medium);
    std::vector<RecoverCall> calls;
    (void)engine_.SetCallbacks(nullptr, RecordRecover, &calls, kFullProgressScale);

    // 10 sectors remain from LBA 90; the file claims 300 KiB.
    const std::string dest = dir_ / "past.jpg";
    EXPECT_EQ(engine_.RecoverItem(CarvedItem("90.jpg", 90, 300 * 1024), dest, 0), kErrReadFault);
    EXPECT_FALSE(fs::exists(dest));
    FileWriteOptions keep;
    keep.keepPartial = true;
    const FileWriteScope scope(keep);
    EXPECT_EQ(engine_.RecoverItem(CarvedItem("90.jpg", 90, 300 * 1024), dest, 0), kErrReadFault);
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_EQ(ReadFileBytes(dir_ / "past (incomplete).jpg"), std::vector<uint8_t>(10 * 512, 0x3C));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().percent, 100);
    EXPECT_EQ(calls.back().scale, 100);
    EXPECT_EQ(calls.back().error, kErrReadFault);
    EXPECT_EQ(calls.back().path, dir_ / "past (incomplete).jpg");
}

// A file in two pieces, each longer than one copy request: the first piece's sectors and then
// the second's, in order, whatever the request size. A second piece that runs off the end of the
// source fails the file, and what was read is kept only when asked.
TEST_F(CarvingEngine, TwoPieceFileLongerThanACopyRequestComesBackInOrder) {
    constexpr uint64_t kFirstLba = 10, kFirstSectors = 2100, kSecondLba = 3000;
    constexpr uint64_t kSize = (kFirstSectors + 2500) * 512 + 300;
    Medium medium(6000);
    medium.Noise(0, 6000, 7);
    Open(medium);
    const std::vector<uint8_t>& bytes = medium.Bytes();
    auto expected = [&](uint64_t secondLba, uint64_t size) {
        std::vector<uint8_t> out(bytes.begin() + kFirstLba * 512,
                                 bytes.begin() + (kFirstLba + kFirstSectors) * 512);
        const uint64_t rest = std::min<uint64_t>(size - out.size(), bytes.size() - secondLba * 512);
        out.insert(out.end(), bytes.begin() + secondLba * 512,
                   bytes.begin() + secondLba * 512 + rest);
        return out;
    };
    RecoveredItem item = CarvedItem("10.mp4", kFirstLba, kSize);
    item.objectKey = static_cast<int32_t>(kFirstSectors);
    item.dataAreaStart = kSecondLba;
    ASSERT_EQ(engine_.RecoverItem(item, dir_ / "whole.mp4", 0), kOk);
    EXPECT_EQ(ReadFileBytes(dir_ / "whole.mp4"), expected(kSecondLba, kSize));

    // The second piece from LBA 5000: only 1000 of its 2501 sectors are on the source.
    item.dataAreaStart = 5000;
    EXPECT_EQ(engine_.RecoverItem(item, dir_ / "short.mp4", 0), kErrReadFault);
    EXPECT_FALSE(fs::exists(dir_ / "short.mp4"));
    FileWriteOptions keep;
    keep.keepPartial = true;
    const FileWriteScope scope(keep);
    EXPECT_EQ(engine_.RecoverItem(item, dir_ / "short.mp4", 0), kErrReadFault);
    EXPECT_EQ(ReadFileBytes(dir_ / "short (incomplete).mp4"), expected(5000, kSize));
    EXPECT_EQ(expected(5000, kSize).size(), (kFirstSectors + 1000) * 512);
}

struct PreviewCall {
    int percent;
    int error;
};

int RecordPreview(void* userData, int percent, int errorCode) {
    static_cast<std::vector<PreviewCall>*>(userData)->push_back({percent, errorCode});
    return 0;
}

TEST_F(CarvingEngine, PreviewTargetsFollowTheKind) {
    Medium medium(300);
    std::vector<uint8_t> content(5000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + 1);
    medium.Put(10, content);
    Open(medium);
    const std::string folder = ScanLogFolder() + "/";

    // Sound and video share tmp.avi; documents keep their carved name; the rest goes to memory.
    const std::tuple<std::string, std::string> cases[] = {
        {"10.wma", folder + "tmp.avi"},
        {"10.doc", folder + "10.doc"},
        {"10.png", folder + "tmp.jpg"},
    };
    for (const auto& [name, expected] : cases) {
        std::string temp;
        uint64_t size = 0;
        std::vector<PreviewCall> calls;
        ASSERT_EQ(engine_.ExtractForPreview(CarvedItem(name, 10, content.size()), temp, nullptr,
                                            size, RecordPreview, &calls),
                  kOk)
            << name;
        EXPECT_EQ(fs::path(temp), fs::path(expected)) << name;
        EXPECT_EQ(ReadFileBytes(temp), content) << name;
        EXPECT_EQ(size, 0u);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().percent, 100);
    }

    std::vector<uint8_t> memory(3000, 0);
    uint64_t size = memory.size();
    std::string temp = "x";
    ASSERT_EQ(engine_.ExtractForPreview(CarvedItem("10.db", 10, content.size()), temp,
                                        memory.data(), size, nullptr, nullptr),
              kOk);
    EXPECT_TRUE(temp.empty());
    EXPECT_EQ(size, 3000u);
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), content.begin()));

    // A preview that cannot be read whole leaves no file behind.
    std::vector<PreviewCall> calls;
    size = 0;
    EXPECT_EQ(engine_.ExtractForPreview(CarvedItem("295.pdf", 295, 20000), temp, nullptr, size,
                                        RecordPreview, &calls),
              kErrReadFault);
    EXPECT_FALSE(fs::exists(folder + "295.pdf"));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().percent, 100);
    EXPECT_EQ(calls.back().error, kErrReadFault);
}

TEST_F(CarvingEngine, FilesOfFourGigabytesAndMoreAreCutToTheirLength) {
    // The copy goes to memory-backed storage where there is room: 4 GiB on a disk is slow.
    TempDir out(testing::TempDirFor(uint64_t{5} << 30));
    // A sparse image: zeros, a marked last stretch of the file and different bytes after it.
    const uint64_t length = (uint64_t{1} << 32) + 1000;
    const uint64_t imageBytes = length + 4 * 512 + 512;
    {
        Medium head(4);
        WriteFileBytes(image_, head.Bytes());
        ASSERT_EQ(::truncate(image_.c_str(), static_cast<off_t>(imageBytes)), 0);
        FILE* f = std::fopen(image_.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::vector<uint8_t> tail(4096, 0x11);
        std::fseek(f, static_cast<long>(512 + length - 1000), SEEK_SET);
        std::fwrite(tail.data(), 1, 1000, f);
        std::fwrite(std::vector<uint8_t>(3000, 0xEE).data(), 1, 3000, f);
        std::fclose(f);
    }
    ASSERT_EQ(engine_.OpenImage(image_, kTag), kOk);
    const std::string dest = out / "big.mkv";
    ASSERT_EQ(engine_.RecoverItem(CarvedItem("1.mkv", 1, length), dest, 0), kOk);
    struct stat st {};
    ASSERT_EQ(::stat(dest.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), length);
    FILE* f = std::fopen(dest.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> last(1000);
    std::fseek(f, static_cast<long>(length - 1000), SEEK_SET);
    ASSERT_EQ(std::fread(last.data(), 1, last.size(), f), last.size());
    std::fclose(f);
    EXPECT_EQ(last, std::vector<uint8_t>(1000, 0x11));
    fs::remove(dest);
}

// Two carving engines over two sources keep their stream state apart: a transport stream just
// carved on one source is no reason to take the stream at the same place of the other for its
// continuation. (With one context for the whole process the second stream went missing.)
TEST(CarvingEngines, ScansOfTwoSourcesDoNotShareStreamState) {
    IsolatedHome home;
    TempDir dir;
    Medium medium(64);
    std::vector<uint8_t> packets(12 * 512, 0x11);
    for (size_t at = 0; at < packets.size(); at += 188) {
        packets[at] = 0x47;
        if (at + 1 < packets.size()) packets[at + 1] = 0x40;
    }
    medium.Put(20, packets);
    CFileTypeRecovery engines[2];
    SectorReader readers[2];
    for (int i = 0; i < 2; ++i) {
        const std::string image = dir / ("card" + std::to_string(i) + ".img");
        WriteFileBytes(image, medium.Bytes());
        ASSERT_EQ(engines[i].OpenImage(image, uint16_t(kTag + 2 * i)), kOk);
        ASSERT_EQ(readers[i].OpenImageFile(image), kOk);
    }
    std::vector<uint8_t> sector(512);
    uint32_t got = 0;
    ASSERT_EQ(readers[0].ReadSectors(1, sector.data(), 20, 512, got), kOk);
    for (int i = 0; i < 2; ++i) {
        uint64_t consumed = 1, found = 0;
        EXPECT_EQ(engines[i].CarveSector(512, sector, 20, 20, 64, 0, readers[i], consumed, found),
                  kOk)
            << "engine " << i;
        EXPECT_EQ(found, 1u) << "engine " << i;
    }
}

}  // namespace
}  // namespace norvale
