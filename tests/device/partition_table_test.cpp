// Partition tables of whole-disk images: real tables written by sfdisk, hostile ones patched by
// hand, and an image read as a disk (its layout, its disk number, its bytes).

#include "device/partition_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
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

bool HaveSfdisk() {
    return testing::RunSystemTool("command -v sfdisk >/dev/null") == 0;
}

// Writes a table with sfdisk into a fresh 64 MiB image file; no device is touched.
std::string Partitioned(const TempDir& dir, const std::string& name, const std::string& script) {
    const std::string path = dir / name;
    Blank(path, kImageSectors * 512);
    std::string out;
    EXPECT_EQ(testing::RunSystemTool("printf '" + script +
                                         "' | sfdisk -q --no-reread --no-tell-kernel '" + path +
                                         "'",
                                     &out),
              0)
        << out;
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

std::string AllProblems(const PartitionTable& t) {
    std::string s;
    for (const auto& p : t.problems) s += p + "\n";
    return s;
}

size_t CountContaining(const PartitionTable& t, const std::string& text) {
    size_t n = 0;
    for (const auto& p : t.problems) n += p.find(text) != std::string::npos;
    return n;
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

void SetLe64At(std::vector<uint8_t>& image, uint64_t offset, uint64_t value) {
    for (int i = 0; i < 8; ++i) image[offset + i] = uint8_t(value >> (8 * i));
}

// Rewrites entry `slot`'s first and last sector in both GPT entry arrays of a 512-byte-sector
// image and seals both headers again, as a partitioning tool would have written them.
void SetGptEntry(std::vector<uint8_t>& image, int slot, uint64_t first, uint64_t last) {
    for (uint64_t header : {uint64_t{512}, image.size() - 512}) {
        uint8_t* h = image.data() + header;
        const uint64_t array = Le64(h + 72) * 512;
        const uint64_t arrayBytes = uint64_t{Le32(h + 80)} * Le32(h + 84);
        SetLe64At(image, array + slot * Le32(h + 84) + 32, first);
        SetLe64At(image, array + slot * Le32(h + 84) + 40, last);
        const uint32_t crc = Crc32(image.data() + array, arrayBytes);
        for (int i = 0; i < 4; ++i) h[88 + i] = uint8_t(crc >> (8 * i));
        ResealGptHeader(image, header);
    }
}

class PartitionTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveSfdisk()) GTEST_SKIP() << "sfdisk missing; install fdisk";
    }
    TempDir dir_;
};

TEST_F(PartitionTableTest, MbrListsPrimaryAndLogicalsButNotTheirContainer) {
    const std::string image =
        Partitioned(dir_, "mbr.img",
                    "label: dos\\n"
                    "start=2048, size=20480, type=c\\n"
                    "start=22528, size=40960, type=5\\n"
                    "start=24576, size=8192, type=83\\n"
                    "start=34816, size=8192, type=7\\n");
    const PartitionTable t = Read(image);
    EXPECT_EQ(t.scheme, "dos");
    EXPECT_TRUE(t.problems.empty()) << AllProblems(t);
    ASSERT_EQ(t.entries.size(), 3u);
    struct Want {
        int number;
        uint64_t start, count;
        uint8_t type;
        bool logical;
    } const want[] = {{1, 2048, 20480, 0x0C, false},
                      {5, 24576, 8192, 0x83, true},
                      {6, 34816, 8192, 0x07, true}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        EXPECT_EQ(t.entries[i].number, want[i].number);
        EXPECT_EQ(t.entries[i].startLba, want[i].start);
        EXPECT_EQ(t.entries[i].sectorCount, want[i].count);
        EXPECT_EQ(t.entries[i].mbrType, want[i].type);
        EXPECT_EQ(t.entries[i].logical, want[i].logical);
        EXPECT_TRUE(t.entries[i].typeGuid.empty());
    }

    // The callers that go through the same reading still tell the container apart.
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

    // A medium without a table, and one that cannot be read, are told apart.
    const std::string blank = dir_ / "blank.img";
    Blank(blank, 1 << 20);
    const PartitionTable none = Read(blank);
    EXPECT_TRUE(none.scheme.empty());
    EXPECT_TRUE(none.entries.empty());
    EXPECT_EQ(FindPartitionInTable(blank, 1, extent), kErrNotSupported);
    PartitionTable missing;
    EXPECT_EQ(ReadPartitionTable(dir_ / "nothing.img", missing), kErrFileNotFound);
}

