// Damage on the real card: flipped bytes, lengths and sizes pushed past their bounds, runs off
// the volume, attribute lists that point back at themselves, a cut-off image. Nothing may read
// outside the medium, loop, or allocate by a size read from the medium.
#include <gtest/gtest.h>

#include "device/sector_source.h"
#include "ntfs/mft_record.h"
#include "ntfs/mft_scanner.h"
#include "ntfs/ntfs_test_media.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

class DamagedCard : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string image = UnpackCard(dir_.Path());
        ASSERT_FALSE(image.empty());
        bytes_ = ReadFileBytes(image);
        for (const FixtureFile& f : ReadFixtureFacts(FixturePath("ntfs_card.txt"))) {
            if (f.path == "/big.bin") big_ = f;
        }
        auto v = Open();
        ASSERT_EQ(v->mftResult, kOk);
        bigRecordAt_ = *v->volume->RecordToLba(big_.inode) * 512;
        bitmapRecordAt_ = *v->volume->RecordToLba(kMftRecordBitmap) * 512;
        std::vector<uint8_t> record(1024);
        ASSERT_EQ(v->volume->ReadRecord(big_.inode, record), kOk);
        ASSERT_TRUE(FindAttribute(record, kAttrData, u"", bigData_));
        ASSERT_TRUE(FindAttribute(record, kAttrAttributeList, u"", bigList_));
        AttributeData list;
        ASSERT_EQ(v->volume->LoadAttribute(big_.inode, kAttrAttributeList, u"", list), kOk);
        ASSERT_FALSE(list.resident);
        listAt_ = list.runs[0].lcn * 1024;
        listBytes_ = list.realSize;
    }
    std::unique_ptr<OpenedNtfs> Open() { return OpenNtfsBytes(bytes_); }

    // Loads big.bin's data from the (damaged) image and reads what its runs describe.
    void LoadAndReadBig(AttributeData& data, Result& load) {
        auto v = Open();
        load = v->volume->LoadAttribute(big_.inode, kAttrData, u"", data);
        if (load != kOk) return;
        std::vector<uint8_t> chunk(65536);
        for (uint64_t at = 0; at < data.realSize; at += chunk.size()) {
            const uint64_t n = std::min<uint64_t>(chunk.size(), data.realSize - at);
            (void)v->volume->ReadAttributeBytes(data, at, std::span(chunk).first(n));
        }
    }

    TempDir dir_;
    std::vector<uint8_t> bytes_;
    FixtureFile big_;
    uint64_t bigRecordAt_ = 0;
    uint64_t bitmapRecordAt_ = 0;
    AttributeRef bigData_;
    AttributeRef bigList_;
    uint64_t listAt_ = 0;
    uint64_t listBytes_ = 0;
};

TEST_F(DamagedCard, EveryFlippedByteOfARecordAndItsListIsSurvived) {
    auto memory = std::make_unique<MemorySource>(bytes_);
    std::vector<uint8_t>& medium = memory->Bytes();
    auto v = OpenNtfs(std::move(memory));
    ASSERT_EQ(v->mftResult, kOk);
    std::vector<uint64_t> offsets;
    for (uint64_t i = 0; i < 1024; ++i) offsets.push_back(bigRecordAt_ + i);
    for (uint64_t i = 0; i < listBytes_; ++i) offsets.push_back(listAt_ + i);
    size_t incomplete = 0;
    std::vector<uint8_t> chunk(65536);
    for (uint64_t at : offsets) {
        medium[at] ^= 0xFF;
        AttributeData data;
        if (v->volume->LoadAttribute(big_.inode, kAttrData, u"", data) == kOk) {
            incomplete += !data.complete;
            // Reads only what the surviving runs allow, whatever sizes the damage left.
            for (uint64_t pos = 0; pos < std::min<uint64_t>(data.realSize, 1 << 22);
                 pos += chunk.size()) {
                const uint64_t n = std::min<uint64_t>(chunk.size(), data.realSize - pos);
                (void)v->volume->ReadAttributeBytes(data, pos, std::span(chunk).first(n));
            }
        }
        medium[at] ^= 0xFF;
    }
    EXPECT_GT(incomplete, 0u);
}

