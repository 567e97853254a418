// Directory entries: names written by mtools, names and times written by other people's
// tools, deleted folders, the plausibility tests, and damaged or random entries.

#include "fat/directory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <set>
#include <string_view>
#include <tuple>

#include "fat/fat_test_media.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::HaveFatTools;
using testing::ListDirectory;
using testing::MakeFatImage;
using testing::Mtools;
using testing::ReadDirectory;
using testing::TempDir;

using Entry = std::array<uint8_t, 32>;

// A live archive entry of 2021-06-15 13:45:38 (created, accessed and written), cluster 5,
// 100 bytes.
Entry MakeEntry(const char (&name11)[12], uint8_t attr = kAttrArchive) {
    Entry e{};
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    const uint16_t date = static_cast<uint16_t>(((2021 - 1980) << 9) | (6 << 5) | 15);
    const uint16_t time = static_cast<uint16_t>((13 << 11) | (45 << 5) | (38 / 2));
    auto put16 = [&](size_t off, uint16_t v) {
        e[off] = static_cast<uint8_t>(v);
        e[off + 1] = static_cast<uint8_t>(v >> 8);
    };
    put16(14, time);
    put16(16, date);
    put16(18, date);
    put16(22, time);
    put16(24, date);
    if (!(attr & (kAttrDirectory | kAttrVolumeLabel))) {
        put16(26, 5);
        e[28] = 100;
    }
    return e;
}

// A long-name piece holding `text` (at most 13 units), zero padded.
Entry LongNamePiece(uint8_t sequence, std::u16string_view text, uint8_t checksum = 0) {
    static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    Entry e{};
    e[0] = sequence;
    e[11] = kAttrLongName;
    e[13] = checksum;
    for (size_t k = 0; k < 13; ++k) {
        const char16_t unit = k < text.size() ? text[k] : u'\0';
        e[kOffsets[k]] = static_cast<uint8_t>(unit);
        e[kOffsets[k] + 1] = static_cast<uint8_t>(unit >> 8);
    }
    return e;
}

void SetDate(Entry& e, size_t offset, int year, int month, int day) {
    const auto date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    e[offset] = static_cast<uint8_t>(date);
    e[offset + 1] = static_cast<uint8_t>(date >> 8);
}

bool Plausible(const Entry& e) {
    return IsPlausibleEntry(e);
}

bool IsValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > s.size() || c == 0) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

std::string FormatUtc(uint64_t fileTime) {
    const std::time_t t = static_cast<std::time_t>(fileTime / 10000000 - 11644473600LL);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d+%H:%M:%S", &tm);
    return buf;
}

TEST(FatShortName, ShowsAsUsersKnowIt) {
    EXPECT_EQ(DecodeShortName(MakeEntry("README  TXT"), false), "readme.txt");
    Entry deleted = MakeEntry("README  TXT");
    deleted[0] = kEntryDeleted;
    EXPECT_EQ(DecodeShortName(deleted, false), "!eadme.txt");
    EXPECT_EQ(DecodeShortName(MakeEntry("PHOTOS  OLD", kAttrDirectory), true), "photos");
    EXPECT_EQ(DecodeShortName(MakeEntry("NOEXT      "), false), "noext");
    // OEM bytes come out as UTF-8; 0x05 stands for a first byte 0xE5 that is not a deletion.
    EXPECT_EQ(DecodeShortName(MakeEntry("\232BER    TXT"), false), "Über.txt");
    EXPECT_EQ(DecodeShortName(MakeEntry("\005A      TXT"), false), "σa.txt");
}

class FatNamesOnVolume : public ::testing::TestWithParam<const char*> {};