TEST_F(PartitionTableTest, GptListsNamedPartitionsAndAgreesWithItsBackup) {
    const std::string image = Partitioned(
        dir_, "gpt.img",
        "label: gpt\\n"
        "start=2048, size=20480, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=photos\\n"
        "start=22528, size=40960, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name=\"my backup\"\\n");
    const PartitionTable t = Read(image);
    EXPECT_EQ(t.scheme, "gpt");
    EXPECT_TRUE(t.problems.empty()) << AllProblems(t);
    ASSERT_EQ(t.entries.size(), 2u);
    EXPECT_EQ(t.entries[0].number, 1);
    EXPECT_EQ(t.entries[0].startLba, 2048u);
    EXPECT_EQ(t.entries[0].sectorCount, 20480u);
    EXPECT_EQ(t.entries[0].name, "photos");
    EXPECT_EQ(t.entries[0].typeGuid, "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7");
    EXPECT_EQ(t.entries[0].mbrType, 0);
    EXPECT_EQ(t.entries[1].number, 2);
    EXPECT_EQ(t.entries[1].startLba, 22528u);
    EXPECT_EQ(t.entries[1].name, "my backup");
    EXPECT_FALSE(t.entries[1].logical);
}

// Entries patched into an MBR: past the end, starting past the end, no length, overlapping and
// repeated. Every readable one is kept, each fault is one line naming the partition.
TEST_F(PartitionTableTest, HostileMbrEntriesAreClippedDroppedOrReportedOnce) {
    std::vector<uint8_t> image(kImageSectors * 512);
    SetEntry(image, 0, 0, 0x83, 2048, 20480);
    SetEntry(image, 0, 1, 0x83, 16384, 20480);    // overlaps 1
    SetEntry(image, 0, 2, 0x0C, 122880, 20480);   // 10 MiB claimed, 4 MiB there
    SetEntry(image, 0, 3, 0x07, 2048, 20480);     // the same as 1
    const std::string path = dir_ / "hostile.img";
    testing::WriteFileBytes(path, image);
    PartitionTable t = Read(path);
    EXPECT_EQ(t.scheme, "dos");
    ASSERT_EQ(t.entries.size(), 3u) << AllProblems(t);
    EXPECT_EQ(t.entries[0].number, 1);
    EXPECT_EQ(t.entries[1].number, 2);
    EXPECT_EQ(t.entries[2].number, 3);
    EXPECT_EQ(t.entries[2].startLba, 122880u);
    EXPECT_EQ(t.entries[2].sectorCount, kImageSectors - 122880) << "clipped to the medium";
    EXPECT_EQ(CountContaining(t, "partition 3 runs past the end of the medium (64 MiB): it "
                                 "claims 10 MiB, only its first 4 MiB are read"),
              1u)
        << AllProblems(t);
    EXPECT_EQ(CountContaining(t, "partition 4 repeats partition 1"), 1u) << AllProblems(t);
    EXPECT_EQ(CountContaining(t, "overlap"), 1u) << "once per pair:\n" << AllProblems(t);
    EXPECT_EQ(CountContaining(t, "partitions 1 and 2 overlap"), 1u) << AllProblems(t);
    EXPECT_EQ(t.problems.size(), 3u) << AllProblems(t);

    // Clipped for whoever copies a partition out of the image, too.
    PartitionExtent extent;
    ASSERT_EQ(FindPartitionInTable(path, 3, extent), kOk);
    EXPECT_EQ(extent.startLba + extent.sectorCount, kImageSectors);

    std::fill(image.begin(), image.begin() + 512, 0);
    SetEntry(image, 0, 0, 0x83, 2048, 0);            // no length
    SetEntry(image, 0, 1, 0x83, 200000, 4096);       // starts past the end
    SetEntry(image, 0, 2, 0x0C, 4096, 8192);
    testing::WriteFileBytes(path, image);
    t = Read(path);
    ASSERT_EQ(t.entries.size(), 1u) << AllProblems(t);
    EXPECT_EQ(t.entries[0].number, 3);
    EXPECT_EQ(CountContaining(t, "partition 2 starts at 97.7 MiB, at or past the end of the "
                                 "medium (64 MiB): it is left out"),
              1u)
        << AllProblems(t);
    // libblkid itself may pass over an entry without length; listed, it is reported.
    EXPECT_LE(CountContaining(t, "partition 1 has no length"), 1u);
    EXPECT_EQ(FindPartitionInTable(path, 2, extent), kErrFileNotFound);
}

