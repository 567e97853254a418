// The NTFS images of the public corpus (made by the Linux ntfs3 driver, not by us or by
// ntfs-3g): they load, list and read without error. Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "ntfs/mft_record.h"
#include "ntfs/ntfs_test_media.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

TEST(NtfsCorpus, Ntfs3VolumeListsItsTestFolder) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    const std::string image = CorpusImage("ntfs3.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    auto v = OpenNtfsImage(image);
    ASSERT_TRUE(v);
    ASSERT_EQ(v->openResult, kOk);
    ASSERT_EQ(v->mftResult, kOk);
    EXPECT_EQ(v->volume->Geometry().clusterBytes, 4096u);
    const auto records = ListMft(*v->volume);
    uint64_t folder = 0;
    for (const auto& [n, r] : records) {
        if (r.name.name == "test" && r.name.parentRecord == kMftRecordRoot) folder = n;
    }
    ASSERT_NE(folder, 0u);
    EXPECT_TRUE(records.at(folder).header.IsDirectory());
    std::set<std::string> children;
    for (const auto& [n, r] : records) {
        if (r.name.parentRecord != folder || n == folder) continue;
        children.insert(r.name.name);
        AttributeData data;
        ASSERT_EQ(v->volume->LoadAttribute(n, kAttrData, u"", data), kOk) << r.name.name;
        EXPECT_TRUE(data.complete);
        const std::vector<uint8_t> bytes = ReadWhole(*v->volume, data);
        EXPECT_EQ(bytes.size(), data.realSize);
        if (HaveTool("icat")) {
            RunShell("icat '" + image + "' " + std::to_string(n) + " > '" + (dir / "icat") + "'");
            EXPECT_EQ(bytes, ReadFileBytes(dir / "icat")) << r.name.name;
        }
    }
    EXPECT_EQ(children, (std::set<std::string>{"1.txt", "2.txt", "3.txt"}));
    // The unused reserved records 16..23 are file records, but not deleted user files.
    for (uint64_t n = 16; n <= 23; ++n) EXPECT_FALSE(records.count(n)) << n;
}

TEST(NtfsCorpus, AttributeListVolumeGivesEveryHardLinkName) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    const std::string image = CorpusImage("ntfs3_attrlist.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    auto v = OpenNtfsImage(image);
    ASSERT_TRUE(v);
    ASSERT_EQ(v->mftResult, kOk);
    std::vector<uint8_t> record(v->volume->RecordBytes());
    std::vector<uint8_t> holder(v->volume->RecordBytes());
    size_t filesWithLists = 0;
    for (uint64_t n = 0; n < v->volume->MftRecordCount(); ++n) {
        if (v->volume->ReadRecord(n, record) != kOk) continue;
        MftRecordHeader h;
        DecodeRecordHeader(record, h);
        AttributeRef listAttr;
        if (!h.InUse() || h.baseRecord != 0 ||
            !FindAttribute(record, kAttrAttributeList, u"", listAttr)) {
            continue;
        }
        ++filesWithLists;
        AttributeData list;
        ASSERT_EQ(v->volume->LoadAttribute(n, kAttrAttributeList, u"", list), kOk);
        const auto listBytes = list.resident ? list.residentValue : ReadWhole(*v->volume, list);
        std::set<std::string> names;
        AttributeListWalker walk(listBytes);
        AttributeListEntry e;
        while (walk.Next(e)) {
            if (e.type != kAttrFileName) continue;
            ASSERT_EQ(v->volume->ReadRecord(e.record, holder), kOk);
            AttributeRef attr;
            for (AttributeWalker w(holder); w.Next(attr);) {
                FileNameInfo name;
                if (attr.type == kAttrFileName && attr.instance == e.instance &&
                    DecodeFileName(ResidentValue(attr), name)) {
                    names.insert(name.name);
                }
            }
        }
        EXPECT_FALSE(walk.Damaged());
        EXPECT_EQ(names.size(), 100u);
        EXPECT_TRUE(names.count("17.txt"));
        AttributeData data;
        ASSERT_EQ(v->volume->LoadAttribute(n, kAttrData, u"", data), kOk);
        EXPECT_TRUE(data.complete);
    }
    EXPECT_EQ(filesWithLists, 1u);
}

TEST(NtfsCorpus, DeletedMftExtractDecodesItsDeletedRecords) {
    NORVALE_REQUIRE_CORPUS();
    const std::vector<uint8_t> mft = ReadFileBytes(CorpusDir() + "/deleted.mft");
    ASSERT_EQ(mft.size(), 262144u);
    size_t deletedFiles = 0;
    size_t readable = 0;
    size_t signed_ = 0;
    for (size_t at = 0; at + 1024 <= mft.size(); at += 1024) {
        std::vector<uint8_t> record(mft.begin() + long(at), mft.begin() + long(at + 1024));
        signed_ += std::equal(record.begin(), record.begin() + 4, "FILE");
        if (PrepareRecord(record) != kOk) continue;
        ++readable;
        MftRecordHeader h;
        DecodeRecordHeader(record, h);
        FileNameInfo name;
        if (h.InUse() || !PreferredName(record, name)) continue;
        ++deletedFiles;
        EXPECT_FALSE(name.name.empty());
        AttributeRef data;
        if (FindAttribute(record, kAttrData, u"", data) && data.nonResident) {
            std::vector<DataRun> runs;
            EXPECT_EQ(DecodeRunList(data.bytes, 0, runs), kOk) << name.name;
        }
    }
    // Every record that carries the signature passes its fixups; the rest of the extract is
    // zeros.
    EXPECT_EQ(readable, signed_);
    EXPECT_GT(readable, 30u);
    EXPECT_GT(deletedFiles, 0u);
}

}  // namespace
}  // namespace norvale::testing