TEST_P(FatNamesOnVolume, LongNonAsciiNamesComeOutAsUtf8) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const std::string image = dir / "v.img";
    ASSERT_TRUE(MakeFatImage(image, GetParam(), 40000));
    std::string longName;
    while (longName.size() < 230) longName += "Long name part ";
    longName += "end.txt";
    const std::set<std::string> names = {"Fotografía del año 2024.jpg",
                                         "日本語のファイル名.txt",
                                         "→ arrow.png",
                                         "Ünïcödé — dash.txt",
                                         "x.y.z archive.tar.gz",
                                         longName,
                                         "UPPER.TXT"};
    testing::WriteFileBytes(dir / "f", {42});
    for (const auto& n : names) {
        ASSERT_TRUE(
            Mtools("LC_ALL=C.UTF-8 mcopy -i " + image + " " + (dir / "f") + " '::/" + n + "'"))
            << n;
    }
    auto v = testing::OpenImage(image);
    std::set<std::string> listed;
    for (const auto& e :
         ListDirectory(ReadDirectory(*v, v->geometry.rootCluster), v->geometry.isFat32, false)) {
        listed.insert(e.name);
    }
    std::set<std::string> expected = names;
    expected.erase("UPPER.TXT");
    expected.insert("upper.txt");  // a plain 8.3 name is shown lowered
    EXPECT_EQ(listed, expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatNamesOnVolume, ::testing::Values("-F 16", "-F 32 -s 1"),
                         [](const auto& info) { return info.index == 0 ? "Fat16" : "Fat32"; });

TEST(FatEntryTimes, HundredthsCountAndImpossibleDatesGiveNoTime) {
    Entry e = MakeEntry("A       TXT");
    const EntryTimes whole = DecodeEntryTimes(e);
    e[13] = 150;  // one and a half seconds on top of the two-second creation field
    EXPECT_EQ(DecodeEntryTimes(e).created - whole.created, 15'000'000u);
    e[13] = 57;
    EXPECT_EQ(DecodeEntryTimes(e).created - whole.created, 5'700'000u);
    EXPECT_EQ(whole.modified - whole.accessed, (13 * 3600 + 45 * 60 + 38) * 10'000'000ULL);

    SetDate(e, 24, 2024, 2, 29);
    EXPECT_NE(DecodeEntryTimes(e).modified, 0u);
    for (const auto& [year, month, day] : {std::tuple{2023, 2, 29}, {2021, 13, 1}, {2021, 4, 31}}) {
        SetDate(e, 24, year, month, day);
        EXPECT_EQ(DecodeEntryTimes(e).modified, 0u) << year << "-" << month << "-" << day;
    }
    SetDate(e, 24, 2021, 6, 15);
    e[22] = 30;  // seconds field 30 = 60 seconds
    EXPECT_EQ(DecodeEntryTimes(e).modified, 0u);
}

TEST(FatPlausibleEntry, RejectsWhatNoDriverWrites) {
    EXPECT_TRUE(Plausible(MakeEntry("README  TXT")));
    EXPECT_TRUE(Plausible(MakeEntry("PHOTOS     ", kAttrDirectory)));
    EXPECT_TRUE(Plausible(MakeEntry("MY CARD    ", kAttrVolumeLabel)));

    Entry emptyWithCluster = MakeEntry("EMPTY   TXT");
    emptyWithCluster[28] = 0;
    EXPECT_FALSE(Plausible(emptyWithCluster));
    Entry labelWithCluster = MakeEntry("MY CARD    ", kAttrVolumeLabel);
    labelWithCluster[26] = 9;
    EXPECT_FALSE(Plausible(labelWithCluster));
    EXPECT_FALSE(Plausible(MakeEntry("NOARCH  TXT", 0x00)));
    EXPECT_FALSE(Plausible(MakeEntry("RODIR      ", kAttrDirectory | kAttrReadOnly)));
    EXPECT_FALSE(Plausible(MakeEntry("lower   txt")));
    EXPECT_FALSE(Plausible(MakeEntry("A:B     TXT")));

    Entry old = MakeEntry("OLD     TXT");
    SetDate(old, 24, 1985, 1, 1);
    EXPECT_FALSE(Plausible(old));
    old[0] = kEntryDeleted;  // deleted entries are judged by their shape, not their dates
    EXPECT_TRUE(Plausible(old));

    // Creation stamp and access date left at zero mean "not recorded", which the format
    // allows; a recorded but impossible value does not.
    Entry unrecorded = MakeEntry("CAMERA  JPG");
    for (size_t i = 13; i < 20; ++i) unrecorded[i] = 0;
    EXPECT_TRUE(Plausible(unrecorded));
    SetDate(unrecorded, 16, 2021, 14, 1);
    EXPECT_FALSE(Plausible(unrecorded));
}