// Extended-partition chains whose next-pointer points at itself or back at an earlier link:
// the reading ends quickly, each logical partition listed once.
TEST_F(PartitionTableTest, LoopingExtendedChainEndsWithEachLogicalOnce) {
    // Links at 16384 (the container's start), 40000 and 60000, each with one logical 2048
    // sectors in; `next` gives each link's successor (0: the end of the chain).
    struct Chain {
        const char* name;
        uint32_t next[3];
        size_t logicals;
    } const chains[] = {
        {"first link points at itself", {16384, 0, 0}, 1},
        {"second link points at itself", {40000, 40000, 0}, 2},
        {"third link points back at the second", {40000, 60000, 40000}, 3},
        {"second link points back at the first", {40000, 16384, 0}, 2},
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
        PartitionTable t = Read(path);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
        EXPECT_EQ(t.scheme, "dos");
        ASSERT_EQ(t.entries.size(), 1 + chain.logicals) << AllProblems(t);
        for (size_t i = 0; i < chain.logicals; ++i) {
            EXPECT_EQ(t.entries[1 + i].startLba, links[i] + 2048u);
            EXPECT_EQ(t.entries[1 + i].number, int(5 + i));
            EXPECT_TRUE(t.entries[1 + i].logical);
        }
        PartitionExtent extent;
        EXPECT_EQ(FindPartitionInTable(path, 2, extent), kErrInvalidParameter);
    }
}

// The GPT's two headers: a backup that names another disk, a primary whose checksum fails (the
// backup is then read) and both gone behind a protective MBR.
TEST_F(PartitionTableTest, GptHeaderDamageIsReportedAndTheSoundHeaderRead) {
    const std::string path = Partitioned(dir_, "gpt.img",
                                         "label: gpt\\n"
                                         "start=2048, size=20480, name=photos\\n"
                                         "start=22528, size=40960, name=videos\\n");
    const auto pristine = testing::ReadFileBytes(path);
    const uint64_t backupHeader = (kImageSectors - 1) * 512;
    ASSERT_EQ(std::memcmp(pristine.data() + backupHeader, "EFI PART", 8), 0);

    auto image = pristine;
    image[backupHeader + 56] ^= 0xFF;  // the disk GUID
    ResealGptHeader(image, backupHeader);
    testing::WriteFileBytes(path, image);
    PartitionTable t = Read(path);
    ASSERT_EQ(t.entries.size(), 2u);
    EXPECT_EQ(t.problems,
              std::vector<std::string>{"the GPT's backup header disagrees with the primary (the "
                                       "backup at sector 131071 has another disk GUID); the "
                                       "primary is used"});

    image = pristine;
    image[backupHeader + 20] ^= 0x01;  // breaks only the backup's checksum
    testing::WriteFileBytes(path, image);
    t = Read(path);
    ASSERT_EQ(t.entries.size(), 2u);
    EXPECT_EQ(CountContaining(t, "backup at sector 131071 has a wrong header checksum); the "
                                 "primary is used"),
              1u)
        << AllProblems(t);

    image = pristine;
    image[512 + 2] ^= 0xFF;  // the primary's signature
    testing::WriteFileBytes(path, image);
    t = Read(path);
    EXPECT_EQ(t.scheme, "gpt");
    ASSERT_EQ(t.entries.size(), 2u) << "the backup's copy of the table is read";
    EXPECT_EQ(t.entries[1].name, "videos");
    EXPECT_EQ(t.problems, std::vector<std::string>{"the GPT's primary header is damaged (no GPT "
                                                   "signature); the backup header at sector "
                                                   "131071 is used"});

    image[backupHeader + 2] ^= 0xFF;
    testing::WriteFileBytes(path, image);
    t = Read(path);
    EXPECT_TRUE(t.entries.empty());
    EXPECT_EQ(CountContaining(t, "protective MBR but no readable GPT"), 1u)
        << "scheme " << t.scheme << ": " << AllProblems(t);

    // A wiped first sector leaves a sound GPT behind it, which libblkid alone would not read.
    image = pristine;
    std::fill(image.begin(), image.begin() + 512, 0);
    testing::WriteFileBytes(path, image);
    t = Read(path);
    EXPECT_EQ(t.scheme, "gpt");
    ASSERT_EQ(t.entries.size(), 2u) << AllProblems(t);
    EXPECT_EQ(t.entries[0].name, "photos");
    EXPECT_EQ(t.problems, std::vector<std::string>{"the disk's first sector holds no protective "
                                                   "MBR (it was wiped or rewritten): the "
                                                   "partitions are read from the GPT behind it"});
    // A backup header left at the end of a card formatted whole is no table.
    std::fill(image.begin(), image.begin() + 1024, 0);
    testing::WriteFileBytes(path, image);
    t = Read(path);
    EXPECT_TRUE(t.scheme.empty()) << AllProblems(t);
    EXPECT_TRUE(t.entries.empty());
}

