// The committed card made by mkntfs and ntfs-3g (scripts/make-ntfs-fixtures.sh): every file's
// runs, size, name and content as ntfs-3g's tools reported them, deleted records included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "ntfs/mft_record.h"
#include "ntfs/mft_scanner.h"
#include "ntfs/ntfs_test_media.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

class FixtureCard : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = UnpackCard(dir_.Path());
        ASSERT_FALSE(image_.empty()) << "fixture ntfs_card.img.gz missing";
        facts_ = ReadFixtureFacts(FixturePath("ntfs_card.txt"));
        ASSERT_EQ(facts_.size(), 8u);
        v_ = OpenNtfsImage(image_);
        ASSERT_TRUE(v_);
        ASSERT_EQ(v_->openResult, kOk);
        ASSERT_EQ(v_->mftResult, kOk);
    }
    const FixtureFile& Fact(const std::string& path) {
        for (const FixtureFile& f : facts_) {
            if (f.path == path) return f;
        }
        throw std::runtime_error("no fact " + path);
    }
    NtfsVolume& Volume() { return *v_->volume; }

    TempDir dir_;
    std::string image_;
    std::vector<FixtureFile> facts_;
    std::unique_ptr<OpenedNtfs> v_;
};

// The layout the card was made with (the generated-media tests compare geometry with ntfsinfo).
TEST_F(FixtureCard, GeometryIsTheLayoutTheCardWasMadeWith) {
    const NtfsGeometry& g = Volume().Geometry();
    EXPECT_EQ(g.bytesPerSector, 512u);
    EXPECT_EQ(g.clusterBytes, 1024u);
    EXPECT_EQ(g.recordBytes, 1024u);
    EXPECT_EQ(g.sectorsPerRecord, 2u);
    EXPECT_EQ(g.totalClusters, 16383u);
    EXPECT_EQ(g.mftLcn, 16u);
    EXPECT_EQ(g.mftMirrorLcn, 8191u);
    EXPECT_EQ(g.indexBlockBytes, 4096u);
    EXPECT_EQ(g.mftStartLba, 32u);
}

TEST_F(FixtureCard, EveryFileHasTheRunsSizeAndContentNtfs3gWrote) {
    struct Expect {
        std::string path;
        std::string text;  // content pattern; empty: not checked here
    };
    for (const Expect& e :
         {Expect{"/readme.txt", "readme of the card"}, Expect{"/DCIM/photo.jpg", "photo bytes"},
          Expect{"/big.bin", "big file line"}, Expect{"/linked.txt", "linked"},
          Expect{"/Ärger/naïve ☃.txt", "naive snowman"}}) {
        SCOPED_TRACE(e.path);
        const FixtureFile& f = Fact(e.path);
        AttributeData data;
        ASSERT_EQ(Volume().LoadAttribute(f.inode, kAttrData, u"", data), kOk);
        EXPECT_TRUE(data.complete);
        EXPECT_EQ(data.realSize, f.size);
        EXPECT_EQ(RunsText(data.runs), f.runs);
        EXPECT_EQ(ReadWhole(Volume(), data), Pattern(e.text, f.size));
    }
}

TEST_F(FixtureCard, FragmentedFileComesBackWholeThroughItsAttributeList) {
    // Its mapping pairs in the base record are far longer than 512 bytes, and the last runs
    // live in a second extent in another record, named by a non-resident attribute list.
    const FixtureFile& f = Fact("/big.bin");
    std::vector<uint8_t> record(Volume().RecordBytes());
    ASSERT_EQ(Volume().ReadRecord(f.inode, record), kOk);
    AttributeRef data;
    AttributeRef list;
    ASSERT_TRUE(FindAttribute(record, kAttrData, u"", data));
    ASSERT_TRUE(FindAttribute(record, kAttrAttributeList, u"", list));
    EXPECT_TRUE(list.nonResident);
    EXPECT_GT(data.bytes.size(), 600u);

    AttributeData whole;
    ASSERT_EQ(Volume().LoadAttribute(f.inode, kAttrData, u"", whole), kOk);
    EXPECT_TRUE(whole.viaAttributeList);
    EXPECT_GT(whole.runs.size(), 150u);
    std::vector<DataRun> firstExtentOnly;
    EXPECT_EQ(DecodeRunList(data.bytes, Volume().Geometry().totalClusters, firstExtentOnly), kOk);
    EXPECT_LT(firstExtentOnly.size(), whole.runs.size());
    // The running sum of deltas lands on every run's own cluster across the extent boundary.
    int64_t lcn = 0;
    for (const DataRun& r : whole.runs) {
        lcn += r.lcnDelta;
        if (!r.sparse) {
            EXPECT_EQ(uint64_t(lcn), r.lcn);
        }
    }
}

