// Boot sector, fixups, attribute walk and run lists on hand-made bytes: the cases real tools
// do not produce on demand (damage, boundaries, the odd encodings).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ntfs/attribute_values.h"
#include "ntfs/boot_sector.h"
#include "ntfs/mft_record.h"
#include "ntfs/run_list.h"

namespace norvale {
namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

std::vector<uint8_t> BootSector(uint16_t bytesPerSector = 512, uint8_t sectorsPerCluster = 8) {
    std::vector<uint8_t> s(512, 0);
    std::memcpy(&s[3], "NTFS    ", 8);
    Put16(s, 0x0B, bytesPerSector);
    s[0x0D] = sectorsPerCluster;
    Put64(s, 0x28, 131071);
    Put64(s, 0x30, 4);
    Put64(s, 0x38, 8000);
    s[0x40] = 0xF6;  // 1024-byte records
    s[0x44] = 1;     // one-cluster index blocks
    s[0x1FE] = 0x55;
    s[0x1FF] = 0xAA;
    return s;
}

TEST(NtfsBootSector, AcceptsOnlyWhatTheFormatAllows) {
    EXPECT_TRUE(IsNtfsBootSector(BootSector()));
    EXPECT_TRUE(IsNtfsBootSector(BootSector(512, 128)));
    EXPECT_TRUE(IsNtfsBootSector(BootSector(0, 8)));       // 0 bytes per sector reads as 512
    EXPECT_TRUE(IsNtfsBootSector(BootSector(512, 0xF4)));  // 2 MiB clusters: -12
    EXPECT_FALSE(IsNtfsBootSector(BootSector(512, 3)));
    EXPECT_FALSE(IsNtfsBootSector(BootSector(512, 0)));
    EXPECT_FALSE(IsNtfsBootSector(BootSector(512, 0xF3)));  // 4 MiB: beyond any writer
    EXPECT_FALSE(IsNtfsBootSector(BootSector(520, 8)));
    auto noTotal = BootSector();
    Put64(noTotal, 0x28, 0);
    EXPECT_FALSE(IsNtfsBootSector(noTotal));
    for (size_t fatField : {0x0E, 0x10, 0x11, 0x13, 0x14, 0x16, 0x20, 0x23}) {
        auto s = BootSector();
        s[fatField] = 1;
        EXPECT_FALSE(IsNtfsBootSector(s)) << "field " << fatField;
    }
    auto noSignature = BootSector();
    noSignature[0x1FF] = 0;
    EXPECT_FALSE(IsNtfsBootSector(noSignature));
    const auto whole = BootSector();
    EXPECT_FALSE(IsNtfsBootSector(std::span(whole).first(511)));
}

TEST(NtfsBootSector, GeometryCountsInTheVolumesOwnSectors) {
    NtfsGeometry g;
    // A partition at device LBA 2048 of a 512-byte medium, a volume of 4096-byte sectors.
    auto s = BootSector(4096, 1);
    s[0x40] = 0x01;  // one cluster per record
    ASSERT_EQ(LoadNtfsGeometry(s, 2048, 1 << 20, 512, g), kOk);
    EXPECT_EQ(g.partitionStartLba, 256u);
    EXPECT_EQ(g.partitionSectors, uint64_t{1 << 17});
    EXPECT_EQ(g.recordBytes, 4096u);
    EXPECT_EQ(g.sectorsPerRecord, 1u);
    EXPECT_EQ(g.mftStartLba, 256u + 4);
    // A start that is not a whole number of the volume's sectors cannot be this volume.
    EXPECT_EQ(LoadNtfsGeometry(s, 2049, 1 << 20, 512, g), kErrInvalidParameter);
}

TEST(NtfsBootSector, RecordSizeFallsBackWhenTheByteIsUnusable) {
    NtfsGeometry g;
    auto s = BootSector(512, 8);
    s[0x40] = 0;  // no size stated
    ASSERT_EQ(LoadNtfsGeometry(s, 0, 0, 512, g), kOk);
    EXPECT_EQ(g.recordBytes, 1024u);
    s = BootSector(4096, 1);
    s[0x40] = 0xF6;  // 1024 bytes: smaller than a sector
    ASSERT_EQ(LoadNtfsGeometry(s, 0, 0, 4096, g), kOk);
    EXPECT_EQ(g.recordBytes, 4096u);
    s = BootSector(512, 0x80);  // 64 KiB clusters, record byte -10
    ASSERT_EQ(LoadNtfsGeometry(s, 0, 0, 512, g), kOk);
    EXPECT_EQ(g.clusterBytes, 65536u);
    EXPECT_EQ(g.sectorsPerCluster, 128u);  // not the signed byte's -128
    EXPECT_EQ(g.recordBytes, 1024u);
}

TEST(NtfsBootSector, MftBeyondTheVolumeIsRefused) {
    NtfsGeometry g;
    auto s = BootSector();
    Put64(s, 0x30, 131071 / 8);
    EXPECT_EQ(LoadNtfsGeometry(s, 0, 0, 512, g), kErrInvalidParameter);
}

// A record of `size` bytes with an update sequence array at 0x30 and a USN of 0x0102, every
// block's tail holding the USN and the array holding what belongs there.
std::vector<uint8_t> ProtectedRecord(size_t size) {
    std::vector<uint8_t> r(size, 0);
    Put32(r, 0, kFileRecordSignature);
    const uint16_t count = uint16_t(size / 512 + 1);
    Put16(r, 0x04, 0x30);
    Put16(r, 0x06, count);
    Put16(r, 0x14, uint16_t((0x30 + 2 * count + 7) & ~7));
    Put32(r, 0x18, uint32_t(size));
    Put32(r, 0x1C, uint32_t(size));
    Put16(r, 0x30, 0x0102);
    for (size_t i = 1; i < count; ++i) {
        Put16(r, 0x30 + 2 * i, uint16_t(0xA000 + i));  // the true tail of block i
        Put16(r, i * 512 - 2, 0x0102);
    }
    return r;
}

TEST(NtfsFixups, EveryBlockOfA4KRecordIsRestored) {
    for (size_t size : {1024u, 4096u}) {
        auto r = ProtectedRecord(size);
        ASSERT_EQ(ApplyFixups(r), FixupStatus::kOk);
        for (size_t i = 1; i <= size / 512; ++i) {
            EXPECT_EQ(r[i * 512 - 2] | (r[i * 512 - 1] << 8), 0xA000 + int(i)) << size << "/" << i;
        }
    }
}

TEST(NtfsFixups, TornOrMisdescribedRecordIsRefusedUntouched) {
    auto torn = ProtectedRecord(4096);
    Put16(torn, 3 * 512 - 2, 0x0103);  // block 3 written by a later update
    const auto before = torn;
    EXPECT_EQ(ApplyFixups(torn), FixupStatus::kMismatch);
    EXPECT_EQ(torn, before);
    EXPECT_EQ(PrepareRecord(torn), kErrEngineGeneric);

    auto wrongCount = ProtectedRecord(1024);
    Put16(wrongCount, 0x06, 9);  // an array for 4 KiB in a 1 KiB record
    EXPECT_EQ(ApplyFixups(wrongCount), FixupStatus::kBadLayout);
    auto arrayPastBlock = ProtectedRecord(1024);
    Put16(arrayPastBlock, 0x04, 508);
    EXPECT_EQ(ApplyFixups(arrayPastBlock), FixupStatus::kBadLayout);
    auto odd = ProtectedRecord(1024);
    EXPECT_EQ(ApplyFixups(std::span(odd).first(1000)), FixupStatus::kBadLayout);
    auto noFile = ProtectedRecord(1024);
    noFile[0] = 'B';
    EXPECT_EQ(PrepareRecord(noFile), kErrEngineGeneric);
}

// A 1 KiB record (fixups already applied) with the given attributes laid one after the other,
// then the end marker; bytes in use cover exactly that.
std::vector<uint8_t> RecordWith(const std::vector<std::vector<uint8_t>>& attributes) {
    auto r = ProtectedRecord(1024);
    size_t at = r[0x14];
    for (const auto& a : attributes) {
        std::copy(a.begin(), a.end(), r.begin() + long(at));
        at += a.size();
    }
    Put32(r, at, kAttrEnd);
    Put32(r, 0x18, uint32_t(at + 8));
    return r;
}

std::vector<uint8_t> Resident(uint32_t type, const std::vector<uint8_t>& value,
                              const std::u16string& name = u"") {
    const size_t nameAt = 0x18;
    const size_t valueAt = (nameAt + 2 * name.size() + 7) & ~size_t{7};
    std::vector<uint8_t> a((valueAt + value.size() + 7) & ~size_t{7}, 0);
    Put32(a, 0, type);
    Put32(a, 4, uint32_t(a.size()));
    a[9] = uint8_t(name.size());
    Put16(a, 0x0A, uint16_t(nameAt));
    for (size_t i = 0; i < name.size(); ++i) Put16(a, nameAt + 2 * i, name[i]);
    Put32(a, 0x10, uint32_t(value.size()));
    Put16(a, 0x14, uint16_t(valueAt));
    std::copy(value.begin(), value.end(), a.begin() + long(valueAt));
    return a;
}

std::vector<uint8_t> NonResident(uint32_t type, const std::vector<uint8_t>& pairs) {
    std::vector<uint8_t> a((0x40 + pairs.size() + 7) & ~size_t{7}, 0);
    Put32(a, 0, type);
    Put32(a, 4, uint32_t(a.size()));
    a[8] = 1;
    Put16(a, 0x20, 0x40);
    std::copy(pairs.begin(), pairs.end(), a.begin() + 0x40);
    return a;
}

TEST(NtfsAttributeWalk, FindsNamedAndUnnamedAttributesAndEndsAtTheMarker) {
    auto r = RecordWith({Resident(kAttrStandardInformation, std::vector<uint8_t>(0x48, 1)),
                         Resident(kAttrData, {9, 9}, u"Zone.Identifier"),
                         Resident(kAttrData, {1, 2, 3})});
    AttributeRef a;
    ASSERT_TRUE(FindAttribute(r, kAttrData, u"", a));
    const auto value = ResidentValue(a);
    EXPECT_EQ(std::vector<uint8_t>(value.begin(), value.end()), (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_TRUE(FindAttribute(r, kAttrData, u"Zone.Identifier", a));
    EXPECT_EQ(AttributeNameUtf8(a), "Zone.Identifier");
    EXPECT_FALSE(FindAttribute(r, kAttrFileName, u"", a));
    AttributeWalker walk(r);
    int n = 0;
    while (walk.Next(a)) ++n;
    EXPECT_EQ(n, 3);
    EXPECT_EQ(walk.End(), WalkEnd::kEndMarker);
}

TEST(NtfsAttributeWalk, DamagedLengthsEndTheWalkInsideTheRecord) {
    const auto good = RecordWith({Resident(kAttrData, {1, 2, 3}), Resident(kAttrFileName, {})});
    const size_t first = good[0x14];
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        bool wide;
    };
    for (const Damage& d :
         {Damage{"length 0", first + 4, 0, true},
          Damage{"length past bytes in use", first + 4, 0x3F0, true},
          Damage{"length below a header", first + 4, 8, true}, Damage{"type 0", first, 0, true},
          Damage{"uninitialised type", first, 0xFDFDFDFD, true},
          Damage{"form byte", first + 8, 7, false},
          Damage{"first attribute inside the header", 0x14, 0x10, false},
          Damage{"first attribute past the end", 0x14, 0xFFFF, false}}) {
        auto r = good;
        if (d.wide) {
            Put32(r, d.at, d.value);
        } else if (d.at == 0x14) {
            Put16(r, d.at, uint16_t(d.value));
        } else {
            r[d.at] = uint8_t(d.value);
        }
        AttributeWalker walk(r);
        AttributeRef a;
        while (walk.Next(a)) {
            ASSERT_GE(a.bytes.data(), r.data()) << d.what;
            ASSERT_LE(a.bytes.data() + a.bytes.size(), r.data() + r.size()) << d.what;
        }
        EXPECT_EQ(walk.End(), WalkEnd::kDamaged) << d.what;
    }
    // Bytes in use larger than the record: the buffer bounds the walk.
    auto r = good;
    Put32(r, 0x18, 0xFFFFFFFF);
    AttributeWalker walk(r);
    AttributeRef a;
    while (walk.Next(a)) {
    }
    EXPECT_NE(walk.End(), WalkEnd::kNotEnded);
}

TEST(NtfsAttributeWalk, ResidentValueAndNameOutsideTheAttributeAreRefused) {
    auto attr = Resident(kAttrData, {1, 2, 3}, u"ab");
    Put32(attr, 0x10, 0x1000);
    auto r = RecordWith({attr});
    AttributeRef a;
    ASSERT_TRUE(FindAttribute(r, kAttrData, u"ab", a));
    bool ok = true;
    EXPECT_TRUE(ResidentValue(a, &ok).empty());
    EXPECT_FALSE(ok);
    a.nameOffset = 0xFFF0;
    EXPECT_TRUE(AttributeName(a).empty());
}

TEST(NtfsFileName, DecodesNameTimesAndParentAndRefusesShortValues) {
    std::vector<uint8_t> v(0x42 + 2 * 3, 0);
    Put64(v, 0, (uint64_t{7} << 48) | 0x123456789ABull);
    Put64(v, 0x08, 111);
    Put64(v, 0x10, 222);
    Put64(v, 0x20, 444);
    Put64(v, 0x30, 70000);
    v[0x40] = 3;
    v[0x41] = kNameSpaceWin32;
    const char16_t name[] = {u'a', 0xD83D, 0xDCF7};  // "a📷"
    for (int i = 0; i < 3; ++i) Put16(v, 0x42 + 2 * i, name[i]);
    FileNameInfo f;
    ASSERT_TRUE(DecodeFileName(v, f));
    EXPECT_EQ(f.parentRecord, 0x123456789ABull);
    EXPECT_EQ(f.parentSequence, 7);
    EXPECT_EQ(f.createdTime, 111u);
    EXPECT_EQ(f.modifiedTime, 222u);
    EXPECT_EQ(f.accessedTime, 444u);
    EXPECT_EQ(f.realSize, 70000u);
    EXPECT_EQ(f.name, "a\xF0\x9F\x93\xB7");
    v[0x40] = 4;  // a name longer than the value
    EXPECT_FALSE(DecodeFileName(v, f));
    EXPECT_FALSE(DecodeFileName(std::span(v).first(0x41), f));
}

TEST(NtfsAttributeList, WalkStopsAtEntriesThatDoNotFit) {
    std::vector<uint8_t> list(3 * 0x20, 0);
    for (int i = 0; i < 3; ++i) {
        Put32(list, i * 0x20, kAttrData);
        Put16(list, i * 0x20 + 4, 0x20);
        Put64(list, i * 0x20 + 0x10, 40 + i);
    }
    Put16(list, 2 * 0x20 + 4, 0x28);  // the last entry claims bytes past the list
    AttributeListWalker walk(list);
    AttributeListEntry e;
    int n = 0;
    while (walk.Next(e)) ++n;
    EXPECT_EQ(n, 2);
    EXPECT_TRUE(walk.Damaged());
    Put16(list, 4, 0);  // a zero-length entry would never advance
    AttributeListWalker again(list);
    EXPECT_FALSE(again.Next(e));
    EXPECT_TRUE(again.Damaged());
}

std::vector<DataRun> Decode(const std::vector<uint8_t>& pairs, uint64_t clusters = 0,
                            Result* result = nullptr) {
    std::vector<DataRun> runs;
    const Result r = DecodeMappingPairs(pairs, clusters, runs);
    if (result) *result = r;
    return runs;
}

TEST(NtfsRunList, SignedDeltasSparseRunsAndWideFields) {
    Result r;
    auto runs =
        Decode({0x21, 0x10, 0x00, 0x01, 0x31, 0x08, 0x00, 0xFF, 0xFF, 0x01, 0x05, 0x00}, 0, &r);
    EXPECT_EQ(r, kOk);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], (DataRun{16, 256, 256, false}));
    EXPECT_EQ(runs[1], (DataRun{8, -256, 0, false}));
    // No offset field: a hole, not a copy of the previous run's clusters.
    EXPECT_EQ(runs[2], (DataRun{5, 0, 0, true}));

