// Directory entries: names and times of files written by mtools and by other people's tools,
// deleted entries, the plausibility tests, and damaged or random entries.

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "fat/directory.h"
#include "fat/fat_test_media.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::FileTimeOf;
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

void SetDate(Entry& e, size_t offset, int year, int month, int day) {
    const auto date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    e[offset] = static_cast<uint8_t>(date);
    e[offset + 1] = static_cast<uint8_t>(date >> 8);
}

bool Plausible(const Entry& e) { return IsPlausibleEntry(e); }

bool IsValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
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
    EXPECT_EQ(DecodeShortName(MakeEntry("\x9A" "BER    TXT"), false), "\xC3\x9C" "ber.txt");
    EXPECT_EQ(DecodeShortName(MakeEntry("\x05" "A      TXT"), false), "\xCF\x83" "a.txt");
}

TEST(FatShortName, ChecksumTiesLongNameToItsShortEntry) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const std::string image = dir / "v.img";
    ASSERT_TRUE(MakeFatImage(image, "-F 16", 16384));
    testing::WriteFileBytes(dir / "f", {1, 2, 3});
    ASSERT_TRUE(Mtools("mcopy -i " + image + " " + (dir / "f") + " '::/A long file name.dat'"));
    auto v = testing::OpenImage(image);
    const auto root = ReadDirectory(*v, 0);
    // The long-name pieces precede the short entry and carry its checksum.
    size_t shortIndex = 0;
    while (EntryAt(root, shortIndex)[11] == kAttrLongName) ++shortIndex;
    ASSERT_GT(shortIndex, 0u);
    const uint8_t sum = LfnChecksum(EntryAt(root, shortIndex));
    for (size_t i = 0; i < shortIndex; ++i) EXPECT_EQ(EntryAt(root, i)[13], sum);
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
    const std::set<std::string> names = {
        "Fotografía del año 2024.jpg", "日本語のファイル名.txt", "→ arrow.png",
        "Ünïcödé — dash.txt",          "x.y.z archive.tar.gz",   longName,
        "UPPER.TXT"};
    testing::WriteFileBytes(dir / "f", {42});
    for (const auto& n : names) {
        ASSERT_TRUE(Mtools("LC_ALL=C.UTF-8 mcopy -i " + image + " " + (dir / "f") + " '::/" + n + "'"))
            << n;
    }
    auto v = testing::OpenImage(image);
    std::set<std::string> listed;
    for (const auto& e : ListDirectory(ReadDirectory(*v, v->geometry.rootCluster),
                                       v->geometry.isFat32, false)) {
        listed.insert(e.name);
    }
    std::set<std::string> expected = names;
    expected.erase("UPPER.TXT");
    expected.insert("upper.txt");  // a plain 8.3 name is shown lowered
    EXPECT_EQ(listed, expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatNamesOnVolume, ::testing::Values("-F 16", "-F 32 -s 1"),
                         [](const auto& info) { return info.index == 0 ? "Fat16" : "Fat32"; });

TEST(FatDeletedEntry, KeepsItsNameClusterAndSizeAfterMdel) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const std::string image = dir / "v.img";
    ASSERT_TRUE(MakeFatImage(image, "-F 32 -s 1", 40000));
    std::vector<uint8_t> content(5000, 7);
    testing::WriteFileBytes(dir / "f", content);
    ASSERT_TRUE(Mtools("mmd -i " + image + " ::/DCIM"));
    ASSERT_TRUE(Mtools("mcopy -i " + image + " " + (dir / "f") + " '::/DCIM/Holiday photo.jpg'"));
    ASSERT_TRUE(Mtools("mcopy -i " + image + " " + (dir / "f") + " ::/DCIM/IMG_0001.JPG"));
    const auto longChain = testing::MtoolsChain(image, "/DCIM/Holiday photo.jpg");
    const auto shortChain = testing::MtoolsChain(image, "/DCIM/IMG_0001.JPG");
    ASSERT_FALSE(longChain.empty());
    ASSERT_TRUE(Mtools("mdel -i " + image + " '::/DCIM/Holiday photo.jpg' ::/DCIM/IMG_0001.JPG"));

    auto v = testing::OpenImage(image);
    const auto root = ListDirectory(ReadDirectory(*v, v->geometry.rootCluster), true, false);
    ASSERT_EQ(root.size(), 1u);
    const auto dcim = ReadDirectory(*v, root[0].firstCluster);
    EXPECT_TRUE(IsDotEntryPair(dcim));
    EXPECT_TRUE(ListDirectory(dcim, true, false).empty());
    std::map<std::string, testing::ListedEntry> deleted;
    for (const auto& e : ListDirectory(dcim, true, true)) deleted[e.name] = e;
    ASSERT_EQ(deleted.size(), 2u);
    // The long-name pieces survive deletion; the 8.3-only name loses its first letter.
    ASSERT_TRUE(deleted.count("Holiday photo.jpg"));
    ASSERT_TRUE(deleted.count("!mg_0001.jpg"));
    for (const auto& [name, chain] :
         {std::pair{std::string("Holiday photo.jpg"), longChain}, {"!mg_0001.jpg", shortChain}}) {
        const auto& e = deleted[name];
        EXPECT_TRUE(e.entry.IsDeleted());
        EXPECT_EQ(e.firstCluster, chain.front()) << name;
        EXPECT_EQ(e.entry.fileSize, 5000u);
        // With the FAT cleared, the cleared-entry rule gives the contiguous run mtools wrote.
        std::vector<uint32_t> walked;
        for (ChainWalk w(*v->table, e.firstCluster, chain.size()); !w.Done(); w.Next()) {
            walked.push_back(w.Cluster());
        }
        EXPECT_EQ(walked, chain) << name;
    }
}