TEST_F(FixtureCard, SparseRunsReadAsZeros) {
    const FixtureFile& f = Fact("/sparse.bin");
    AttributeData data;
    ASSERT_EQ(Volume().LoadAttribute(f.inode, kAttrData, u"", data), kOk);
    EXPECT_EQ(RunsText(data.runs), f.runs);
    ASSERT_TRUE(data.runs.front().sparse);
    std::vector<uint8_t> expected(f.size, 0);
    const std::string tail = "sparse";
    std::copy(tail.begin(), tail.end(), expected.end() - 6);
    EXPECT_EQ(ReadWhole(Volume(), data), expected);
}

TEST_F(FixtureCard, DeletedRecordsStillNameTheirFileParentAndClusters) {
    for (const char* name : {"gone.txt", "old photo.jpg"}) {
        SCOPED_TRACE(name);
        const FixtureFile& f = Fact(name);
        std::vector<uint8_t> record(Volume().RecordBytes());
        ASSERT_EQ(Volume().ReadRecord(f.inode, record), kOk);
        MftRecordHeader h;
        ASSERT_TRUE(DecodeRecordHeader(record, h));
        EXPECT_FALSE(h.InUse());
        EXPECT_FALSE(h.IsDirectory());
        EXPECT_EQ(h.recordNumber, f.inode);
        FileNameInfo fileName;
        ASSERT_TRUE(PreferredName(record, fileName));
        EXPECT_EQ(fileName.name, f.path);
        EXPECT_EQ(fileName.parentRecord, f.parent);
        AttributeData data;
        ASSERT_EQ(Volume().LoadAttribute(f.inode, kAttrData, u"", data), kOk);
        EXPECT_EQ(data.realSize, f.size);
        EXPECT_EQ(RunsText(data.runs), f.runs);
    }
}

TEST_F(FixtureCard, HardLinkedFileKeepsEveryNameInItsExtensionRecords) {
    const FixtureFile& f = Fact("/linked.txt");
    std::vector<uint8_t> base(Volume().RecordBytes());
    ASSERT_EQ(Volume().ReadRecord(f.inode, base), kOk);
    AttributeData list;
    ASSERT_EQ(Volume().LoadAttribute(f.inode, kAttrAttributeList, u"", list), kOk);
    const std::vector<uint8_t> listBytes =
        list.resident ? list.residentValue : ReadWhole(Volume(), list);
    std::set<std::string> names;
    AttributeListEntry entry;
    std::vector<uint8_t> record(Volume().RecordBytes());
    AttributeListWalker walk(listBytes);
    while (walk.Next(entry)) {
        if (entry.type != kAttrFileName) continue;
        ASSERT_EQ(Volume().ReadRecord(entry.record, record), kOk);
        MftRecordHeader h;
        DecodeRecordHeader(record, h);
        if (entry.record != f.inode) {
            EXPECT_EQ(h.baseRecord, f.inode);
        }
        AttributeRef attr;
        for (AttributeWalker w(record); w.Next(attr);) {
            FileNameInfo name;
            if (attr.type == kAttrFileName && attr.instance == entry.instance &&
                DecodeFileName(ResidentValue(attr), name)) {
                EXPECT_EQ(name.parentRecord, kMftRecordRoot);
                names.insert(name.name);
            }
        }
    }
    EXPECT_FALSE(walk.Damaged());
    EXPECT_EQ(names.size(), 151u);
    EXPECT_TRUE(names.count("linked.txt"));
    EXPECT_TRUE(names.count("link_name_number_150.txt"));
}

