// The pure parts of the professional NTFS scan on hand-made records: the candidate test, the
// cluster size a record gives away, fixups on records found loose, what an item is made of, and
// where an MFT found on the source keeps its records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ntfs/found_record.h"
#include "ntfs/mft_placement.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace norvale {
namespace {

// Builds a 1 KiB (or larger) file record attribute by attribute, then protects it with the
// update sequence the way NTFS writes it.
class RecordBuilder {
  public:
    explicit RecordBuilder(uint32_t number, uint32_t size = 1024, uint16_t flags = 1)
        : b_(size, 0) {
        std::memcpy(b_.data(), "FILE", 4);
        Put16(0x04, 0x30);
        Put16(0x06, uint16_t(size / 512 + 1));
        Put16(0x14, 0x38);
        Put16(0x16, flags);
        Put32(0x1C, size);
        Put32(0x2C, number);
        Put16(0x30, 0x0007);  // update sequence number
        at_ = 0x38;
    }
    RecordBuilder& FileName(const std::u16string& name, uint8_t nameSpace, uint64_t parent = 5,
                            uint64_t size = 0) {
        const uint32_t value = 0x42 + 2 * uint32_t(name.size());
        const uint32_t length = (0x18 + value + 7) & ~7u;
        Header(0x30, length, false);
        Put32(at_ + 0x10, value);
        Put16(at_ + 0x14, 0x18);
        const size_t v = at_ + 0x18;
        Put64(v, parent);
        Put64(v + 0x08, 1111);  // created
        Put64(v + 0x10, 2222);  // modified
        Put64(v + 0x20, 3333);  // accessed
        Put64(v + 0x30, size);
        b_[v + 0x40] = uint8_t(name.size());
        b_[v + 0x41] = nameSpace;
        for (size_t i = 0; i < name.size(); ++i) Put16(v + 0x42 + 2 * i, name[i]);
        at_ += length;
        return *this;
    }
    RecordBuilder& ResidentData(const std::vector<uint8_t>& value) {
        const uint32_t length = (0x18 + uint32_t(value.size()) + 7) & ~7u;
        Header(0x80, length, false);
        Put32(at_ + 0x10, uint32_t(value.size()));
        Put16(at_ + 0x14, 0x18);
        std::memcpy(&b_[at_ + 0x18], value.data(), value.size());
        at_ += length;
        return *this;
    }
    // Mapping pairs as given (the 0 end byte is added).
    RecordBuilder& NonResidentData(const std::vector<uint8_t>& pairs, uint64_t allocated,
                                   uint64_t real, uint64_t startVcn = 0) {
        const uint32_t length = (0x40 + uint32_t(pairs.size()) + 1 + 7) & ~7u;
        Header(0x80, length, true);
        Put64(at_ + 0x10, startVcn);
        Put16(at_ + 0x20, 0x40);
        Put64(at_ + 0x28, allocated);
        Put64(at_ + 0x30, real);
        Put64(at_ + 0x38, real);
        std::memcpy(&b_[at_ + 0x40], pairs.data(), pairs.size());
        at_ += length;
        return *this;
    }
    RecordBuilder& AttributeList() {
        Header(0x20, 0x18, false);
        at_ += 0x18;
        return *this;
    }
    std::vector<uint8_t> Build() {
        Put32(at_, 0xFFFFFFFF);
        Put32(0x18, uint32_t(at_ + 8));
        std::vector<uint8_t> r = b_;
        // Each 512-byte block's last word goes to the array; the sequence number takes its place.
        for (size_t i = 1; i <= r.size() / 512; ++i) {
            r[0x30 + 2 * i] = r[i * 512 - 2];
            r[0x31 + 2 * i] = r[i * 512 - 1];
            r[i * 512 - 2] = r[0x30];
            r[i * 512 - 1] = r[0x31];
        }
        return r;
    }
    // The bytes as they are before protection (what fixups must give back).
    const std::vector<uint8_t>& Plain() const { return b_; }

  private:
    void Header(uint32_t type, uint32_t length, bool nonResident) {
        Put32(at_, type);
        Put32(at_ + 4, length);
        b_[at_ + 8] = nonResident ? 1 : 0;
    }
    void Put16(size_t at, uint16_t v) {
        b_[at] = uint8_t(v);
        b_[at + 1] = uint8_t(v >> 8);
    }
    void Put32(size_t at, uint32_t v) {
        Put16(at, uint16_t(v));
        Put16(at + 2, uint16_t(v >> 16));
    }
    void Put64(size_t at, uint64_t v) {
        Put32(at, uint32_t(v));
        Put32(at + 4, uint32_t(v >> 32));
    }