    // Eight-byte fields are legal: a length of 2 and a delta of 2^40.
    runs = Decode({0x81, 0x02, 0, 0, 0, 0, 0, 0x01, 0, 0, 0x00}, 0, &r);
    EXPECT_EQ(r, kOk);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].lcn, uint64_t{1} << 40);
}

TEST(NtfsRunList, DamageKeepsTheRunsBeforeIt) {
    struct Case {
        const char* what;
        std::vector<uint8_t> pairs;
        size_t kept;
    };
    const uint64_t volume = 1000;
    for (const Case& c :
         {Case{"run past the volume", {0x11, 0x04, 0x10, 0x21, 0x10, 0xE0, 0x03, 0x00}, 1},
          Case{"run ending past the volume", {0x21, 0x20, 0xD0, 0x03, 0x00}, 0},
          Case{"negative cluster", {0x11, 0x04, 0x10, 0x11, 0x04, 0xE0, 0x00}, 1},
          Case{"absurd length", {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}, 0},
          Case{"zero length", {0x11, 0x04, 0x10, 0x11, 0x00, 0x10, 0x00}, 1},
          Case{"nine-byte field", {0x11, 0x04, 0x10, 0x91, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 1},
          Case{"fields past the end", {0x11, 0x04, 0x10, 0x44, 0x01}, 1},
          Case{"no end byte", {0x11, 0x04, 0x10}, 1}}) {
        Result r = kOk;
        const auto runs = Decode(c.pairs, volume, &r);
        EXPECT_EQ(r, kErrInvalidParameter) << c.what;
        EXPECT_EQ(runs.size(), c.kept) << c.what;
    }
}

TEST(NtfsRunList, LongListIsBoundedByTheAttributeNotBy512Bytes) {
    std::vector<uint8_t> pairs;
    for (int i = 0; i < 300; ++i) {  // 300 runs of 2 clusters, 4 clusters apart: 1200 bytes
        pairs.insert(pairs.end(), {0x21, 0x02, 0x04, 0x00});
    }
    pairs.push_back(0);
    const auto attr = NonResident(kAttrData, pairs);
    std::vector<DataRun> runs;
    ASSERT_EQ(DecodeRunList(attr, 0, runs), kOk);
    ASSERT_EQ(runs.size(), 300u);
    EXPECT_EQ(runs.back().lcn, 4u * 300);
    // The same list cut short by the attribute's length stops at the attribute's end.
    runs.clear();
    EXPECT_EQ(DecodeRunList(std::span(attr).first(0x40 + 400), 0, runs), kErrInvalidParameter);
    EXPECT_EQ(runs.size(), 100u);
}

TEST(NtfsRunList, AppendedExtentKeepsTheRunningSumRight) {
    std::vector<DataRun> runs = Decode({0x11, 0x04, 0x64, 0x01, 0x02, 0x00});  // 100, then hole
    // The next extent's pairs count from cluster 0 again: 50 clusters at 30.
    ASSERT_EQ(DecodeMappingPairs(std::vector<uint8_t>{0x11, 0x32, 0x1E, 0x00}, 0, runs), kOk);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[2].lcn, 30u);
    EXPECT_EQ(runs[2].lcnDelta, -70);
}