TEST(FatLongName, PiecesUpToTheFormatsLimitAssembleIntoUtf8) {
    EXPECT_TRUE(Plausible(LongNamePiece(0x40 | 20, u"")));  // last piece of 255 characters
    EXPECT_FALSE(Plausible(LongNamePiece(0x40 | 21, u"")));
    Entry withCluster = LongNamePiece(kEntryDeleted, u"x");
    EXPECT_TRUE(Plausible(withCluster));
    withCluster[26] = 1;  // long-name pieces have no cluster
    EXPECT_FALSE(Plausible(withCluster));

    LongNameState state;
    const Entry wide = LongNamePiece(kEntryDeleted, std::u16string(13, u'\u65E6'));
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(AssembleLongName(state, wide)) << i;
    EXPECT_FALSE(AssembleLongName(state, wide));
    // 260 characters of three bytes each, whole: shortening, where a name must be, keeps the
    // extension, which a cut here would lose.
    const std::string name = TakeLongName(state);
    EXPECT_EQ(name.size(), 780u);
    EXPECT_EQ(name.size(), kMaxLongNameBytes);
    EXPECT_TRUE(IsValidUtf8(name));
    EXPECT_FALSE(HasLongName(state));
    EXPECT_EQ(TakeLongName(state), "");

    // Pieces are met last first. Characters beyond 16 bits arrive as surrogate pairs; an
    // unpaired half must not turn into bytes that are no UTF-8.
    ASSERT_TRUE(AssembleLongName(state, LongNamePiece(0x42,
                                                      u"\xDC00"
                                                      u"b.jpg")));
    ASSERT_TRUE(AssembleLongName(state, LongNamePiece(0x01, u"\xD83D\xDE00 photo of a")));
    EXPECT_EQ(TakeLongName(state), "😀 photo of a\uFFFDb.jpg");
}

// Three entries then zeros, built by hand so each rule can be broken alone.
std::vector<uint8_t> ThreeEntryBlock() {
    std::vector<uint8_t> block(512, 0);
    const Entry entries[] = {MakeEntry("MY CARD    ", kAttrVolumeLabel),
                             MakeEntry("DCIM       ", kAttrDirectory), MakeEntry("NOTES   TXT")};
    for (size_t i = 0; i < 3; ++i) std::copy(entries[i].begin(), entries[i].end(), &block[i * 32]);
    return block;
}

TEST(FatDirectoryBlock, AcceptsEntriesThenZerosAndNothingElse) {
    auto block = ThreeEntryBlock();
    EXPECT_TRUE(IsDirectoryBlock(block));
    EXPECT_TRUE(IsDirectoryBlock(std::span(block).first(31)));

    auto stray = block;
    stray[400] = 1;
    EXPECT_FALSE(IsDirectoryBlock(stray));
    auto freeFirst = block;
    freeFirst[0] = 0;
    EXPECT_FALSE(IsDirectoryBlock(freeFirst));
    auto spaced = block;
    std::memcpy(&spaced[64], "NO TES  TXT", 11);
    EXPECT_FALSE(IsDirectoryBlock(spaced));
    auto loneHighByte = block;
    loneHighByte[65] = 0x9A;  // no trail byte after it
    EXPECT_FALSE(IsDirectoryBlock(loneHighByte));
    auto pair = block;
    pair[65] = 0xB0, pair[66] = 0xA1;
    EXPECT_TRUE(IsDirectoryBlock(pair));

    // A long-name piece must be followed by the short entry whose checksum it carries.
    auto withLongName = block;
    const Entry piece = LongNamePiece(0x41, u"notes", LfnChecksum(EntryAt(block, 2)));
    std::copy(&block[64], &block[96], &withLongName[96]);
    std::copy(piece.begin(), piece.end(), &withLongName[64]);
    EXPECT_TRUE(IsDirectoryBlock(withLongName));
    withLongName[64 + 13] ^= 1;
    EXPECT_FALSE(IsDirectoryBlock(withLongName));
}

