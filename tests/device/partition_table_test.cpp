// Partition tables of whole-disk images: real tables written by sfdisk, hostile ones patched by
// hand, and an image read as a disk (its layout, its disk number, its bytes).

#include "device/partition_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "device/bytes.h"
#include "device/disk_enumerator.h"
#include "device/disk_probe.h"
#include "device/partition_locator.h"
#include "device/sector_source.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using Kind = PartitionRecord::Kind;
using testing::TempDir;

constexpr uint64_t kImageSectors = 131072;  // 64 MiB

// A new file of `size` zero bytes.
void Blank(const std::string& path, uint64_t size) {
    std::ofstream(path, std::ios::trunc).close();
    fs::resize_file(path, size);
}

// Writes a table with sfdisk into a fresh 64 MiB image file; no device is touched.
std::string Partitioned(const TempDir& dir, const std::string& name, const std::string& script) {
    const std::string path = dir / name;
    Blank(path, kImageSectors * 512);
    const std::string sfdisk = "sfdisk -q --no-reread --no-tell-kernel '" + path + "'";
    std::string out;
    EXPECT_EQ(testing::RunSystemTool("printf '" + script + "' | " + sfdisk, &out), 0) << out;
    return path;
}

// One 16-byte MBR-style entry (an MBR's or an EBR's) at slot `slot` of the sector at `lba`.
void SetEntry(std::vector<uint8_t>& image, uint64_t lba, int slot, uint8_t type, uint32_t start,
              uint32_t count, uint32_t sectorSize = 512) {
    uint8_t* e = image.data() + lba * sectorSize + 0x1BE + slot * 16;
    std::memset(e, 0, 16);
    e[4] = type;
    for (int i = 0; i < 4; ++i) {
        e[8 + i] = uint8_t(start >> (8 * i));
        e[12 + i] = uint8_t(count >> (8 * i));
    }
    image[lba * sectorSize + 510] = 0x55;
    image[lba * sectorSize + 511] = 0xAA;
}

PartitionTable Read(const std::string& path) {
    PartitionTable t;
    EXPECT_EQ(ReadPartitionTable(path, t), kOk);
    return t;
}

std::string Problems(const PartitionTable& t) {
    std::string s;
    for (const auto& p : t.problems) s += p + "\n";
    return s;
}

// The entries in one line: "number@start+count", the MBR type, "L" for logical, the GPT name.
std::string Entries(const PartitionTable& t) {
    std::string s;
    char buf[160];
    for (const auto& e : t.entries) {
        std::snprintf(buf, sizeof buf, "%s%d@%llu+%llu", s.empty() ? "" : " ", e.number,
                      (unsigned long long)e.startLba, (unsigned long long)e.sectorCount);
        s += buf;
        if (e.mbrType) {
            std::snprintf(buf, sizeof buf, "/%02x", e.mbrType);
            s += buf;
        }
        if (e.logical) s += "L";
        if (!e.name.empty()) s += "'" + e.name + "'";
    }
    return s;
}

uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320 ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

// Rewrites the header CRC of the GPT header at byte `offset` after a field was changed.
void ResealGptHeader(std::vector<uint8_t>& image, uint64_t offset) {
    uint8_t* h = image.data() + offset;
    std::memset(h + 16, 0, 4);
    const uint32_t crc = Crc32(h, Le32(h + 12));
    for (int i = 0; i < 4; ++i) h[16 + i] = uint8_t(crc >> (8 * i));
}

// Rewrites entry `slot`'s first and last sector in both GPT entry arrays of a 512-byte-sector
// image and seals both headers again, as a partitioning tool would have written them.
void SetGptEntry(std::vector<uint8_t>& image, int slot, uint64_t first, uint64_t last) {
    for (uint64_t header : {uint64_t{512}, image.size() - 512}) {
        uint8_t* h = image.data() + header;
        uint8_t* array = image.data() + Le64(h + 72) * 512;
        for (int i = 0; i < 8; ++i) {
            array[slot * Le32(h + 84) + 32 + i] = uint8_t(first >> (8 * i));
            array[slot * Le32(h + 84) + 40 + i] = uint8_t(last >> (8 * i));
        }
        const uint32_t crc = Crc32(array, size_t{Le32(h + 80)} * Le32(h + 84));
        for (int i = 0; i < 4; ++i) h[88 + i] = uint8_t(crc >> (8 * i));
        ResealGptHeader(image, header);
    }
}

class PartitionTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (testing::RunSystemTool("command -v sfdisk") != 0)
            GTEST_SKIP() << "sfdisk missing; install fdisk";
    }
    TempDir dir_;
};

TEST_F(PartitionTableTest, MbrListsPrimaryAndLogicalsButNotTheirContainer) {
    const std::string image = Partitioned(dir_, "mbr.img",
                                          "label: dos\\n"
                                          "start=2048, size=20480, type=c\\n"
                                          "start=22528, size=40960, type=5\\n"
                                          "start=24576, size=8192, type=83\\n"
                                          "start=34816, size=8192, type=7\\n");
    const PartitionTable t = Read(image);
    EXPECT_EQ(t.scheme, "dos");
    EXPECT_EQ(Entries(t), "1@2048+20480/0c 5@24576+8192/83L 6@34816+8192/07L") << Problems(t);
    EXPECT_TRUE(t.problems.empty()) << Problems(t);

    // The callers that read through the same walk still tell the container apart.
    PartitionExtent extent;
    EXPECT_EQ(FindPartitionInTable(image, 2, extent), kErrInvalidParameter);
    ASSERT_EQ(FindPartitionInTable(image, 6, extent), kOk);
    EXPECT_EQ(extent.startLba, 34816u);
    EXPECT_EQ(extent.sectorCount, 8192u);
    EXPECT_EQ(FindPartitionInTable(image, 7, extent), kErrFileNotFound);
    const auto probed = detail::ProbePartitionTable(image);
    ASSERT_TRUE(probed.count(2) && probed.count(5));
    EXPECT_TRUE(probed.at(2).extended);
    EXPECT_EQ(probed.at(5).type, 0x83);

    // No table, and no medium, are told apart.
    Blank(dir_ / "blank.img", 1 << 20);
    const PartitionTable none = Read(dir_ / "blank.img");
    EXPECT_TRUE(none.scheme.empty() && none.entries.empty() && none.problems.empty());
    EXPECT_EQ(FindPartitionInTable(dir_ / "blank.img", 1, extent), kErrNotSupported);
    PartitionTable missing;
    EXPECT_EQ(ReadPartitionTable(dir_ / "nothing.img", missing), kErrFileNotFound);
}

// Entries patched into an MBR: past the end, starting past the end, no length, overlapping and
// repeated. Every readable one is kept; each fault is one line naming the partition.
TEST_F(PartitionTableTest, HostileMbrEntriesAreClippedDroppedOrReportedOnce) {
    std::vector<uint8_t> image(kImageSectors * 512);
    SetEntry(image, 0, 0, 0x83, 2048, 20480);
    SetEntry(image, 0, 1, 0x83, 16384, 20480);   // overlaps 1
    SetEntry(image, 0, 2, 0x0C, 122880, 20480);  // 10 MiB claimed, 4 MiB there
    SetEntry(image, 0, 3, 0x07, 2048, 20480);    // the same as 1
    const std::string path = dir_ / "hostile.img";
    testing::WriteFileBytes(path, image);
    PartitionTable t = Read(path);
    EXPECT_EQ(Entries(t), "1@2048+20480/83 2@16384+20480/83 3@122880+8192/0c") << Problems(t);
    EXPECT_EQ(t.problems,
              (std::vector<std::string>{
                  "partition 3 runs past the end of the medium (64 MiB): it claims 10 MiB, only "
                  "its first 4 MiB are read",
                  "partition 4 repeats partition 1 (from 1 MiB, 10 MiB long): it is listed once",
                  "partitions 1 and 2 overlap (1: from 1 MiB, 10 MiB long; 2: from 8 MiB, 10 MiB "
                  "long): both are kept"}));
    PartitionExtent extent;  // clipped for whoever copies a partition out, too
    ASSERT_EQ(FindPartitionInTable(path, 3, extent), kOk);
    EXPECT_EQ(extent.startLba + extent.sectorCount, kImageSectors);

    std::fill(image.begin(), image.begin() + 512, 0);
    SetEntry(image, 0, 0, 0x83, 2048, 0);       // no length: libblkid passes over it silently
    SetEntry(image, 0, 1, 0x83, 200000, 4096);  // starts past the end
    SetEntry(image, 0, 2, 0x0C, 4096, 8192);
    testing::WriteFileBytes(path, image);
    t = Read(path);
    EXPECT_EQ(Entries(t), "3@4096+8192/0c");
    EXPECT_EQ(t.problems, (std::vector<std::string>{
                              "partition 1 has no length: it is left out",
                              "partition 2 starts at 97.7 MiB, at or past the end of the medium "
                              "(64 MiB): it is left out"}));
    EXPECT_EQ(FindPartitionInTable(path, 2, extent), kErrFileNotFound);
}