TEST(FatEntryTimes, WallClockOfTheWriterIsKept) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const std::string image = dir / "v.img";
    ASSERT_TRUE(MakeFatImage(image, "-F 12", 1440));
    testing::WriteFileBytes(dir / "f", {1});
    ASSERT_EQ(norvale::testing::Run("TZ=UTC touch -d '2021-06-15 13:45:38' '" + (dir / "f") + "'"), 0);
    ASSERT_TRUE(Mtools("mcopy -m -i " + image + " " + (dir / "f") + " ::/F.BIN"));
    auto v = testing::OpenImage(image);
    const auto root = ListDirectory(ReadDirectory(*v, 0), false, false);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0].times.modified, FileTimeOf(2021, 6, 15, 13, 45, 38));
    EXPECT_NE(root[0].times.created, 0u);
    EXPECT_NE(root[0].times.accessed, 0u);
}

TEST(FatEntryTimes, HundredthsAndInvalidCalendarValues) {
    Entry e = MakeEntry("A       TXT");
    e[13] = 150;  // one and a half seconds on top of the two-second creation field
    EXPECT_EQ(DecodeEntryTimes(e).created, FileTimeOf(2021, 6, 15, 13, 45, 39) + 5'000'000);
    e[13] = 57;
    EXPECT_EQ(DecodeEntryTimes(e).created, FileTimeOf(2021, 6, 15, 13, 45, 38) + 5'700'000);
    EXPECT_EQ(DecodeEntryTimes(e).accessed, FileTimeOf(2021, 6, 15, 0, 0, 0));

    SetDate(e, 24, 2024, 2, 29);
    EXPECT_EQ(DecodeEntryTimes(e).modified, FileTimeOf(2024, 2, 29, 13, 45, 38));
    SetDate(e, 24, 2023, 2, 29);
    EXPECT_EQ(DecodeEntryTimes(e).modified, 0u);
    SetDate(e, 24, 2021, 13, 1);
    EXPECT_EQ(DecodeEntryTimes(e).modified, 0u);
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

TEST(FatPlausibleEntry, LongNamePiecesUpToTheFormatsLimit) {
    Entry piece{};
    piece[11] = kAttrLongName;
    piece[0] = 0x40 | 20;  // the last of a 255-character name
    EXPECT_TRUE(Plausible(piece));
    piece[0] = 0x40 | 21;
    EXPECT_FALSE(Plausible(piece));
    piece[0] = kEntryDeleted;
    EXPECT_TRUE(Plausible(piece));
    piece[26] = 1;  // long-name pieces have no cluster
    EXPECT_FALSE(Plausible(piece));
}

TEST(FatLongName, TwentyPiecesAssembleAndAnyMoreAreRefused) {
    LongNameState state;
    Entry piece{};
    piece[11] = kAttrLongName;
    for (size_t k : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) piece[k] = 0xE6, piece[k + 1] = 0x65;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(AssembleLongName(state, piece)) << i;
    EXPECT_FALSE(AssembleLongName(state, piece));
    const std::string name = TakeLongName(state);  // 260 x U+65E6, three bytes each
    EXPECT_EQ(name.size(), 258u);
    EXPECT_TRUE(IsValidUtf8(name));
    EXPECT_FALSE(HasLongName(state));
    EXPECT_EQ(TakeLongName(state), "");

    // Characters outside the 16-bit range arrive as surrogate pairs; an unpaired half must not
    // turn into bytes that are no UTF-8.
    const char16_t units[13] = {0xD83D, 0xDE00, u' ', u'a', 0xDC00, u'b', 0, 0xFFFF};
    Entry emoji{};
    emoji[0] = 0x41;
    emoji[11] = kAttrLongName;
    const size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t k = 0; k < 13; ++k) {
        emoji[offsets[k]] = static_cast<uint8_t>(units[k]);
        emoji[offsets[k] + 1] = static_cast<uint8_t>(units[k] >> 8);
    }
    ASSERT_TRUE(AssembleLongName(state, emoji));
    EXPECT_EQ(TakeLongName(state), "\xF0\x9F\x98\x80 a\xEF\xBF\xBD" "b");
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
    Entry piece{};
    piece[0] = 0x41;
    piece[1] = 'n';
    piece[11] = kAttrLongName;
    piece[13] = LfnChecksum(std::span<const uint8_t, 32>(&block[64], 32));
    std::copy(&block[64], &block[96], &withLongName[96]);
    std::copy(piece.begin(), piece.end(), &withLongName[64]);
    EXPECT_TRUE(IsDirectoryBlock(withLongName));
    withLongName[64 + 13] ^= 1;
    EXPECT_FALSE(IsDirectoryBlock(withLongName));
}