    std::vector<uint8_t> b_;
    size_t at_;
};

TEST(FoundRecordCandidate, AcceptsOnlyWholeRecordsOfTheSourcesRecordSize) {
    const auto good = RecordBuilder(70).FileName(u"a.txt", 1).Build();
    EXPECT_TRUE(IsCandidateMftRecord(good));
    EXPECT_FALSE(IsCandidateMftRecord(std::span(good).first(511)));
    struct Case {
        const char* what;
        size_t at;
        uint8_t value;
    };
    for (const Case& c : {Case{"signature", 0, 'B'}, Case{"bytes in use past the record", 0x19, 4},
                          Case{"allocated size", 0x1D, 8}, Case{"sequence number", 0x30, 9},
                          Case{"first block's last word", 0x1FE, 9}}) {
        auto bad = good;
        bad[c.at] = c.value;
        EXPECT_FALSE(IsCandidateMftRecord(bad)) << c.what;
    }
    // The record size follows the sector size: two sectors of 512 bytes, else one sector.
    EXPECT_EQ(FoundRecordBytes(512), 1024u);
    EXPECT_EQ(FoundRecordBytes(4096), 4096u);
    EXPECT_FALSE(IsCandidateMftRecord(good, 4096));
    const auto large = RecordBuilder(70, 4096).FileName(u"a.txt", 1).Build();
    EXPECT_TRUE(IsCandidateMftRecord(large, 4096));
    EXPECT_FALSE(IsCandidateMftRecord(large, 512));

    EXPECT_FALSE(IsDirectoryRecord(good));
    EXPECT_TRUE(IsDirectoryRecord(RecordBuilder(71, 1024, 3).FileName(u"dir", 1).Build()));
}

// The pass also takes records other writers lay out: 4 KiB records on 512-byte sectors, and the
// update sequence array at 0x2A (the ntfs3 driver), where 0x2C holds no record number.
TEST(FoundRecordCandidate, OtherWritersRecordsStateTheirOwnSize) {
    const auto good = RecordBuilder(70).FileName(u"a.txt", 1).Build();
    EXPECT_EQ(CandidateRecordBytes(good, 512), 1024u);
    EXPECT_EQ(CandidateRecordBytes(good, 4096), 0u);  // smaller than a sector
    EXPECT_EQ(CandidateRecordBytes(std::span(good).first(511), 512), 0u);

    const auto large = RecordBuilder(70, 4096).FileName(u"a.txt", 1).Build();
    EXPECT_EQ(CandidateRecordBytes(large, 512), 4096u);
    EXPECT_EQ(CandidateRecordBytes(large, 4096), 4096u);
    // Only the first 512 bytes are needed to tell the size.
    EXPECT_EQ(CandidateRecordBytes(std::span(large).first(512), 512), 4096u);
    struct Case {
        const char* what;
        size_t at;
        uint16_t value;
    };
    for (const Case& c :
         {Case{"array entries for 2 KiB", 0x06, 5},
          Case{"size 2 KiB with entries for 4 KiB", 0x1C, 2048}, Case{"size 8 KiB", 0x1D, 0x20},
          Case{"size no power of two", 0x1C, 3072},
          Case{"bytes in use past the record", 0x19, 0x20}, Case{"array offset odd", 0x04, 0x31},
          Case{"array offset inside the header", 0x04, 0x20},
          Case{"array past the first block", 0x04, 0x1F0},
          Case{"first block's last word", 0x1FE, 9}}) {
        auto bad = large;
        bad[c.at] = uint8_t(c.value);
        bad[c.at + 1] = uint8_t(c.value >> 8);
        EXPECT_EQ(CandidateRecordBytes(bad, 512), 0u) << c.what;
    }

    RecordBuilder builder(70);
    builder.FileName(u"b.txt", 1);
    builder.Build();
    std::vector<uint8_t> older = builder.Plain();
    older[0x04] = 0x2A;
    older[0x2A] = 0x09;
    older[0x2B] = 0x00;
    for (size_t i = 1; i <= 2; ++i) {
        older[0x2A + 2 * i] = older[i * 512 - 2];
        older[0x2B + 2 * i] = older[i * 512 - 1];
        older[i * 512 - 2] = 0x09;
        older[i * 512 - 1] = 0x00;
    }
    EXPECT_FALSE(IsCandidateMftRecord(older));
    EXPECT_EQ(CandidateRecordBytes(older, 512), 1024u);
    MftRecordHeader h;
    ASSERT_TRUE(DecodeRecordHeader(older, h));
    EXPECT_FALSE(h.HasOwnNumber());
    ASSERT_TRUE(DecodeRecordHeader(good, h));
    EXPECT_TRUE(h.HasOwnNumber());
    std::vector<uint8_t> restored = older;
    ASSERT_TRUE(RestoreFoundFixups(restored));
    FoundRecordFacts facts;
    ASSERT_TRUE(ReadFoundRecordFacts(restored, facts));
    EXPECT_EQ(facts.name, "b.txt");
}

TEST(FoundRecordClusterSize, StartsFromThePartitionSizeAndFollowsTheRecords) {
    const uint64_t mib = 2048;  // 512-byte sectors per MiB
    EXPECT_EQ(DefaultSectorsPerCluster(512, 6 * mib), 8u);
    EXPECT_EQ(DefaultSectorsPerCluster(512, 7 * mib + 1), 1u);
    EXPECT_EQ(DefaultSectorsPerCluster(512, 512 * mib), 1u);
    EXPECT_EQ(DefaultSectorsPerCluster(512, 1024 * mib), 2u);
    EXPECT_EQ(DefaultSectorsPerCluster(512, 1536 * mib), 4u);  // 1.5 GiB
    EXPECT_EQ(DefaultSectorsPerCluster(512, 4096 * mib), 8u);
    EXPECT_EQ(DefaultSectorsPerCluster(4096, 1024 * mib / 8), 1u);  // 1 GiB of 4 KiB sectors

    // Ten clusters and 81,920 allocated bytes: 8 KiB clusters, 16 sectors.
    const auto tenClusters = RecordBuilder(80)
                                 .FileName(u"f", 1)
                                 .NonResidentData({0x21, 10, 0x00, 0x01}, 81920, 80000)
                                 .Build();
    EXPECT_EQ(SectorsPerClusterFromRecord(tenClusters, 512), 16u);
    EXPECT_EQ(SectorsPerClusterFromRecord(RecordBuilder(80).FileName(u"f", 1).Build(), 512), 0u);
    EXPECT_EQ(SectorsPerClusterFromRecord(
                  RecordBuilder(80).FileName(u"f", 1).ResidentData({1, 2, 3}).Build(), 512),
              0u);
    // 1,536-byte clusters (no power of two), an allocation that does not divide, a later
    // extent, and data behind an attribute list tell nothing.
    for (const auto& record :
         {RecordBuilder(80).NonResidentData({0x11, 10, 4}, 15360, 100).Build(),
          RecordBuilder(80).NonResidentData({0x11, 10, 4}, 40961, 100).Build(),
          RecordBuilder(80).NonResidentData({0x11, 10, 4}, 0, 0, 16).Build(),
          RecordBuilder(80).AttributeList().NonResidentData({0x11, 10, 4}, 40960, 100).Build()}) {
        EXPECT_EQ(SectorsPerClusterFromRecord(record, 512), 0u);
    }
}

TEST(FoundRecordFixups, RestoreEveryBlockEvenWhenTornButOnlyForAFittingArray) {
    RecordBuilder builder(90);
    builder.FileName(u"notes.txt", 1);
    auto record = builder.Build();
    ASSERT_TRUE(RestoreFoundFixups(record));
    EXPECT_EQ(record, builder.Plain());

    // The second block was overwritten since (torn): its word is restored all the same.
    auto torn = builder.Build();
    torn[1022] = 0x55;
    torn[1023] = 0x66;
    ASSERT_TRUE(RestoreFoundFixups(torn));
    EXPECT_EQ(torn[1022], builder.Plain()[1022]);

    for (auto [at, value] : {std::pair<size_t, uint8_t>{0x06, 2},
                             {0x06, 9},
                             {0x04, 0x31},
                             {0x04, 0x00},
                             {0x05, 0x02}}) {
        auto bad = builder.Build();
        bad[at] = value;
        const auto before = bad;
        EXPECT_FALSE(RestoreFoundFixups(bad)) << at;
        EXPECT_EQ(bad, before);
    }
}

TEST(FoundRecordFacts, NameSizeAndDataComeFromTheRightAttributes) {
    // A DOS name first, the Win32 name later: the Win32 one is shown. The size comes from the
    // data, not from the name's stale copy.
    auto record = RecordBuilder(100)
                      .FileName(u"LONGNA~1.JPG", 2, 64, 5)
                      .FileName(u"long name.jpg", 1, 64, 5)
                      .NonResidentData({0x11, 3, 40}, 12288, 10000)
                      .Build();
    ASSERT_TRUE(RestoreFoundFixups(record));
    FoundRecordFacts facts;
    ASSERT_TRUE(ReadFoundRecordFacts(record, facts));
    EXPECT_EQ(facts.name, "long name.jpg");
    EXPECT_EQ(facts.first.parentRecord, 64u);
    EXPECT_EQ(facts.first.createdTime, 1111u);
    EXPECT_EQ(facts.size, 10000u);
    ASSERT_TRUE(facts.haveData);
    EXPECT_TRUE(facts.data.nonResident);

    auto resident = RecordBuilder(101).FileName(u"a", 0, 5, 77).ResidentData({1, 2, 3}).Build();
    ASSERT_TRUE(RestoreFoundFixups(resident));
    ASSERT_TRUE(ReadFoundRecordFacts(resident, facts));
    EXPECT_EQ(facts.size, 3u);
    auto noData = RecordBuilder(102).FileName(u"b", 0, 5, 77).Build();
    ASSERT_TRUE(RestoreFoundFixups(noData));
    ASSERT_TRUE(ReadFoundRecordFacts(noData, facts));
    EXPECT_EQ(facts.size, 77u);
    EXPECT_FALSE(ReadFoundRecordFacts(RecordBuilder(103).ResidentData({1}).Build(), facts));

    AttributeRef data;
    EXPECT_EQ(FirstDataAttribute(resident, data), 0);
    EXPECT_EQ(
        FirstDataAttribute(RecordBuilder(104).AttributeList().ResidentData({1}).Build(), data),
        -100);
    EXPECT_EQ(FirstDataAttribute(noData, data), -100);

    EXPECT_TRUE(IsMftSelfRecord(RecordBuilder(0).FileName(u"$mft", 3).Build()));
    EXPECT_FALSE(IsMftSelfRecord(RecordBuilder(0).FileName(u"$MFTMirr", 3).Build()));
    EXPECT_FALSE(IsMftSelfRecord(RecordBuilder(1).FileName(u"$MFT", 3).Build()));
}

TEST(MftPlacement, RecordsAreFoundThroughTheRunsOfRecordZero) {
    // Record 0 found at LBA 1000 of an MFT at LCN 100 (4 KiB clusters): the volume begins at
    // 200. Runs: 4 clusters at 100, a hole of 2, 3 clusters at 50.
    std::vector<DataRun> runs = {{4, 100, 100, false}, {2, 0, 0, true}, {3, -50, 50, false}};
    MftPlacement mft;
    ASSERT_TRUE(BuildMftPlacement(1000, runs, 8, 77, mft));
    EXPECT_EQ(mft.volumeStart, 200u);
    EXPECT_EQ(PlaceRecord(mft, 0, 2), 1000u);
    EXPECT_EQ(PlaceRecord(mft, 15, 2), 1030u);
    EXPECT_FALSE(PlaceRecord(mft, 16, 2));  // in the hole
    // Record 24 begins exactly where the hole ends: at the start of the third run.
    EXPECT_EQ(PlaceRecord(mft, 24, 2), 200u + 50 * 8);
    EXPECT_EQ(PlaceRecord(mft, 35, 2), 200u + 50 * 8 + 22);
    EXPECT_FALSE(PlaceRecord(mft, 36, 2));  // past the runs
    EXPECT_FALSE(PlaceRecord(mft, uint64_t{1} << 63, 2));

    // An MFT that would put the volume before sector 0, or that has no clusters, is no MFT.
    EXPECT_FALSE(BuildMftPlacement(799, runs, 8, 0, mft));
    EXPECT_FALSE(BuildMftPlacement(1000, {}, 8, 0, mft));
    EXPECT_FALSE(BuildMftPlacement(1000, std::vector<DataRun>{{4, 0, 0, true}}, 8, 0, mft));
    EXPECT_FALSE(BuildMftPlacement(1000, runs, 0, 0, mft));
    // An MFT at LCN 0 leaves the volume at the partition start.
    ASSERT_TRUE(BuildMftPlacement(1000, std::vector<DataRun>{{4, 0, 0, false}}, 8, 77, mft));
    EXPECT_EQ(mft.volumeStart, 77u);

    EXPECT_EQ(ExtrapolateRecord(1000, 70, 64, 2), 988u);
    EXPECT_EQ(ExtrapolateRecord(1000, 70, 75, 2), 1010u);
    EXPECT_FALSE(ExtrapolateRecord(10, 70, 5, 2));
    EXPECT_FALSE(ExtrapolateRecord(~uint64_t{0} - 4, 70, 75, 2));
}

}  // namespace
}  // namespace norvale