class CorpusListing : public ::testing::TestWithParam<const char*> {};

TEST_P(CorpusListing, EveryPathAndTimeMatchesTheReference) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    const std::string name = GetParam();
    const std::string image = testing::CorpusImage(name + ".raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    // Reference lines are "PATH<white space>YYYY-MM-DD+HH:MM:SS.fraction"; they were printed
    // three hours ahead of the wall clock stored on the volume (a UTC+03:00 machine reading
    // stamps its driver took as UTC).
    std::set<std::string> expected;
    std::ifstream in(testing::CorpusDir() + "/" + name + "_full_test.txt");
    for (std::string line; std::getline(in, line);) {
        const size_t gap = line.find_last_of(" \t");
        if (gap == std::string::npos) continue;
        expected.insert(line.substr(0, gap) + "\t" + line.substr(gap + 1, 19));
    }
    ASSERT_GT(expected.size(), 1000u);
    auto v = testing::OpenImage(image);
    ASSERT_TRUE(v);
    std::set<std::string> listed;
    for (const auto& [path, e] : testing::ListTree(*v, false)) {
        listed.insert(path + "\t" + FormatUtc(e.times.modified + 3 * 3600 * 10'000'000ULL));
    }
    EXPECT_EQ(listed, expected);
    // The 512 folders fill the fixed root to its last sector.
    const auto root = ReadDirectory(*v, v->geometry.rootCluster);
    for (size_t off = 0; off + 512 <= root.size(); off += 512) {
        EXPECT_TRUE(IsDirectoryBlock(std::span(root).subspan(off, 512)))
            << "root sector " << off / 512;
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusListing, ::testing::Values("fat12", "fat16"));

TEST(FatCorpus, DeletedFoldersAndTheirFilesAreFound) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    const std::string image = testing::CorpusImage("fat_deleted_dir.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    auto v = testing::OpenImage(image);
    // Everything on this volume is deleted (fsck.fat counts no live file). Folder names survive
    // in deleted long-name pieces; the 8.3-only names inside "test" lose their first character.
    const auto tree = testing::ListTree(*v, true);
    size_t inTest = 0;
    for (const auto& [path, e] : tree) {
        EXPECT_TRUE(e.entry.IsDeleted()) << path;
        if (path.starts_with("/test/")) inTest += path.substr(6, 1) == "!";
    }
    EXPECT_TRUE(tree.count("/test") && tree.count("/test_2"));
    EXPECT_TRUE(tree.count("/test_2/1.txt") && tree.count("/test_2/2.txt"));
    EXPECT_GT(inTest, 10u);
}

TEST(FatDirectoryDamage, RandomAndDamagedEntriesDecodeToValidNamesWithoutOverreading) {
    std::mt19937 rng(3);
    auto block = ThreeEntryBlock();
    for (int trial = 0; trial < 20000; ++trial) {
        Entry e;
        for (auto& b : e) b = static_cast<uint8_t>(rng());
        EXPECT_TRUE(IsValidUtf8(DecodeShortName(e, trial % 2 == 0)));
        DecodeEntryTimes(e);
        IsPlausibleEntry(e);
        auto damaged = block;
        damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
        // Exact-size copies, so a read past the end is caught by the sanitizers.
        const size_t cut = rng() % (damaged.size() + 1);
        const std::vector<uint8_t> head(damaged.begin(), damaged.begin() + cut);
        IsDirectoryBlock(head);
        IsDotEntryPair(head);
        IsPlausibleEntry(head);
    }
    LongNameState state;
    for (int trial = 0; trial < 2000; ++trial) {
        Entry e;
        for (auto& b : e) b = static_cast<uint8_t>(rng());
        if (!AssembleLongName(state, e) || trial % 7 == 0) {
            const std::string name = TakeLongName(state);
            EXPECT_LE(name.size(), kMaxLongNameBytes);
            EXPECT_TRUE(IsValidUtf8(name));
        }
    }
}

}  // namespace
}  // namespace norvale
