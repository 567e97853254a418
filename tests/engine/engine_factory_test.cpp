#include "engine/engine_factory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/sector_source.h"
#include "engine/fast_ext_recovery.h"
#include "engine/file_system_registry.h"
#include "engine/recovered_item.h"
#include "engine/source_info.h"
#include "exfat/boot_region.h"
#include "fat/boot_sector.h"
#include "ntfs/boot_sector.h"
#include "support/scoped_disk_opener.h"
#include "support/scoped_file_systems.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::HaveTool;
using testing::ScopedFileSystems;
using testing::ReadFileBytes;
using testing::RunShell;
using testing::TempDir;

// Detection asks the registered probes: this program registers the parsers' own, as the front
// ends do, without the engines.
class ProbesEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        RegisterFileSystem({.kind = FileSystemKind::Ntfs, .name = "NTFS", .probe = IsNtfsBootSector});
        RegisterFileSystem(
            {.kind = FileSystemKind::Exfat, .name = "exFAT", .probe = IsExfatBootRegion});
        RegisterFileSystem({.kind = FileSystemKind::Fat, .name = "FAT", .probe = IsFatBootSector});
    }
};
[[maybe_unused]] ::testing::Environment* const kProbes =
    ::testing::AddGlobalTestEnvironment(new ProbesEnvironment);

std::vector<uint8_t> First16k(const std::string& path) {
    auto bytes = ReadFileBytes(path);
    bytes.resize(kDetectBytes);
    return bytes;
}

struct MadeVolume {
    const char* name;
    const char* command;  // %s is the image path
    FileSystemKind expected;
};

class DetectOnRealVolumes : public ::testing::TestWithParam<MadeVolume> {};