// Extended-partition chains whose next-pointer points at itself or back at an earlier link end
// quickly, each logical partition listed once, and are reported.
TEST_F(PartitionTableTest, LoopingExtendedChainEndsWithEachLogicalOnce) {
    // Links at 16384 (the container's start), 40000 and 60000, each with a logical 2048 sectors
    // in; `next` is each link's successor, 0 for none.
    struct Chain {
        const char* name;
        uint32_t next[3];
        const char* entries;
    } const chains[] = {
        {"first link points at itself", {16384, 0, 0}, "1@2048+8192/0c 5@18432+4096/83L"},
        {"second link points at itself",
         {40000, 40000, 0},
         "1@2048+8192/0c 5@18432+4096/83L 6@42048+4096/83L"},
        {"third link points back at the second",
         {40000, 60000, 40000},
         "1@2048+8192/0c 5@18432+4096/83L 6@42048+4096/83L 7@62048+4096/83L"},
    };
    const uint32_t links[3] = {16384, 40000, 60000};
    const std::string path = dir_ / "loop.img";
    for (const Chain& chain : chains) {
        SCOPED_TRACE(chain.name);
        std::vector<uint8_t> image(kImageSectors * 512);
        SetEntry(image, 0, 0, 0x0C, 2048, 8192);
        SetEntry(image, 0, 1, 0x05, 16384, 100000);
        for (int i = 0; i < 3; ++i) {
            SetEntry(image, links[i], 0, 0x83, 2048, 4096);
            // Next-pointers count from the container's start.
            if (chain.next[i]) SetEntry(image, links[i], 1, 0x05, chain.next[i] - 16384, 20000);
        }
        testing::WriteFileBytes(path, image);
        const auto started = std::chrono::steady_clock::now();
        const PartitionTable t = Read(path);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
        EXPECT_EQ(Entries(t), chain.entries) << Problems(t);
        ASSERT_EQ(t.problems.size(), 1u) << Problems(t);
        EXPECT_EQ(t.problems[0].rfind("the chain of logical partitions in partition 2 leads back "
                                      "to sector ",
                                      0),
                  0u);
        PartitionExtent extent;
        EXPECT_EQ(FindPartitionInTable(path, 2, extent), kErrInvalidParameter);
    }
}

// The GPT's two headers: a backup naming another disk or failing its checksum, a primary that
// is broken (the backup is read), both gone behind a protective MBR, and a sound GPT behind a
// wiped first sector; a stale backup alone is no table.
TEST_F(PartitionTableTest, GptHeaderDamageIsReportedAndTheSoundHeaderRead) {
    const std::string path = Partitioned(
        dir_, "gpt.img",
        "label: gpt\\n"
        "start=2048, size=20480, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=photos\\n"
        "start=22528, size=40960, name=\"my videos\"\\n");
    ASSERT_FALSE(HasFailure()) << "sfdisk wrote no table: the patches below would miss it";
    const auto pristine = testing::ReadFileBytes(path);
    const char* const entries = "1@2048+20480'photos' 2@22528+40960'my videos'";
    PartitionTable t = Read(path);
    EXPECT_EQ(t.scheme, "gpt");
    EXPECT_EQ(Entries(t), entries);
    EXPECT_TRUE(t.problems.empty()) << Problems(t);
    EXPECT_EQ(t.entries[0].typeGuid, "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7");

    struct Damage {
        const char* name;
        std::vector<uint64_t> flipped;  // bytes turned over
        bool reseal;                    // the backup's checksum written again after
        const char* scheme;
        const char* entries;
        std::string problem;
    };
    const uint64_t backup = (kImageSectors - 1) * 512;
    const Damage cases[] = {
        {"backup names another disk", {backup + 56}, true, "gpt", entries,
         "the GPT's backup header disagrees with the primary (the backup at sector 131071 has "
         "another disk GUID); the primary is used"},
        {"backup checksum fails", {backup + 20}, false, "gpt", entries,
         "the GPT's backup header disagrees with the primary (the backup at sector 131071 has a "
         "wrong header checksum); the primary is used"},
        {"primary signature gone", {512 + 2}, false, "gpt", entries,
         "the GPT's primary header is damaged (no GPT signature); the backup header at sector "
         "131071 is used"},
        {"both headers gone", {512 + 2, backup + 2}, false, "PMBR", "",
         "the disk holds a protective MBR but no readable GPT (its primary header has no GPT "
         "signature): no partitions are listed"},
        {"first sector's signature gone", {510, 511}, false, "gpt", entries,
         "the disk's first sector holds no protective MBR (it was wiped or rewritten): the "
         "partitions are read from the GPT behind it"},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        auto image = pristine;
        for (uint64_t at : d.flipped) image[at] ^= 0xFF;
        if (d.reseal) ResealGptHeader(image, backup);
        testing::WriteFileBytes(path, image);
        t = Read(path);
        EXPECT_EQ(t.scheme, d.scheme);
        EXPECT_EQ(Entries(t), d.entries);
        EXPECT_EQ(t.problems, std::vector<std::string>{d.problem});
    }
    // A backup header left at the end of a card since formatted whole is no table.
    auto image = pristine;
    std::fill(image.begin(), image.begin() + 1024, 0);
    testing::WriteFileBytes(path, image);
    t = Read(path);
    EXPECT_TRUE(t.scheme.empty() && t.entries.empty()) << t.scheme << ": " << Problems(t);
}

