#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::CliPath;
using testing::RunShell;
using testing::TempDir;

struct CliResult {
    int code;
    std::string output;
};

CliResult Image(const std::string& args) {
    CliResult r;
    r.code = RunShell("'" + CliPath() + "' image " + args, &r.output);
    return r;
}

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 11 + (i >> 9));
    return bytes;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliImage, CopiesAnOddSizedImageByteForByte) {
    TempDir dir;
    const auto bytes = Pattern(3 * 65536 + 1000);
    testing::WriteFileBytes(dir / "card.bin", bytes);
    testing::WriteFileBytes(dir / "copy.img", std::vector<uint8_t>(1 << 20, 0xEE));
    CliResult r = Image("'" + dir / "card.bin" + "' --to '" + dir / "copy.img" + "' --force");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "Copied 386 sectors")) << r.output;
    EXPECT_EQ(RunShell("cmp '" + dir / "card.bin" + "' '" + dir / "copy.img" + "'"), 0);
}

TEST(CliImage, CopiesOnePartitionOfADiskImage) {
    TempDir dir;
    const std::string disk = dir / "disk.img";
    std::string out;
    if (RunShell("PATH=\"$PATH:/usr/sbin:/sbin\" '" + testing::SourceDir() +
                     "/scripts/make-partitioned-image.sh' '" + disk + "'",
                 &out) != 0) {
        GTEST_SKIP() << "cannot make the card image (sfdisk, mkfs.fat, mkntfs needed): " << out;
    }
    CliResult r = Image("'" + disk + "' --to '" + dir / "ntfs.img" + "' --partition 2 -q");
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(fs::file_size(dir / "ntfs.img"), 65536u * 512);
    EXPECT_EQ(RunShell("cmp -n 33554432 -i 45088768:0 '" + disk + "' '" + dir / "ntfs.img" + "'"),
              0);
    std::string detected;
    RunShell("'" + CliPath() + "' detect '" + dir / "ntfs.img" + "'", &detected);
    EXPECT_EQ(detected, "NTFS\n");

    r = Image("'" + disk + "' --to '" + dir / "x.img" + "' --partition 3");
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.output, "has no partition 3")) << r.output;
}

TEST(CliImage, RescueKeepsADdrescueMapAndContinuesFromIt) {
    TempDir dir;
    const auto bytes = Pattern(200 * 1024);
    testing::WriteFileBytes(dir / "card.bin", bytes);
    const std::string args = "'" + dir / "card.bin" + "' --to '" + dir / "copy.img" + "' -q";
    CliResult r = Image(args + " --rescue");
    ASSERT_EQ(r.code, 0) << r.output;
    ASSERT_TRUE(fs::exists(dir / "copy.img.map"));
    if (testing::HaveTool("ddrescuelog")) {
        // ddrescue's own tool reads our map and finds the rescue finished.
        EXPECT_EQ(RunShell("ddrescuelog -D '" + dir / "copy.img.map" + "'"), 0);
    }
    r = Image(args + " --rescue");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "Continued")) << r.output;

    // A plain copy would make the map describe an image it no longer matches.
    r = Image(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.output, "--rescue")) << r.output;
    EXPECT_EQ(testing::ReadFileBytes(dir / "copy.img"), bytes);
}

TEST(CliImage, AnExistingFileIsReplacedOnlyWithForceAndNeverThroughALink) {
    TempDir dir;
    const auto bytes = Pattern(100 * 1024);
    testing::WriteFileBytes(dir / "card.bin", bytes);
    const std::vector<uint8_t> earlier(64 * 1024, 0xEE), unrelated(5000, 0x5A);
    testing::WriteFileBytes(dir / "earlier.img", earlier);
    testing::WriteFileBytes(dir / "notes.txt", unrelated);
    fs::create_symlink(dir / "notes.txt", dir / "link.img");
    fs::create_symlink(dir / "made-through-link.img", dir / "dangling.img");
    const std::string src = "'" + dir / "card.bin" + "' -q --to ";

    struct Case {
        std::string args;
        std::string mustMention;
    } cases[] = {
        {src + "'" + dir / "earlier.img" + "'", "--force"},
        {src + "'" + dir / "earlier.img" + "' --rescue", "no map"},
        {src + "'" + dir / "link.img" + "' --force", "symbolic link"},
        {src + "'" + dir / "dangling.img" + "' --force --rescue", "symbolic link"},
    };
    for (const Case& c : cases) {
        CliResult r = Image(c.args);
        EXPECT_EQ(r.code, 2) << c.args << "\n" << r.output;
        EXPECT_TRUE(Contains(r.output, c.mustMention)) << r.output;
    }
    EXPECT_EQ(testing::ReadFileBytes(dir / "earlier.img"), earlier);
    EXPECT_EQ(testing::ReadFileBytes(dir / "notes.txt"), unrelated);
    EXPECT_FALSE(fs::exists(dir / "made-through-link.img"));
    EXPECT_FALSE(fs::exists(dir / "earlier.img.map"));

    CliResult r = Image(src + "'" + dir / "earlier.img" + "' --force");
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(testing::ReadFileBytes(dir / "earlier.img"), bytes);
}

TEST(CliImage, BadInputIsOneClearLineAndExitCodeTwo) {
    TempDir dir;
    testing::WriteFileBytes(dir / "card.bin", Pattern(8192));
    testing::WriteFileBytes(dir / "empty.bin", {});
    fs::create_directory(dir / "folder");
    const std::string src = "'" + dir / "card.bin" + "'";
    struct Case {
        std::string args;
        std::string mustMention;
    } cases[] = {
        {src + " --to " + src, "the source itself"},
        {src + " --to '" + dir / "folder" + "'", "is a folder"},
        {src + " --to '" + dir / "no/such.img" + "'", "does not exist"},
        {src + " --to '" + dir / "a.img" + "' --partition 1", "no partition table"},
        {"'" + dir / "empty.bin" + "' --to '" + dir / "a.img" + "'", "nothing to copy"},
        {"'" + dir / "missing.bin" + "' --to '" + dir / "a.img" + "'", "no such disk or file"},
        {"'" + dir / "folder" + "' --to '" + dir / "a.img" + "'", "is a folder"},
    };
    for (const Case& c : cases) {
        CliResult r = Image(c.args);
        EXPECT_EQ(r.code, 2) << c.args << "\n" << r.output;
        EXPECT_TRUE(Contains(r.output, c.mustMention)) << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    }
    // Partition 0 would mean the whole disk further on: refused before anything is copied.
    for (const char* number : {"0", "-1"}) {
        CliResult r = Image(src + " --to '" + dir / "a.img" + "' --partition " + number);
        EXPECT_EQ(r.code, 2) << r.output;
        EXPECT_TRUE(Contains(r.output, "numbered from 1")) << r.output;
    }
    EXPECT_FALSE(fs::exists(dir / "a.img"));
    EXPECT_EQ(Image(src).code, 2);  // --to missing
}

}  // namespace
}  // namespace norvale