TEST_P(DetectOnRealVolumes, ClassifiesWhatTheToolMade) {
    const MadeVolume& v = GetParam();
    TempDir dir;
    std::string image = dir / "vol.img";
    std::string cmd = v.command;
    // The program that makes the volume is the command's last ("truncate ... && mkfs.ext2 ...").
    const size_t last = cmd.rfind("&& ");
    std::string tool = cmd.substr(last == std::string::npos ? 0 : last + 3);
    tool.resize(tool.find(' '));
    NORVALE_REQUIRE_TOOLS(tool.c_str());
    for (size_t at; (at = cmd.find("%s")) != std::string::npos;) cmd.replace(at, 2, image);
    std::string out;
    ASSERT_EQ(RunShell(cmd, &out), 0) << out;
    EXPECT_EQ(DetectFileSystem(First16k(image)), v.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, DetectOnRealVolumes,
    ::testing::Values(
        MadeVolume{"fat12", "mkfs.fat -C -F 12 %s 2048 >/dev/null", FileSystemKind::Fat},
        MadeVolume{"fat16", "mkfs.fat -C -F 16 %s 32768 >/dev/null", FileSystemKind::Fat},
        MadeVolume{"fat32", "mkfs.fat -C -F 32 %s 70000 >/dev/null", FileSystemKind::Fat},
        MadeVolume{"fat32_4k", "mkfs.fat -C -F 32 -S 4096 %s 300000 >/dev/null",
                   FileSystemKind::Fat},
        MadeVolume{"ntfs", "truncate -s 16M %s && mkntfs -F -Q -q %s", FileSystemKind::Ntfs},
        MadeVolume{"ntfs_4k", "truncate -s 32M %s && mkntfs -F -Q -q -s 4096 -c 4096 %s",
                   FileSystemKind::Ntfs},
        MadeVolume{"ext2", "truncate -s 8M %s && mkfs.ext2 -q -F %s", FileSystemKind::Ext},
        MadeVolume{"ext4_1k", "truncate -s 8M %s && mkfs.ext4 -q -F -b 1024 %s",
                   FileSystemKind::Ext},
        MadeVolume{"ext4", "truncate -s 64M %s && mkfs.ext4 -q -F %s", FileSystemKind::Ext},
        MadeVolume{"blank", "truncate -s 1M %s", FileSystemKind::Other}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<uint8_t> FatBootSector() {
    TempDir dir;
    std::string image = dir / "fat.img";
    EXPECT_EQ(RunShell("mkfs.fat -C -F 32 " + image + " 70000 >/dev/null"), 0);
    return First16k(image);
}

TEST(DetectFileSystem, BitLockerVolumeIsNeverFat) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    auto sector = FatBootSector();
    ASSERT_EQ(DetectFileSystem(sector), FileSystemKind::Fat);

    auto fve = sector;
    std::memcpy(fve.data() + 3, "-FVE-FS-", 8);
    DetectDetail d = DetectFileSystemDetail(fve);
    EXPECT_EQ(d.kind, FileSystemKind::Other);
    EXPECT_TRUE(d.bitLocker);

    auto togo = sector;  // BitLocker To Go keeps a FAT-looking header with this marker
    std::memset(togo.data() + 0x1E0, 'x', 8);
    std::memset(togo.data() + 0x1E8, 0xFF, 19);
    togo[0x1FB] = 0x00;
    togo[0x1FC] = 0x1F;
    togo[0x1FD] = 0x2C;
    EXPECT_EQ(DetectFileSystem(togo), FileSystemKind::Other);
    EXPECT_TRUE(DetectFileSystemDetail(togo).bitLocker);
}

TEST(DetectFileSystem, BoundaryRulesOfTheBootSectorTests) {
    NORVALE_REQUIRE_TOOLS("mkntfs", "mkfs.fat");
    TempDir dir;
    std::string image = dir / "ntfs.img";
    ASSERT_EQ(RunShell("truncate -s 16M " + image + " && mkntfs -F -Q -q " + image), 0);
    auto ntfs = First16k(image);
    ntfs[0x0B] = ntfs[0x0C] = 0;  // bytes per sector 0 still passes the NTFS test
    EXPECT_EQ(DetectFileSystem(ntfs), FileSystemKind::Ntfs);
    ntfs[0x0E] = 1;  // reserved sectors must be 0
    EXPECT_EQ(DetectFileSystem(ntfs), FileSystemKind::Other);

    // A FAT32 header whose computed cluster count passes 0x0FFFFFEF is refused.
    auto fat = FatBootSector();
    fat[0x0D] = 1;
    fat[0x20] = fat[0x21] = fat[0x22] = fat[0x23] = 0xFF;
    EXPECT_EQ(DetectFileSystem(fat), FileSystemKind::Other);
}

TEST(DetectFileSystem, ShortOrHostileBuffersAreHandled) {
    EXPECT_EQ(DetectFileSystem({}), FileSystemKind::Other);
    std::vector<uint8_t> ones(kDetectBytes, 0xFF);
    EXPECT_EQ(DetectFileSystem(ones), FileSystemKind::Other);
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    auto fat = FatBootSector();
    fat.resize(600);  // a truncated read is padded, not over-read
    EXPECT_EQ(DetectFileSystem(fat), FileSystemKind::Fat);
}

TEST(DetectFileSystem, CorpusVolumes) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    struct Case {
        const char* file;
        FileSystemKind kind;
    } cases[] = {{"fat12.raw.gz", FileSystemKind::Fat},
                 {"fat16.raw.gz", FileSystemKind::Fat},
                 {"fat_deleted_dir.raw.gz", FileSystemKind::Fat},
                 {"ntfs3.raw.gz", FileSystemKind::Ntfs},
                 {"exfat_win.raw.gz", FileSystemKind::Exfat}};
    for (const Case& c : cases) {
        std::string path = testing::CorpusImage(c.file, dir.Path());
        ASSERT_FALSE(path.empty()) << c.file;
        EXPECT_EQ(DetectFileSystem(First16k(path)), c.kind) << c.file;
    }
}

// ---------------------------------------------------------------------------------------------
// The registry: registration order is probe order; a BitLocker volume is asked of nobody.

int gProbesAsked = 0;
bool AnyVolume(std::span<const uint8_t>) {
    ++gProbesAsked;
    return true;
}
bool StartsWithX(std::span<const uint8_t> sector) {
    return !sector.empty() && sector[0] == 'X';
}

TEST(FileSystemRegistry, ProbesAreAskedInRegistrationOrderAndReplacingKeepsThePlace) {
    ScopedFileSystems registry;
    ReplaceRegisteredFileSystems({});
    std::vector<uint8_t> volume(kDetectBytes, 0);
    EXPECT_EQ(DetectFileSystem(volume), FileSystemKind::Other);  // nothing registered

    RegisterFileSystem({.kind = FileSystemKind::Exfat, .name = "exFAT", .probe = AnyVolume});
    RegisterFileSystem({.kind = FileSystemKind::Fat, .name = "FAT", .probe = AnyVolume});
    EXPECT_EQ(DetectFileSystem(volume), FileSystemKind::Exfat);
    // A second registration of a kind replaces the first where it stood.
    RegisterFileSystem({.kind = FileSystemKind::Exfat, .name = "Ex", .probe = AnyVolume});
    ASSERT_EQ(RegisteredFileSystems().size(), 2u);
    EXPECT_EQ(DetectFileSystem(volume), FileSystemKind::Exfat);
    EXPECT_STREQ(FileSystemKindName(FileSystemKind::Exfat), "Ex");
    // Ext and Other are no file systems to register.
    RegisterFileSystem({.kind = FileSystemKind::Other, .name = "Junk", .probe = AnyVolume});
    EXPECT_EQ(RegisteredFileSystems().size(), 2u);

    ReplaceRegisteredFileSystems({RegisteredFileSystems()[1], RegisteredFileSystems()[0]});
    EXPECT_EQ(DetectFileSystem(volume), FileSystemKind::Fat);

    // A BitLocker volume is never probed, whatever the probes would say.
    gProbesAsked = 0;
    std::memcpy(volume.data() + 3, "-FVE-FS-", 8);
    volume[0x1FE] = 0x55;
    volume[0x1FF] = 0xAA;
    const DetectDetail d = DetectFileSystemDetail(volume);
    EXPECT_TRUE(d.bitLocker);
    EXPECT_EQ(d.kind, FileSystemKind::Other);
    EXPECT_EQ(gProbesAsked, 0);
}

TEST(FileSystemRegistry, NamesLookupsAndStructureTestsFollowWhatIsRegistered) {
    ScopedFileSystems registry;
    ReplaceRegisteredFileSystems({});
    EXPECT_STREQ(FileSystemKindName(FileSystemKind::Exfat), "exFAT");
    EXPECT_STREQ(FileSystemKindName(FileSystemKind::Ext), "Ext");
    EXPECT_FALSE(IsRegisteredStructureSector(std::vector<uint8_t>{'X'}));

    RegisterFileSystem({.kind = FileSystemKind::Fat,
                        .name = "FAT",
                        .deletedEngineKind = kEngineFastFat,
                        .fullEngineKind = kEngineProfessionalFat,
                        .isStructureSector = StartsWithX});
    EXPECT_TRUE(IsRegisteredStructureSector(std::vector<uint8_t>{'X'}));
    EXPECT_FALSE(IsRegisteredStructureSector(std::vector<uint8_t>{'Y'}));
    EXPECT_FALSE(IsRegisteredStructureSector({}));
    ASSERT_TRUE(FileSystemOfEngineKind(kEngineProfessionalFat).has_value());
    EXPECT_EQ(FileSystemOfEngineKind(kEngineFastFat)->kind, FileSystemKind::Fat);
    EXPECT_FALSE(FileSystemOfEngineKind(kEngineFileType).has_value());
    EXPECT_FALSE(FileSystemOfKind(FileSystemKind::Ntfs).has_value());

    ReplaceRegisteredFileSystems({});
    EXPECT_FALSE(IsRegisteredStructureSector(std::vector<uint8_t>{'X'}));
}

// The factory's own NTFS test refused clusters above 64 KiB that the parser's test (the one
// detection now asks) takes: such a volume is NTFS.
TEST(DetectFileSystem, NtfsWithClustersAbove64KiBIsNtfs) {
    NORVALE_REQUIRE_TOOLS("mkntfs");
    TempDir dir;
    std::string image = dir / "ntfs.img";
    ASSERT_EQ(RunShell("truncate -s 16M " + image + " && mkntfs -F -Q -q " + image), 0);
    auto ntfs = First16k(image);
    ntfs[0x0D] = 0xF7;  // 2^9 sectors: 256 KiB clusters
    EXPECT_EQ(DetectFileSystem(ntfs), FileSystemKind::Ntfs);
    ntfs[0x0D] = 0xF0;  // 2^16 sectors: no NTFS writer's size
    EXPECT_EQ(DetectFileSystem(ntfs), FileSystemKind::Other);
}

// ---------------------------------------------------------------------------------------------
// The factory, with stand-in engines that record how they were opened.

struct OpenCall {
    std::string how;  // "disk" or "image"
    std::string path;
    int disk = -1;
    uint64_t start = 0, count = 0;
    uint16_t tag = 0;
};
std::vector<std::pair<std::string, OpenCall>> gBuilt;  // (maker, open call)

template <const char* kName>
class RecordingEngine final : public IFileRecoveryParse {
  public:
    RecordingEngine() { gBuilt.push_back({kName, {}}); }
    Result OpenImage(const std::string& p, uint16_t tag) override {
        gBuilt.back().second = {"image", p, -1, 0, 0, tag};
        return kOk;
    }
    Result OpenDisk(int d, uint64_t s, uint64_t c, uint16_t tag) override {
        gBuilt.back().second = {"disk", "", d, s, c, tag};
        return kOk;
    }
    Result SetCallbacks(ScanProgressFn, RecoverProgressFn, void*, int) override { return 0; }
    Result Scan(const char*) override { return 0; }
    Result ListChildren(const RecoveredItem*, int, std::vector<RecoveredItem>&) override {
        return 0;
    }
    Result CountFiles(const RecoveredItem*, int, int&) override { return 0; }
    uint64_t GetItemCount() override { return 0; }
    Result GetItemPath(const RecoveredItem&, std::string&) override { return 0; }
    Result RecoverItem(const RecoveredItem&, const std::string&, int) override { return 0; }
    Result SkipUsedClusters(uint64_t&, uint64_t&) override { return 0; }
    Result SetListCallback(ListProgressFn, void*) override { return 0; }
    int ListByType(const std::string&, std::vector<RecoveredItem>&) override { return 0; }
    Result BuildClusterMap() override { return 0; }
    Result ExtractForPreview(const RecoveredItem&, std::string&, uint8_t*, uint64_t&,
                             PreviewProgressFn, void*) override {
        return 0;
    }
};
constexpr char kFastFat[] = "fastFat";
constexpr char kFastNtfs[] = "fastNtfs";
constexpr char kPro[] = "professional";
template <const char* kName>
std::unique_ptr<IFileRecoveryParse> Make() {
    return std::make_unique<RecordingEngine<kName>>();
}

class FactoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gBuilt.clear();
        RegisterFileSystem({.kind = FileSystemKind::Ntfs,
                            .name = "NTFS",
                            .probe = IsNtfsBootSector,
                            .makeDeletedScan = Make<kFastNtfs>});
        RegisterFileSystem({.kind = FileSystemKind::Fat,
                            .name = "FAT",
                            .probe = IsFatBootSector,
                            .makeDeletedScan = Make<kFastFat>});
        SetFullScanCoordinatorMaker(Make<kPro>);
    }
    ScopedFileSystems registry_;
    TempDir dir_;
};

