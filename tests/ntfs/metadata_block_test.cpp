// The NTFS blocks a carver must not run a file over, where mkntfs and ntfscp put them: the MFT's
// records, its mirror and the $AttrDef table are metadata; the boot sector and a file's content
// are not. (mkntfs leaves $LogFile erased, so restart pages are made by hand in the carver's
// boundary tests.)
#include "ntfs/metadata_block.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "ntfs/boot_sector.h"
#include "ntfs/ntfs_test_media.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

using namespace std::literals;

// The first LCN of the runs ntfsinfo lists for record `inode` ("LCN+LENGTH ...").
uint64_t FirstLcn(const std::string& image, uint64_t inode) {
    const std::string runs = NtfsinfoRuns(image, inode);
    const size_t plus = runs.find('+');
    if (plus == std::string::npos || runs.rfind("hole", 0) == 0) return 0;
    return std::stoull(runs.substr(0, plus));
}

TEST(NtfsMetadataBlock, FoundWhereNtfsToolsPutTheVolumesOwnBlocks) {
    if (!HaveNtfsTools()) GTEST_SKIP() << "mkntfs/ntfscp/ntfsinfo not installed";
    TempDir dir;
    const std::string image = dir / "volume.img";
    ASSERT_TRUE(MakeNtfsImage(image, 8, "-c 4096"));
    // Content that opens with a signature's first letters and names NTFS in UTF-16 later on.
    std::vector<uint8_t> content(8192, 'x');
    constexpr std::string_view head = "FIL RSTR N\0T\0F\0S\0"sv;
    std::copy(head.begin(), head.end(), content.begin());
    WriteFileBytes(dir / "note.bin", content);
    ASSERT_TRUE(NtfsCopyIn(image, dir / "note.bin", "/note.bin"));
    const uint64_t note = NtfsInode(image, "/note.bin");
    ASSERT_NE(note, 0u);
    ASSERT_NE(FirstLcn(image, note), 0u) << "the content is stored outside its record";

    const std::vector<uint8_t> bytes = ReadFileBytes(image);
    NtfsGeometry g;
    ASSERT_EQ(LoadNtfsGeometry(std::span(bytes).first(512), 0, bytes.size() / 512, 512, g), kOk);
    const auto blockAt = [&](uint64_t offset) {
        EXPECT_LE(offset + 512, bytes.size());
        return std::span(bytes).subspan(offset, 512);
    };
    for (uint64_t record = 0; record <= 11; ++record) {
        EXPECT_TRUE(IsNtfsMetadataBlock(blockAt(g.mftStartLba * 512 + record * g.recordBytes)))
            << "MFT record " << record;
    }
    EXPECT_TRUE(IsNtfsMetadataBlock(blockAt(g.mftMirrorLcn * g.clusterBytes))) << "$MFTMirr";
    const uint64_t attrDef = FirstLcn(image, 4) * g.clusterBytes;
    ASSERT_NE(attrDef, 0u);
    EXPECT_TRUE(IsNtfsMetadataBlock(blockAt(attrDef))) << "$AttrDef";

    EXPECT_FALSE(IsNtfsMetadataBlock(blockAt(0))) << "the boot sector";
    EXPECT_FALSE(IsNtfsMetadataBlock(blockAt(FirstLcn(image, note) * g.clusterBytes)))
        << "the file's content";
    // A span shorter than a signature never matches, and nothing past it is read.
    EXPECT_FALSE(IsNtfsMetadataBlock(blockAt(attrDef).first(3)));
    EXPECT_FALSE(IsNtfsMetadataBlock({}));
}

}  // namespace
}  // namespace norvale::testing