// What libblkid passes over in silence: an incomplete copy of a GPT disk (the table describes a
// larger disk), an entry that leaves the usable area, an entry that ends before it starts.
TEST_F(PartitionTableTest, GptEntriesLibblkidPassesOverAreReadAndReported) {
    const std::string path = Partitioned(dir_, "gpt.img",
                                         "label: gpt\\n"
                                         "start=2048, size=20480, name=photos\\n"
                                         "start=22528, size=100000, name=videos\\n"
                                         "start=122528, size=4096, name=music\\n");
    auto image = testing::ReadFileBytes(path);
    SetGptEntry(image, 1, 22528, kImageSectors - 10);  // into the backup's area
    SetGptEntry(image, 2, 122528, 122000);             // ends before it starts
    testing::WriteFileBytes(path, image);
    PartitionTable t = Read(path);
    EXPECT_EQ(t.scheme, "gpt");
    ASSERT_EQ(t.entries.size(), 2u) << AllProblems(t);
    EXPECT_EQ(t.entries[1].number, 2);
    EXPECT_EQ(t.entries[1].name, "videos");
    EXPECT_EQ(t.entries[1].sectorCount, kImageSectors - 10 - 22528 + 1);
    EXPECT_EQ(CountContaining(t, "partition 2 lies outside the GPT's usable area"), 1u)
        << AllProblems(t);
    EXPECT_EQ(CountContaining(t, "partition 3 has no length: it is left out"), 1u)
        << AllProblems(t);
    EXPECT_EQ(t.problems.size(), 2u) << AllProblems(t);

    // The first 40 MiB of the card, as a copy that stopped early holds them.
    image = testing::ReadFileBytes(Partitioned(dir_, "whole.img",
                                               "label: gpt\\n"
                                               "start=2048, size=20480, name=photos\\n"
                                               "start=22528, size=100000, name=videos\\n"));
    image.resize(40 << 20);
    testing::WriteFileBytes(path, image);
    t = Read(path);
    EXPECT_EQ(t.scheme, "gpt");
    ASSERT_EQ(t.entries.size(), 2u) << AllProblems(t);
    EXPECT_EQ(t.entries[0].name, "photos");
    EXPECT_EQ(t.entries[0].typeGuid, "0fc63daf-8483-4772-8e79-3d69d8477de4");
    EXPECT_EQ(t.entries[1].sectorCount, (40u << 11) - 22528);
    EXPECT_EQ(CountContaining(t, "the GPT describes a disk larger than the medium"), 1u)
        << AllProblems(t);
    EXPECT_EQ(CountContaining(t, "partition 2 runs past the end of the medium (40 MiB)"), 1u)
        << AllProblems(t);
}