TEST_F(FactoryTest, ImageGetsTheEngineOfItsFileSystemAndMode) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    std::string fat = dir_ / "fat.img";
    ASSERT_EQ(RunShell("mkfs.fat -C -F 16 " + fat + " 32768 >/dev/null"), 0);
    auto fast = CreateRecoveryEngine(fat, 0x8001, false);
    ASSERT_NE(fast, nullptr);
    ASSERT_EQ(gBuilt.size(), 1u);
    EXPECT_EQ(gBuilt[0].first, "fastFat");
    EXPECT_EQ(gBuilt[0].second.how, "image");
    EXPECT_EQ(gBuilt[0].second.path, fat);
    EXPECT_EQ(gBuilt[0].second.tag, 0x8001);

    auto pro = CreateRecoveryEngine(fat, 0x8001, true);
    ASSERT_NE(pro, nullptr);
    EXPECT_EQ(gBuilt.back().first, "professional");

    std::string blank = dir_ / "blank.img";
    ASSERT_EQ(RunShell("truncate -s 1M " + blank), 0);
    EXPECT_EQ(CreateRecoveryEngine(blank, 0x8002, false), nullptr);  // unknown in fast mode
    EXPECT_NE(CreateRecoveryEngine(blank, 0x8002, true), nullptr);   // professional takes all
}