TEST(NtfsRunList, RecordsMapThroughTheMftRuns) {
    NtfsGeometry g;
    g.partitionStartLba = 1000;
    g.bytesPerSector = 512;
    g.sectorsPerCluster = 1;
    g.clusterBytes = 512;
    g.recordBytes = 1024;
    g.sectorsPerRecord = 2;
    // Four clusters (two records) at 10, a hole of 2, then 3 clusters at 50.
    const std::vector<DataRun> runs = {{4, 10, 10, false}, {2, 0, 0, true}, {3, 40, 50, false}};
    EXPECT_EQ(RecordToLba(g, runs, 1), 1000u + 12);
    EXPECT_EQ(RecordToLba(g, runs, 2), std::nullopt);  // in the hole
    // Record 3 begins exactly where the hole ends: in the next run, not past the first.
    EXPECT_EQ(RecordToLba(g, runs, 3), 1000u + 50);
    EXPECT_EQ(RecordToLba(g, runs, 5), std::nullopt);
    uint64_t lba = 0;
    EXPECT_EQ(ContiguousRecords(g, runs, 0, 100, lba), 2u);
    EXPECT_EQ(lba, 1010u);
    // Record 4 would need clusters 52 and a fourth cluster of a three-cluster run: split.
    EXPECT_EQ(ContiguousRecords(g, runs, 4, 100, lba), 0u);
    EXPECT_EQ(ContiguousRecords(g, runs, 3, 100, lba), 1u);
}

}  // namespace
}  // namespace norvale