// A disk with 4096-byte sectors: sfdisk writes the table through a loop device of that sector
// size, then the image file is read with the medium's sector size given.
TEST_F(PartitionTableTest, FourKibSectorTableCountsInTheMediumsSectors) {
    const std::string path = dir_ / "4k.img";
    Blank(path, 64 << 20);
    std::string device;
    if (testing::RunSystemTool("losetup -f --show -b 4096 '" + path + "'", &device) != 0 ||
        device.rfind("/dev/loop", 0) != 0) {
        GTEST_SKIP() << "cannot attach a loop device with 4096-byte sectors (needs root): "
                     << device;
    }
    device = device.substr(0, device.find('\n'));
    std::string out;
    const int rc = testing::RunSystemTool(
        "printf 'label: gpt\\nstart=256, size=2560, name=one\\nstart=4096, size=4096, "
        "name=two\\n' | sfdisk -q --no-reread --no-tell-kernel " +
            device + " && sync",
        &out);
    EXPECT_EQ(testing::RunSystemTool("losetup -d " + device), 0);
    ASSERT_EQ(rc, 0) << out;

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    PartitionTable t;
    EXPECT_EQ(ReadPartitionTable(fd, 64 << 20, 4096, t), kOk);
    ::close(fd);
    EXPECT_EQ(t.scheme, "gpt");
    EXPECT_EQ(t.sectorSize, 4096u);
    EXPECT_TRUE(t.problems.empty()) << AllProblems(t);
    ASSERT_EQ(t.entries.size(), 2u);
    EXPECT_EQ(t.entries[0].startLba, 256u);
    EXPECT_EQ(t.entries[0].sectorCount, 2560u);
    EXPECT_EQ(t.entries[1].startLba, 4096u);
    EXPECT_EQ(t.entries[1].sectorCount, 4096u);
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

    static void ExpectCardLayout(const std::vector<PartitionRecord>& r) {
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[0].kind, Kind::Partition);
        EXPECT_EQ(r[0].partitionNumber, 1);
        EXPECT_EQ(r[0].startLba, 2048u);
        EXPECT_EQ(r[0].sectorCount, 65536u);
        EXPECT_EQ(r[0].fsName, "FAT32");
        EXPECT_EQ(r[0].fsCode, kFsCodeFat32);
        EXPECT_EQ(r[0].volumeLabel, "CARDFAT");
        EXPECT_EQ(r[0].totalBytes, 65536u * 512);
        EXPECT_EQ(r[1].kind, Kind::Unallocated);
        EXPECT_EQ(r[1].startLba, 67584u);
        EXPECT_EQ(r[1].sectorCount, 20480u);
        EXPECT_EQ(r[2].kind, Kind::Partition);
        EXPECT_EQ(r[2].partitionNumber, 2);
        EXPECT_EQ(r[2].startLba, 88064u);
        EXPECT_EQ(r[2].fsName, "NTFS");
        EXPECT_EQ(r[2].fsCode, kFsCodeNtfs);
        EXPECT_EQ(r[2].volumeLabel, "CARDNTFS");
        EXPECT_EQ(r[3].kind, Kind::Unallocated);
        EXPECT_EQ(r[3].startLba, 153600u);
        for (const auto& rec : r) EXPECT_TRUE(rec.volumeRoot.empty());
    }

    TempDir dir_;
    std::string image_;
};