TEST_F(FactoryTest, ExtInFastModeScansToNothing) {
    NORVALE_REQUIRE_TOOLS("mkfs.ext4");
    std::string ext = dir_ / "ext.img";
    ASSERT_EQ(RunShell("truncate -s 8M " + ext + " && mkfs.ext4 -q -F " + ext), 0);
    auto engine = CreateRecoveryEngine(ext, 0x8001, false);
    ASSERT_NE(engine, nullptr);
    EXPECT_NE(dynamic_cast<CFastExtRecovery*>(engine.get()), nullptr);
    EXPECT_EQ(engine->Scan(nullptr), kOk);
    EXPECT_EQ(engine->GetItemCount(), 0u);
    std::vector<RecoveredItem> items;
    EXPECT_EQ(engine->ListChildren(nullptr, 0, items), kOk);
    EXPECT_TRUE(items.empty());
}

TEST_F(FactoryTest, ImagesShorterThanTheProbeOrMissingGiveNoEngine) {
    std::string small = dir_ / "small.img";
    ASSERT_EQ(RunShell("truncate -s 16383 " + small), 0);
    EXPECT_EQ(CreateRecoveryEngine(small, 0x8001, true), nullptr);
    EXPECT_EQ(CreateRecoveryEngine(dir_ / "missing.img", 0x8001, true), nullptr);
    EXPECT_EQ(CreateRecoveryEngine(dir_.Path(), 0x8001, true), nullptr);  // a folder
    EXPECT_TRUE(gBuilt.empty());
}