TEST_F(FixtureCard, MftScanVisitsEveryRecordOnceWithTheBytesOfASingleRead) {
    MftScanner scan(Volume(), 100);  // small batches: many batch boundaries
    ASSERT_EQ(scan.Init(), kOk);
    uint64_t expectedNext = 0;
    std::vector<uint8_t> single(Volume().RecordBytes());
    size_t deleted = 0;
    while (true) {
        ASSERT_EQ(scan.Next(), kOk);
        if (scan.Count() == 0) break;
        ASSERT_EQ(scan.FirstRecord(), expectedNext);
        for (uint32_t i = 0; i < scan.Count(); ++i) {
            const uint64_t n = scan.FirstRecord() + i;
            ASSERT_EQ(Volume().RecordToLba(n), scan.RecordLba(i));
            std::span<uint8_t> record = scan.Record(i);
            const Result prepared = PrepareRecord(record);
            ASSERT_EQ(Volume().ReadRecord(n, single), prepared);
            if (prepared != kOk) continue;
            ASSERT_TRUE(std::equal(record.begin(), record.end(), single.begin()));
            MftRecordHeader h;
            DecodeRecordHeader(record, h);
            if (n > 23) {  // mkntfs leaves the reserved records 16..23 unnumbered
                EXPECT_EQ(h.recordNumber, n);
            }
            if (!h.InUse() && n > kLastSystemRecord) ++deleted;
        }
        expectedNext += scan.Count();
    }
    EXPECT_EQ(expectedNext, Volume().MftRecordCount());
    EXPECT_EQ(scan.RecordsDone(), scan.RecordsTotal());
    EXPECT_GT(deleted, 1000u);  // the freed fill files, and the two deleted files
}

TEST_F(FixtureCard, NamesDecodeToUtf8WithTheirFolders) {
    const auto records = ListMft(Volume());
    const FixtureFile& f = Fact("/Ärger/naïve ☃.txt");
    ASSERT_TRUE(records.count(f.inode));
    const FileNameInfo& name = records.at(f.inode).name;
    EXPECT_EQ(name.name, "naïve ☃.txt");
    ASSERT_TRUE(records.count(name.parentRecord));
    EXPECT_EQ(records.at(name.parentRecord).name.name, "Ärger");
    EXPECT_TRUE(records.at(name.parentRecord).header.IsDirectory());
    EXPECT_EQ(records.at(name.parentRecord).name.parentRecord, kMftRecordRoot);
}

TEST_F(FixtureCard, ClusterBitmapMarksLiveFilesAndMatchesNtfsBitmap) {
    std::vector<uint8_t> bitmap;
    ASSERT_EQ(Volume().ReadClusterBitmap(bitmap), kOk);
    EXPECT_EQ(bitmap.size(), (Volume().Geometry().totalClusters + 7) / 8);
    for (const char* path : {"/DCIM/photo.jpg", "/big.bin"}) {
        AttributeData data;
        ASSERT_EQ(Volume().LoadAttribute(Fact(path).inode, kAttrData, u"", data), kOk);
        for (const DataRun& r : data.runs) {
            for (uint64_t c = r.lcn; c < r.lcn + r.length; ++c) {
                ASSERT_TRUE(bitmap[c / 8] & (1u << (c % 8))) << path << " cluster " << c;
            }
        }
    }
    if (!HaveTool("ntfscat")) GTEST_SKIP() << "ntfscat not installed: bitmap not compared";
    std::string raw;
    ASSERT_EQ(RunShell("ntfscat '" + image_ + "' '$Bitmap' | od -An -v -tx1", &raw), 0);
    std::string ours;
    char hex[4];
    for (size_t i = 0; i < bitmap.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%02x", bitmap[i]);
        ours += hex;
    }
    raw.erase(std::remove_if(raw.begin(), raw.end(), ::isspace), raw.end());
    EXPECT_EQ(raw.substr(0, ours.size()), ours);
}

}  // namespace
}  // namespace norvale::testing