// What libblkid passes over in silence: an entry that leaves the usable area, one that ends
// before it starts, and the GPT of an incomplete copy of a disk.
TEST_F(PartitionTableTest, GptEntriesLibblkidPassesOverAreReadAndReported) {
    const std::string script =
        "label: gpt\\nstart=2048, size=20480\\nstart=22528, size=100000\\n"
        "start=122528, size=4096\\n";
    const std::string path = Partitioned(dir_, "gpt.img", script);
    ASSERT_FALSE(HasFailure()) << "sfdisk wrote no table: the patches below would miss it";
    auto image = testing::ReadFileBytes(path);
    SetGptEntry(image, 1, 22528, kImageSectors - 10);  // into the backup's area
    SetGptEntry(image, 2, 122528, 122000);             // ends before it starts
    testing::WriteFileBytes(path, image);
    PartitionTable t = Read(path);
    EXPECT_EQ(Entries(t), "1@2048+20480 2@22528+108535") << Problems(t);
    EXPECT_EQ(t.problems, (std::vector<std::string>{
                              "partition 2 lies outside the GPT's usable area (from 11 MiB, 53.0 "
                              "MiB long, the area ends at 64.0 MiB): it is kept",
                              "partition 3 has no length: it is left out"}));

    // The first 40 MiB of the card, as a copy that stopped early holds them.
    image = testing::ReadFileBytes(Partitioned(dir_, "whole.img", script));
    image.resize(40 << 20);
    testing::WriteFileBytes(path, image);
    t = Read(path);
    EXPECT_EQ(t.scheme, "gpt");
    EXPECT_EQ(Entries(t), "1@2048+20480 2@22528+59392") << Problems(t);
    EXPECT_EQ(t.entries[0].typeGuid, "0fc63daf-8483-4772-8e79-3d69d8477de4");
    EXPECT_EQ(t.problems,
              (std::vector<std::string>{
                  "the GPT describes a disk larger than the medium (its usable area ends at 64.0 "
                  "MiB, the medium holds 40 MiB): its partitions are read from the primary "
                  "header as far as the medium goes",
                  "partition 2 runs past the end of the medium (40 MiB): it claims 48.8 MiB, "
                  "only its first 29 MiB are read",
                  "partition 3 starts at 59.8 MiB, at or past the end of the medium (40 MiB): it "
                  "is left out"}));
}

// A disk with 4096-byte sectors: every start and length, and the place of each extended link,
// counts in the medium's sectors.
TEST_F(PartitionTableTest, FourKibSectorTableCountsInTheMediumsSectors) {
    std::vector<uint8_t> image(16 << 20);  // 4096 sectors
    SetEntry(image, 0, 0, 0x0C, 256, 1024, 4096);
    SetEntry(image, 0, 1, 0x05, 2048, 1024, 4096);
    SetEntry(image, 2048, 0, 0x83, 8, 256, 4096);
    SetEntry(image, 0, 2, 0x07, 3072, 2048, 4096);  // past the end: 1024 sectors there
    const std::string path = dir_ / "4k.img";
    testing::WriteFileBytes(path, image);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    PartitionTable t;
    EXPECT_EQ(ReadPartitionTable(fd, image.size(), 4096, t), kOk);
    ::close(fd);
    EXPECT_EQ(t.sectorSize, 4096u);
    EXPECT_EQ(Entries(t), "1@256+1024/0c 5@2056+256/83L 3@3072+1024/07");
    EXPECT_EQ(t.problems, std::vector<std::string>{"partition 3 runs past the end of the medium "
                                                   "(16 MiB): it claims 8 MiB, only its first 4 "
                                                   "MiB are read"});
}

class ImageDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = dir_ / "card.img";
        std::string out;
        if (testing::RunSystemTool("'" + testing::SourceDir() +
                                       "/scripts/make-partitioned-image.sh' '" + image_ + "'",
                                   &out) != 0) {
            GTEST_SKIP() << "cannot make the card image (sfdisk, mkfs.fat, mkntfs needed): " << out;
        }
    }

    // The card: FAT32 "CARDFAT", a gap, NTFS "CARDNTFS", the tail gap.
    static std::string Layout(const std::vector<PartitionRecord>& records) {
        std::string s;
        for (const auto& r : records) {
            s += (s.empty() ? "" : " ") + std::to_string(r.partitionNumber) + "@" +
                 std::to_string(r.startLba) + "+" + std::to_string(r.sectorCount);
            if (r.kind == Kind::Unallocated) s += ":free";
            if (r.kind == Kind::WholeDisk) s += ":whole";
            if (!r.fsName.empty()) s += ":" + r.fsName + "/" + std::to_string(r.fsCode);
            if (!r.volumeLabel.empty()) s += ":" + r.volumeLabel;
            if (!r.volumeRoot.empty()) s += ":root=" + r.volumeRoot;
        }
        return s;
    }
    static constexpr const char* kCard =
        "1@2048+65536:FAT32/11:CARDFAT -1@67584+20480:free 2@88064+65536:NTFS/7:CARDNTFS "
        "-1@153600+39180:free";

    TempDir dir_;
    std::string image_;
};

TEST_F(ImageDiskTest, ImageReadsAsADiskWhosePartitionsOpenByDiskNumber) {
    DiskLayout layout;
    ASSERT_EQ(ReadDiskLayout(image_, layout), kOk);
    EXPECT_EQ(layout.scheme, "dos");
    EXPECT_TRUE(layout.problems.empty());
    EXPECT_EQ(layout.sizeBytes, 96u << 20);
    EXPECT_EQ(Layout(layout.records), kCard);
    const int disk = layout.records[0].diskNumber;
    EXPECT_GT(disk, kImageDiskBase);
    for (const auto& rec : layout.records) {
        EXPECT_EQ(rec.diskNumber, disk);
        EXPECT_EQ(rec.diskPath, image_);
        EXPECT_EQ(rec.driveLetter, kNoDriveLetter);
        EXPECT_EQ(rec.bytesPerSector, 512u);
        EXPECT_EQ(rec.totalBytes, rec.sectorCount * 512);
    }

    // The same file under another name is the same disk; another file is another disk.
    fs::create_symlink(image_, dir_ / "link.img");
    EXPECT_EQ(RegisterImageDisk(dir_ / "link.img"), disk);
    Blank(dir_ / "other.img", 1 << 20);
    const int other = RegisterImageDisk(dir_ / "other.img");
    EXPECT_GT(other, kImageDiskBase);
    EXPECT_NE(other, disk);
    EXPECT_EQ(RegisterImageDisk(dir_ / "absent.img"), -1);
    EXPECT_TRUE(IsImageDisk(disk));
    EXPECT_FALSE(IsImageDisk(other + 1));
    EXPECT_FALSE(IsImageDisk(0));
    std::string path;
    ASSERT_EQ(DiskDevicePath(disk, path), kOk);
    EXPECT_EQ(path, image_);

    // Opened by number, even while tests route real disk numbers elsewhere.
    std::unique_ptr<ISectorSource> source;
    const Result opened = OpenDiskSource(
        disk, source, [](int, std::unique_ptr<ISectorSource>&) { return kErrNotReady; });
    ASSERT_EQ(opened, kOk);
    const auto bytes = testing::ReadFileBytes(image_);
    std::vector<uint8_t> buf(4096);
    size_t got = 0;
    const uint64_t ntfsStart = layout.records[2].startLba * 512;
    ASSERT_EQ(source->ReadAt(ntfsStart, buf, got), kOk);
    ASSERT_EQ(got, buf.size());
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + ntfsStart));
    EXPECT_EQ(std::memcmp(buf.data() + 3, "NTFS", 4), 0);

    // Without a table: one volume, or a whole disk holding none.
    const std::string fat = dir_ / "fat.img";
    testing::WriteFileBytes(fat, std::vector<uint8_t>(bytes.begin() + 2048 * 512,
                                                      bytes.begin() + 67584 * 512));
    ASSERT_EQ(ReadDiskLayout(fat, layout), kOk);
    EXPECT_TRUE(layout.scheme.empty());
    EXPECT_EQ(Layout(layout.records), "0@0+65536:FAT32/11:CARDFAT");
    ASSERT_EQ(ReadDiskLayout(dir_ / "other.img", layout), kOk);
    EXPECT_EQ(Layout(layout.records), "-1@0+2048:whole");
    EXPECT_EQ(layout.records[0].diskNumber, other);
    EXPECT_EQ(ReadDiskLayout(dir_ / "absent.img", layout), kErrFileNotFound);
    // A file too short for any table is no wiped GPT.
    Blank(dir_ / "sector.img", 512);
    ASSERT_EQ(ReadDiskLayout(dir_ / "sector.img", layout), kOk);
    EXPECT_TRUE(layout.scheme.empty());
    EXPECT_TRUE(layout.problems.empty());
}