TEST_F(DamagedCard, RunOffTheVolumeIsRefusedAndNotRead) {
    // The first run's cluster field (two bytes after a 0x2? header) pushed past the volume.
    const size_t pairs = bigRecordAt_ + bigData_.offset + 0x40;
    ASSERT_EQ(bytes_[pairs] >> 4, 2);
    const unsigned lengthBytes = bytes_[pairs] & 0x0F;
    bytes_[pairs + 1 + lengthBytes] = 0xFF;
    bytes_[pairs + 2 + lengthBytes] = 0x7F;
    auto v = Open();
    AttributeData data;
    ASSERT_EQ(v->volume->LoadAttribute(big_.inode, kAttrData, u"", data), kOk);
    EXPECT_FALSE(data.complete);
    EXPECT_TRUE(data.runs.empty());
    std::vector<uint8_t> chunk(4096);
    EXPECT_EQ(v->volume->ReadAttributeBytes(data, 0, chunk), kErrInvalidParameter);
    EXPECT_EQ(v->volume->ReadClusterBytes(v->volume->Geometry().totalClusters, 0, chunk),
              kErrInvalidParameter);
}

TEST_F(DamagedCard, AttributeListEntriesPointingBackOrOutsideEndTheWalk) {
    const std::vector<uint8_t> good = bytes_;
    struct Case {
        const char* what;
        uint64_t record;  // for every $DATA entry of the list
        uint16_t instance;
    };
    // Entries that all name the base record's own first extent (a cycle), a record past the
    // MFT, and the record of $MFT itself (not an extension of this file).
    for (const Case& c : {Case{"cycle", big_.inode, bigData_.instance},
                          Case{"past the MFT", 0xFFFFFFFFFFull, 0}, Case{"foreign", 0, 0}}) {
        bytes_ = good;
        size_t dataEntries = 0;
        for (uint64_t at = 0; at + 0x1A <= listBytes_;) {
            uint8_t* e = &bytes_[listAt_ + at];
            const uint16_t length = uint16_t(e[4] | (e[5] << 8));
            if (length < 0x1A) break;
            if ((e[0] | (e[1] << 8)) == kAttrData) {
                ++dataEntries;
                Put64(bytes_, listAt_ + at + 0x10, c.record);
                bytes_[listAt_ + at + 0x18] = uint8_t(c.instance);
                bytes_[listAt_ + at + 0x19] = uint8_t(c.instance >> 8);
            }
            at += length;
        }
        ASSERT_EQ(dataEntries, 2u);
        auto v = Open();
        AttributeData data;
        const Result r = v->volume->LoadAttribute(big_.inode, kAttrData, u"", data);
        EXPECT_EQ(r, kOk) << c.what;
        EXPECT_FALSE(data.complete) << c.what;
        EXPECT_LT(data.runs.size(), 170u) << c.what;
    }
}

TEST_F(DamagedCard, SizesReadFromTheMediumAreCappedBeforeAnyAllocation) {
    // An attribute list claiming a terabyte, and a bitmap claiming a petabyte.
    Put64(bytes_, bigRecordAt_ + bigList_.offset + 0x30, uint64_t{1} << 40);
    Put64(bytes_, bigRecordAt_ + bigList_.offset + 0x38, uint64_t{1} << 40);
    auto v = Open();
    std::vector<uint8_t> record(1024);
    ASSERT_EQ(v->volume->ReadRecord(kMftRecordBitmap, record), kOk);
    AttributeRef bitmapData;
    ASSERT_TRUE(FindAttribute(record, kAttrData, u"", bitmapData));
    Put64(bytes_, bitmapRecordAt_ + bitmapData.offset + 0x30, uint64_t{1} << 50);
    Put64(bytes_, bitmapRecordAt_ + bitmapData.offset + 0x38, uint64_t{1} << 50);
    v = Open();
    AttributeData data;
    ASSERT_EQ(v->volume->LoadAttribute(big_.inode, kAttrData, u"", data), kOk);
    EXPECT_TRUE(data.complete);  // the list's real entries are all there
    std::vector<uint8_t> bitmap;
    ASSERT_EQ(v->volume->ReadClusterBitmap(bitmap), kOk);
    EXPECT_EQ(bitmap.size(), (v->volume->Geometry().totalClusters + 7) / 8);
}

