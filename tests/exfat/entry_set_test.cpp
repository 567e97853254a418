// Entry sets, timestamps and the directory-sector recogniser on hand-damaged real sets and on
// media data that must never pass for a directory.

#include "exfat/entry_set.h"

#include <gtest/gtest.h>

#include "device/bytes.h"
#include "exfat/exfat_test_media.h"

namespace norvale {
namespace {

using testing::TempDir;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Sets the checksum a driver would have written for the set as it now stands.
void Reseal(std::vector<uint8_t>& set) {
    Put16(set.data() + 2, EntrySetChecksum(set));
}

// A real set: "Vacaciones en España — día 1.jpg" (32 characters, three name entries), live.
std::vector<uint8_t> RealSet(size_t& secondaries) {
    TempDir dir;
    auto v = testing::OpenExfatImage(testing::UnpackCard(dir, "exfat_4k"));
    EXPECT_TRUE(v);
    const auto tree = testing::ListExfatTree(*v, true);
    const auto* t = testing::FindPath(tree, "/DCIM/100CARD/Vacaciones en España — día 1.jpg");
    EXPECT_NE(t, nullptr);
    std::vector<uint8_t> cluster(v->volume.Boot().ClusterBytes());
    EXPECT_EQ(v->volume.ReadCluster(t->setCluster, cluster), kOk);
    secondaries = t->entry.secondaryCount;
    std::vector<uint8_t> set(cluster.begin() + t->setOffset,
                             cluster.begin() + t->setOffset + (secondaries + 1) * 32);
    for (size_t e = 0; e < set.size(); e += 32) set[e] |= kExfatInUseBit;  // undelete it
    return set;
}

TEST(ExfatEntrySet, RealSetDecodesLiveAndDeleted) {
    size_t secondaries = 0;
    auto set = RealSet(secondaries);
    ASSERT_EQ(secondaries, 4u);
    set.resize(set.size() + 64, 0);  // what follows in the cluster
    ExfatFileEntry e;
    size_t used = 0;
    ASSERT_EQ(DecodeEntrySet(set, e, used), EntrySetStatus::kOk);
    EXPECT_EQ(used, 5u);
    EXPECT_EQ(e.name, "Vacaciones en España — día 1.jpg");
    EXPECT_FALSE(e.deleted);
    EXPECT_FALSE(e.isFolder);
    EXPECT_EQ(e.dataLength, 1890u);
    EXPECT_TRUE(e.noFatChain);
    // Deleted as drivers delete: bit 7 off, checksum untouched.
    for (size_t i = 0; i < 5 * 32; i += 32) set[i] &= ~kExfatInUseBit;
    ASSERT_EQ(DecodeEntrySet(set, e, used), EntrySetStatus::kOk);
    EXPECT_TRUE(e.deleted);
    EXPECT_EQ(e.name, "Vacaciones en España — día 1.jpg");
    // A driver that resealed the deleted set is believed too.
    Reseal(set);
    EXPECT_EQ(DecodeEntrySet(set, e, used), EntrySetStatus::kOk);
}

TEST(ExfatEntrySet, DamagedSetsAreRefusedWithTheirReason) {
    size_t secondaries = 0;
    const auto real = RealSet(secondaries);
    struct Case {
        const char* what;
        EntrySetStatus expected;
        void (*damage)(std::vector<uint8_t>&);
        bool reseal;
    };
    const Case cases[] = {
        {"a name byte changed", EntrySetStatus::kBadChecksum, [](auto& s) { s[100] ^= 1; }, false},
        {"not a file entry", EntrySetStatus::kNotAFileEntry, [](auto& s) { s[0] = 0xC0; }, true},
        {"secondary count 1", EntrySetStatus::kBadSecondaryCount, [](auto& s) { s[1] = 1; }, true},
        {"secondary count 19", EntrySetStatus::kBadSecondaryCount, [](auto& s) { s[1] = 19; },
         true},
        {"secondary count past the span", EntrySetStatus::kTruncated, [](auto& s) { s[1] = 5; },
         true},
        {"a primary among the secondaries", EntrySetStatus::kBadSecondaryCount,
         [](auto& s) { s[3 * 32] = kExfatTypeFile; }, true},
        {"end of directory inside the set", EntrySetStatus::kBadSecondaryCount,
         [](auto& s) { s[4 * 32] = 0; }, true},
        {"name longer than its entries", EntrySetStatus::kBadName, [](auto& s) { s[32 + 3] = 46; },
         true},
        {"empty name", EntrySetStatus::kBadName, [](auto& s) { s[32 + 3] = 0; }, true},
        {"NUL inside the name", EntrySetStatus::kBadName, [](auto& s) { Put16(&s[66], 0); }, true},
        {"no stream entry", EntrySetStatus::kBadName, [](auto& s) { s[32] = kExfatTypeName; },
         true},
        {"one name entry deleted", EntrySetStatus::kMixedState,
         [](auto& s) { s[3 * 32] = kExfatTypeDeletedName; }, true},
        {"primary deleted, secondaries live", EntrySetStatus::kMixedState,
         [](auto& s) { s[0] = kExfatTypeDeletedFile; }, true},
    };
    for (const Case& c : cases) {
        auto set = real;
        c.damage(set);
        if (c.reseal) Reseal(set);
        ExfatFileEntry e;
        size_t used = 9;
        EXPECT_EQ(DecodeEntrySet(set, e, used), c.expected) << c.what;
        EXPECT_EQ(used, 1u) << c.what;
    }
    // Shorter than one entry.
    ExfatFileEntry e;
    size_t used = 0;
    EXPECT_EQ(DecodeEntrySet(std::span(real).first(20), e, used), EntrySetStatus::kTruncated);
}

TEST(ExfatEntrySet, NamesComeBackWholeAndUnpairedSurrogatesAreReplaced) {
    size_t secondaries = 0;
    auto set = RealSet(secondaries);
    // 17 name entries of 15 characters: the longest name, 255 characters.
    std::vector<uint8_t> longest(19 * 32, 0);
    std::copy(set.begin(), set.begin() + 64, longest.begin());
    longest[1] = 18;
    longest[32 + 3] = 255;
    for (size_t n = 0; n < 17; ++n) {
        uint8_t* e = &longest[(2 + n) * 32];
        e[0] = kExfatTypeName;
        for (size_t c = 0; c < 15; ++c) Put16(e + 2 + 2 * c, static_cast<uint16_t>('a' + n));
    }
    Reseal(longest);
    ExfatFileEntry e;
    size_t used = 0;
    ASSERT_EQ(DecodeEntrySet(longest, e, used), EntrySetStatus::kOk);
    EXPECT_EQ(e.name.size(), 255u);
    EXPECT_EQ(e.name.substr(240), std::string(15, 'q'));
    // A lone high surrogate, and a pair making U+1F600.
    Put16(&set[66], 0xD800);
    Put16(&set[68], 0xD83D);
    Put16(&set[70], 0xDE00);
    Reseal(set);
    ASSERT_EQ(DecodeEntrySet(set, e, used), EntrySetStatus::kOk);
    EXPECT_EQ(e.name.substr(0, 7), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

// A damaged set claiming 18 secondaries must not swallow the sound set behind it, and a set
// past an end-of-directory mark is still found.
TEST(ExfatEntrySet, DirectoryBlockFindsEverySoundSetPastDamage) {
    size_t secondaries = 0;
    const auto set = RealSet(secondaries);
    std::vector<uint8_t> block(4096, 0);
    std::copy(set.begin(), set.end(), block.begin());
    block[1] = 18;  // checksum now wrong, count too large
    std::copy(set.begin(), set.end(), block.begin() + 5 * 32);
    std::copy(set.begin(), set.end(), block.begin() + 40 * 32);  // after zeroed entries
    std::copy(set.begin(), set.begin() + 64, block.end() - 64);  // cut off by the end
    const auto sets = DecodeDirectoryBlock(block);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].offset, 5u * 32);
    EXPECT_EQ(sets[1].offset, 40u * 32);
    EXPECT_EQ(sets[1].entries, 5u);
    EXPECT_EQ(sets[1].entry.name, "Vacaciones en España — día 1.jpg");
}

TEST(ExfatTimestamps, IncrementsAndOffsetsGiveUtc) {
    // 2021-06-15 13:45:38 local, +1.57 s, two hours east of UTC: 11:45:39.57 UTC.
    EXPECT_EQ(ExfatTimeToFileTime(0x52CF6DB3, 157, 0x80 | 8), 132682311395700000u);
    // Five hours west (-20 quarters, 7-bit two's complement): 18:45:38 UTC.
    EXPECT_EQ(ExfatTimeToFileTime(0x52CF6DB3, 0, 0x80 | 0x6C), 132682563380000000u);
    // An offset without its valid bit is ignored; an increment past 1.99 s too.
    EXPECT_EQ(ExfatTimeToFileTime(0x52CF6DB3, 200, 8), ExfatTimeToFileTime(0x52CF6DB3, 0, 0));
    EXPECT_EQ(ExfatTimeToFileTime(0x585D0000, 0, 0), 133536384000000000u);  // 2024-02-29
    EXPECT_EQ(ExfatTimeToFileTime(0x565D0000, 0, 0), 0u);                   // 2023-02-29
    EXPECT_EQ(ExfatTimeToFileTime(0, 0, 0), 0u);                            // month 0
    EXPECT_EQ(ExfatTimeToFileTime(0x52CF6DB3 | 0x1F, 0, 0), 0u);            // second 62
}

TEST(ExfatDirectorySector, SetAmongUnusedEntriesIsADirectoryAndStrayBytesAreNot) {
    size_t secondaries = 0;
    const auto set = RealSet(secondaries);
    std::vector<uint8_t> sector(512, 0);
    std::copy(set.begin(), set.end(), sector.begin() + 64);
    EXPECT_TRUE(IsExfatDirectorySector(sector));
    auto deleted = sector;
    for (size_t e = 64; e < 64 + set.size(); e += 32) deleted[e] &= ~kExfatInUseBit;
    EXPECT_TRUE(IsExfatDirectorySector(deleted));
    auto stray = sector;
    stray[480] = 0x47;  // an entry type exFAT does not know
    EXPECT_FALSE(IsExfatDirectorySector(stray));
    stray = sector;
    stray[33] = 1;  // an end-of-directory entry with bytes in it
    EXPECT_FALSE(IsExfatDirectorySector(stray));
    stray = sector;
    stray[64 + 100] ^= 1;  // the only set's checksum fails
    EXPECT_FALSE(IsExfatDirectorySector(stray));
    EXPECT_FALSE(IsExfatDirectorySector(std::span(sector).first(256)));
    EXPECT_FALSE(IsExfatDirectorySector(std::vector<uint8_t>(512, 0)));
}

// Media data must never end a carved file: no 512-byte block of random bytes, photos or a ZIP
// archive, at any 32-byte offset, passes.
TEST(ExfatDirectorySector, MediaDataNeverPasses) {
    NORVALE_REQUIRE_TOOLS("convert", "zip");
    TempDir dir;
    ASSERT_EQ(
        testing::Run("head -c 3000000 /dev/urandom > " + testing::ShellQuote(dir / "data") +
                     " && cd " + testing::ShellQuote(dir.Path()) +
                     " && for s in 1 2 3 4 5 6; do convert -seed $s -size 640x480 plasma: "
                     "p$s.jpg || exit 1; cat p$s.jpg >> data; done && zip -qr a.zip " +
                     testing::ShellQuote(testing::SourceDir() + "/src") + " && cat a.zip >> data"),
        0);
    const auto data = testing::ReadFileBytes(dir / "data");
    ASSERT_GT(data.size(), 4000000u);
    size_t passed = 0;
    for (size_t at = 0; at + 512 <= data.size(); at += 32) {
        passed += IsExfatDirectorySector(std::span(data).subspan(at, 512));
    }
    EXPECT_EQ(passed, 0u);
}

}  // namespace
}  // namespace norvale