// A disk the system lists without partition devices (a loop device attached without partition
// scan) is listed from its table, by the enumerator and by ReadDiskLayout alike, with the
// enumeration's disk number and tags.
TEST_F(ImageDiskTest, DiskWithoutPartitionDevicesIsListedFromItsTable) {
    SystemPaths paths;  // a fake system first: one disk, its "device" the image
    paths.sysBlock = dir_ / "sys/block";
    paths.devDir = dir_ / "dev";
    paths.mountInfo = dir_ / "mountinfo";
    fs::create_directories(paths.sysBlock + "/sda/queue");
    fs::create_directories(paths.devDir);
    std::ofstream(paths.sysBlock + "/sda/size") << (96 << 11) << "\n";
    std::ofstream(paths.sysBlock + "/sda/removable") << "1\n";
    std::ofstream(paths.sysBlock + "/sda/queue/logical_block_size") << "512\n";
    std::ofstream(paths.mountInfo) << "";
    fs::create_symlink(image_, paths.devDir + "/sda");
    DiskEnumerator e(paths);
    ASSERT_EQ(e.Enumerate(), 1);
    std::vector<PartitionRecord> all;
    e.AllPartitions(all);
    EXPECT_EQ(Layout(all), kCard);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].driveLetter, i + 1);
        EXPECT_EQ(all[i].diskNumber, 0);
        EXPECT_TRUE(all[i].removable);
    }

    // The real thing, where this machine allows it.
    std::string device;
    if (testing::RunSystemTool("losetup -f --show -r '" + image_ + "'", &device) != 0 ||
        device.rfind("/dev/loop", 0) != 0) {
        GTEST_SKIP() << "cannot attach a loop device (needs root): " << device;
    }
    device = device.substr(0, device.find('\n'));
    const std::string name = fs::path(device).filename();
    struct Detach {
        std::string device;
        ~Detach() { testing::RunSystemTool("losetup -d " + device); }
    } detach{device};
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (fs::exists("/sys/block/" + name + "/" + name + "p1")) {
        GTEST_SKIP() << "the kernel scanned the partitions of " << device << " anyway";
    }
    SystemPaths real;  // a block-device list holding only this loop device
    real.sysBlock = dir_ / "realsys";
    fs::create_directories(real.sysBlock);
    fs::create_symlink("/sys/block/" + name, real.sysBlock + "/" + name);
    const SystemPaths saved = CurrentSystemPaths();
    SetSystemPaths(real);
    DiskLayout layout;
    const Result r = ReadDiskLayout(device, layout);
    SetSystemPaths(saved);
    ASSERT_EQ(r, kOk);
    EXPECT_EQ(layout.scheme, "dos");
    EXPECT_EQ(Layout(layout.records), kCard);
    for (size_t i = 0; i < layout.records.size(); ++i) {
        EXPECT_EQ(layout.records[i].diskNumber, 0);
        EXPECT_EQ(layout.records[i].driveLetter, i + 1);
    }
}

}  // namespace
}  // namespace norvale