TEST_F(ImageDiskTest, ImageReadsAsADiskWhosePartitionsOpenByDiskNumber) {
    DiskLayout layout;
    ASSERT_EQ(ReadDiskLayout(image_, layout), kOk);
    EXPECT_EQ(layout.scheme, "dos");
    EXPECT_TRUE(layout.problems.empty());
    EXPECT_EQ(layout.sizeBytes, 96u << 20);
    EXPECT_EQ(layout.bytesPerSector, 512u);
    ExpectCardLayout(layout.records);
    const int disk = layout.records[0].diskNumber;
    EXPECT_GT(disk, kImageDiskBase);
    for (const auto& rec : layout.records) {
        EXPECT_EQ(rec.diskNumber, disk);
        EXPECT_EQ(rec.diskPath, image_);
        EXPECT_EQ(rec.driveLetter, kNoDriveLetter);
        EXPECT_FALSE(rec.removable);
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
    EXPECT_EQ(ImageDiskPath(disk), image_);

    // Opened by number, read-only, even while tests route real disk numbers elsewhere.
    SetDiskSourceOpener([](int, std::unique_ptr<ISectorSource>&) { return kErrNotReady; });
    std::unique_ptr<ISectorSource> source;
    const Result opened = OpenDiskSource(disk, source);
    SetDiskSourceOpener(nullptr);
    ASSERT_EQ(opened, kOk);
    ASSERT_EQ(source->SizeBytes(), 96u << 20);
    const auto bytes = testing::ReadFileBytes(image_);
    std::vector<uint8_t> buf(4096);
    size_t got = 0;
    const uint64_t ntfsStart = layout.records[2].startLba * 512;
    ASSERT_EQ(source->ReadAt(ntfsStart, buf, got), kOk);
    ASSERT_EQ(got, buf.size());
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + ntfsStart));
    EXPECT_EQ(std::memcmp(buf.data() + 3, "NTFS", 4), 0);
}

TEST_F(ImageDiskTest, ImageWithoutTableIsOneVolumeOrAWholeDisk) {
    const std::string fat = dir_ / "fat.img";
    Blank(fat, 32 << 20);
    ASSERT_EQ(testing::RunSystemTool("dd if='" + image_ +
                                     "' of='" + fat +
                                     "' bs=512 skip=2048 count=65536 conv=notrunc status=none"),
              0);
    DiskLayout layout;
    ASSERT_EQ(ReadDiskLayout(fat, layout), kOk);
    EXPECT_TRUE(layout.scheme.empty());
    ASSERT_EQ(layout.records.size(), 1u);
    EXPECT_EQ(layout.records[0].kind, Kind::Partition);
    EXPECT_EQ(layout.records[0].partitionNumber, 0);
    EXPECT_EQ(layout.records[0].fsName, "FAT32");
    EXPECT_EQ(layout.records[0].volumeLabel, "CARDFAT");
    EXPECT_EQ(layout.records[0].sectorCount, 65536u);

    const std::string blank = dir_ / "blank.img";
    Blank(blank, 8 << 20);
    ASSERT_EQ(ReadDiskLayout(blank, layout), kOk);
    ASSERT_EQ(layout.records.size(), 1u);
    EXPECT_EQ(layout.records[0].kind, Kind::WholeDisk);
    EXPECT_EQ(layout.records[0].sectorCount, 16384u);
    EXPECT_GT(layout.records[0].diskNumber, kImageDiskBase);

    EXPECT_EQ(ReadDiskLayout(dir_ / "absent.img", layout), kErrFileNotFound);
    EXPECT_EQ(ReadDiskLayout(dir_.Path(), layout), kErrDirectoryName);
}

// A disk the system lists without partition devices (a loop device attached without partition
// scan) is listed from its table, by the enumerator and by ReadDiskLayout alike.
TEST_F(ImageDiskTest, DiskWithoutPartitionDevicesIsListedFromItsTable) {
    // A fake system first: one disk, its "device" the image, no partition folders.
    SystemPaths paths;
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
    {
        DiskEnumerator e(paths);
        ASSERT_EQ(e.Enumerate(), 1);
        std::vector<PartitionRecord> all;
        e.AllPartitions(all);
        ExpectCardLayout(all);
        for (size_t i = 0; i < all.size(); ++i) {
            EXPECT_EQ(all[i].driveLetter, i + 1);
            EXPECT_EQ(all[i].diskNumber, 0);
            EXPECT_TRUE(all[i].removable);
        }
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
    SystemPaths real;
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
    ExpectCardLayout(layout.records);
    for (size_t i = 0; i < layout.records.size(); ++i) {
        EXPECT_EQ(layout.records[i].diskNumber, 0) << "the listed disk's own number";
        EXPECT_EQ(layout.records[i].driveLetter, i + 1) << "the enumeration's tags";
    }
}

}  // namespace
}  // namespace norvale