TEST(FatDirectoryBlock, RealDirectoriesPass) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const std::string image = dir / "v.img";
    ASSERT_TRUE(MakeFatImage(image, "-F 16 -n CARD", 16384));
    testing::WriteFileBytes(dir / "f", {1, 2, 3});
    ASSERT_TRUE(Mtools("mmd -i " + image + " ::/DCIM ::/DCIM/100CANON"));
    for (const char* n : {"IMG_0001.JPG", "IMG_0002.JPG", "A long name.txt", "Another.dat"}) {
        ASSERT_TRUE(Mtools("mcopy -i " + image + " " + (dir / "f") + " '::/DCIM/" + n + "'"));
        ASSERT_TRUE(Mtools("mcopy -i " + image + " " + (dir / "f") + " '::/" + n + "'"));
    }
    ASSERT_TRUE(Mtools("mdel -i " + image + " ::/IMG_0002.JPG '::/A long name.txt'"));
    auto v = testing::OpenImage(image);
    const auto root = ReadDirectory(*v, 0);
    EXPECT_TRUE(IsDirectoryBlock(std::span(root).first(512)));
    const auto rootList = ListDirectory(root, false, false);
    const auto dcimEntry = std::find_if(rootList.begin(), rootList.end(),
                                        [](auto& e) { return e.name == "dcim"; });
    ASSERT_NE(dcimEntry, rootList.end());
    const auto dcim = ReadDirectory(*v, dcimEntry->firstCluster);
    EXPECT_TRUE(IsDotEntryPair(dcim));
    EXPECT_TRUE(IsPlausibleEntry(dcim));
    EXPECT_TRUE(IsDirectoryBlock(std::span(dcim).subspan(32 * 2, 512 - 64)));
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
        EXPECT_TRUE(IsDirectoryBlock(std::span(root).subspan(off, 512))) << "root sector " << off / 512;
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusListing, ::testing::Values("fat12", "fat16"));

TEST(FatCorpus, DeletedFoldersAndTheirFilesAreFound) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    const std::string image = testing::CorpusImage("fat_deleted_dir.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    auto v = testing::OpenImage(image);
    // Both folders of this volume are deleted (fsck.fat counts no live file); their names
    // survive in the deleted long-name pieces.
    std::map<std::string, testing::ListedEntry> folders;
    for (const auto& e : ListDirectory(ReadDirectory(*v, v->geometry.rootCluster), true, true)) {
        EXPECT_TRUE(e.entry.IsDirectory() && e.entry.IsDeleted()) << e.name;
        folders[e.name] = e;
    }
    ASSERT_EQ(folders.size(), 2u);
    ASSERT_TRUE(folders.count("test") && folders.count("test_2"));

    const auto test = ReadDirectory(*v, folders["test"].firstCluster);
    EXPECT_TRUE(IsDotEntryPair(test));
    const auto inTest = ListDirectory(test, true, true);
    EXPECT_GT(inTest.size(), 10u);
    for (const auto& f : inTest) {
        EXPECT_TRUE(f.entry.IsDeleted() && !f.entry.IsDirectory()) << f.name;
        EXPECT_EQ(f.name[0], '!');  // 8.3-only names lose their first character
    }

    std::set<std::string> inTest2;
    for (const auto& f : ListDirectory(ReadDirectory(*v, folders["test_2"].firstCluster), true, true)) {
        EXPECT_TRUE(f.entry.IsDeleted());
        inTest2.insert(f.name);
    }
    EXPECT_EQ(inTest2, (std::set<std::string>{"1.txt", "2.txt"}));
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