TEST_F(DamagedCard, RecordNumbersAndSectorsOutsideAreRefusedWithoutAReading) {
    auto counting = std::make_unique<FaultySource>(std::make_unique<MemorySource>(bytes_),
                                                   std::set<uint64_t>{});
    FaultySource* source = counting.get();
    auto v = OpenNtfs(std::move(counting));
    ASSERT_EQ(v->mftResult, kOk);
    const uint64_t before = source->ReadCalls();
    std::vector<uint8_t> record(1024);
    EXPECT_EQ(v->volume->ReadRecord(v->volume->MftRecordCount(), record), kErrEngineGeneric);
    EXPECT_EQ(v->volume->ReadRecord(uint64_t{1} << 47, record), kErrEngineGeneric);
    EXPECT_FALSE(v->volume->RecordToLba(v->volume->MftRecordCount()));
    EXPECT_EQ(v->volume->ReadMftRecord(bytes_.size() / 512, record), kErrInvalidParameter);
    EXPECT_EQ(v->volume->ReadMftRecord(~uint64_t{0} - 1, record), kErrInvalidParameter);
    EXPECT_EQ(v->volume->ReadMftRecord(0, std::span(record).first(512)), kErrInvalidParameter);
    EXPECT_EQ(source->ReadCalls(), before);
}

TEST_F(DamagedCard, CutOffImageReadsWhatIsThereAndRefusesTheRest) {
    bytes_.resize(4 << 20);
    auto v = Open();
    ASSERT_EQ(v->openResult, kOk);
    ASSERT_EQ(v->mftResult, kOk);
    size_t readable = 0;
    std::vector<uint8_t> record(1024);
    for (uint64_t n = 0; n < v->volume->MftRecordCount(); ++n) {
        if (v->volume->ReadRecord(n, record) == kOk) ++readable;
    }
    EXPECT_GT(readable, 16u);
    AttributeData data;
    Result load = kOk;
    LoadAndReadBig(data, load);
    std::vector<uint8_t> bitmap;
    EXPECT_EQ(v->volume->ReadClusterBitmap(bitmap), kOk);
    EXPECT_LE(bitmap.size(), (4u << 20) / 1024 / 8);
}

TEST_F(DamagedCard, MftClaimingAHugeSparseStretchIsScannedInAFewBatches) {
    auto v = Open();
    std::vector<DataRun> runs = v->volume->MftRuns();
    runs.insert(runs.begin() + 1, DataRun{uint64_t{1} << 40, 0, 0, true});
    v->volume->SetMftRuns(runs, ~uint64_t{0});
    // No more records than the 16 MiB partition can hold.
    EXPECT_LE(v->volume->MftRecordCount(), bytes_.size() / 1024);
    MftScanner scan(*v->volume);
    ASSERT_EQ(scan.Init(), kOk);
    int batches = 0;
    while (scan.Next() == kOk && scan.Count() > 0) ++batches;
    EXPECT_LT(batches, 20);
    EXPECT_EQ(scan.RecordsDone(), scan.RecordsTotal());
}

TEST(DamagedNtfs, BootSectorAloneOrGarbageOpensNothing) {
    std::vector<uint8_t> zeros(1 << 20, 0);
    auto v = OpenNtfsBytes(zeros);
    EXPECT_EQ(v->openResult, kErrInvalidParameter);
    auto empty = OpenNtfsBytes({});
    EXPECT_NE(empty->openResult, kOk);
}

}  // namespace
}  // namespace norvale::testing
