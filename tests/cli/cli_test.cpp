#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/test_support.h"

namespace norvale {
namespace {

using testing::CliPath;
using testing::RunShell;
using testing::TempDir;

struct CliResult {
    int code;
    std::string output;
};

CliResult Cli(const std::string& args) {
    CliResult r;
    r.code = RunShell("'" + CliPath() + "' " + args, &r.output);
    return r;
}

TEST(CliDetect, NamesTheFileSystemOfAnImage) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat", "mkntfs");
    TempDir dir;
    std::string fat = dir / "card.img";
    ASSERT_EQ(RunShell("mkfs.fat -C -F 32 " + fat + " 70000 >/dev/null"), 0);
    CliResult r = Cli("detect " + fat);
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(r.output, "FAT\n");

    std::string ntfs = dir / "ntfs.img";
    ASSERT_EQ(RunShell("truncate -s 16M " + ntfs + " && mkntfs -F -Q -q " + ntfs), 0);
    EXPECT_EQ(Cli("detect " + ntfs).output, "NTFS\n");

    testing::WriteFileBytes(dir / "blank.img", std::vector<uint8_t>(100, 0));
    EXPECT_EQ(Cli("detect " + dir / "blank.img").output, "Other\n");
}

TEST(CliDetect, SaysWhenBitLockerWasRefused) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    TempDir dir;
    std::string fat = dir / "card.img";
    ASSERT_EQ(RunShell("mkfs.fat -C -F 32 " + fat + " 70000 >/dev/null"), 0);
    ASSERT_EQ(
        RunShell("printf -- '-FVE-FS-' | dd of=" + fat + " bs=1 seek=3 conv=notrunc status=none"),
        0);
    CliResult r = Cli("detect " + fat);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.output.find("BitLocker"), std::string::npos) << r.output;
}

TEST(CliBadInput, OneClearLineAndExitCodeTwo) {
    TempDir dir;
    struct Case {
        std::string source;
        std::string mustMention;
    } cases[] = {
        {dir / "missing.img", "no such disk or file"},
        {dir.Path(), "is a folder"},
        {"/dev/null", "neither a disk nor a file"},
        {"''", "no such disk or file"},
    };
    for (const Case& c : cases) {
        CliResult r = Cli("detect " + c.source);
        EXPECT_EQ(r.code, 2) << c.source;
        EXPECT_NE(r.output.find(c.mustMention), std::string::npos) << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    }
    EXPECT_EQ(Cli("detect").code, 2);
    EXPECT_EQ(Cli("no-such-command").code, 2);
}

TEST(CliBadInput, UnreadableSourceTellsHowToGetAccess) {
    if (!testing::HaveTool("setpriv")) GTEST_SKIP() << "setpriv not available";
    TempDir dir;
    std::string image = dir / "private.img";
    testing::WriteFileBytes(image, std::vector<uint8_t>(16384, 0));
    ASSERT_EQ(RunShell("chmod 600 " + image + " && chmod 755 " + dir.Path()), 0);
    std::string cmd =
        "setpriv --reuid=65534 --regid=65534 --clear-groups '" + CliPath() + "' detect " + image;
    std::string out;
    int code = RunShell(cmd, &out);
    if (code != 2 && out.find("permission") == std::string::npos) {
        GTEST_SKIP() << "cannot drop privileges here: " << out;
    }
    EXPECT_EQ(code, 2);
    EXPECT_NE(out.find("permission denied"), std::string::npos) << out;
    EXPECT_NE(out.find(image), std::string::npos) << out;
}

TEST(CliSources, ListsAsTextAndValidJson) {
    CliResult text = Cli("sources --all");
    EXPECT_EQ(text.code, 0) << text.output;
    CliResult json = Cli("sources --all --json");
    ASSERT_EQ(json.code, 0) << json.output;
    TempDir dir;
    testing::WriteFileBytes(dir / "out.json",
                            std::vector<uint8_t>(json.output.begin(), json.output.end()));
    std::string check;
    EXPECT_EQ(RunShell("python3 -m json.tool " + dir / "out.json" + " >/dev/null", &check), 0)
        << check << json.output;
}

}  // namespace
}  // namespace norvale