TEST_F(FactoryTest, MissingEngineGivesNull) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    RegisterFileSystem({.kind = FileSystemKind::Fat, .name = "FAT", .probe = IsFatBootSector});
    SetFullScanCoordinatorMaker(nullptr);
    std::string fat = dir_ / "fat.img";
    ASSERT_EQ(RunShell("mkfs.fat -C -F 16 " + fat + " 32768 >/dev/null"), 0);
    EXPECT_EQ(CreateRecoveryEngine(fat, 0x8001, false), nullptr);
}

TEST_F(FactoryTest, PartitionIsProbedAtItsStartInTheDisksSectorSize) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    std::string fat = dir_ / "fat.img";
    ASSERT_EQ(RunShell("mkfs.fat -C -F 16 -S 4096 " + fat + " 65536 >/dev/null"), 0);
    auto volume = ReadFileBytes(fat);
    // A 4096-byte-sector disk whose partition starts at LBA 256 (1 MiB).
    std::vector<uint8_t> disk(256 * 4096 + volume.size(), 0);
    std::copy(volume.begin(), volume.end(), disk.begin() + 256 * 4096);
    int opened = -1;
    testing::ScopedDiskOpener opener([&](int n, std::unique_ptr<ISectorSource>& out) {
        opened = n;
        if (n != 3) return kErrFileNotFound;
        out = std::make_unique<MemorySource>(disk, 4096);
        return kOk;
    });
    auto engine = CreateRecoveryEngine(3, 256, volume.size() / 4096, 5, false);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(opened, 3);
    EXPECT_EQ(gBuilt.back().first, "fastFat");
    EXPECT_EQ(gBuilt.back().second.how, "disk");
    EXPECT_EQ(gBuilt.back().second.start, 256u);
    EXPECT_EQ(gBuilt.back().second.tag, 5);

    EXPECT_EQ(CreateRecoveryEngine(3, 0, 10, 5, false), nullptr);   // sector 0 is blank: Other
    EXPECT_EQ(CreateRecoveryEngine(4, 256, 10, 5, true), nullptr);  // disk that cannot open
    // A partition start near the end of the disk cannot deliver 16 KiB.
    EXPECT_EQ(CreateRecoveryEngine(3, disk.size() / 4096 - 1, 1, 5, true), nullptr);
}

// ---------------------------------------------------------------------------------------------

TEST(FindEngineForItem, PartitionsAndImagesOfOneListNeverShareATag) {
    std::vector<SourceInfo> sources(3);
    PartitionRecord first;
    first.driveLetter = 1;  // position numbers start at 1 ...
    sources[0].partition = first;
    sources[0].engine = std::make_unique<CFastExtRecovery>();
    sources[1].imagePath = "/images/card.img";
    sources[1].imageTag = NextImageTag();  // ... and so does the image count, but shifted
    sources[1].engine = std::make_unique<CFastExtRecovery>();
    sources[2].imagePath = "/images/other.img";
    sources[2].imageTag = NextImageTag();
    EXPECT_NE(sources[1].Tag(), sources[0].Tag());
    EXPECT_NE(sources[2].Tag(), sources[1].Tag());

    RecoveredItem item{};
    item.sourceTag = sources[0].Tag();
    EXPECT_EQ(FindEngineForItem(sources, item), sources[0].engine.get());
    item.sourceTag = sources[2].Tag();
    EXPECT_EQ(FindEngineForItem(sources, item), sources[2].engine.get());
    item.sourceTag = 0x7777;
    EXPECT_EQ(FindEngineForItem(sources, item), nullptr);
}

TEST(FindEngineForItem, ImageWithAPartitionRecordStillUsesItsImageTag) {
    std::vector<SourceInfo> sources(1);
    sources[0].partition = PartitionRecord{};
    sources[0].partition->driveLetter = 2;
    sources[0].imagePath = "/images/card.img";
    sources[0].imageTag = 0x8005;
    sources[0].engine = std::make_unique<CFastExtRecovery>();
    RecoveredItem item{};
    item.sourceTag = 2;
    EXPECT_EQ(FindEngineForItem(sources, item), nullptr);
    item.sourceTag = 0x8005;
    EXPECT_EQ(FindEngineForItem(sources, item), sources[0].engine.get());
}

}  // namespace
}  // namespace norvale
