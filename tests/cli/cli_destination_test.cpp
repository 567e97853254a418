// recover and image against a destination inside the source: the card image attached as a loop
// device and mounted, the way a file manager shows an image. Needs root, losetup and mount;
// skips where the machine refuses.

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
using testing::ShellQuote;
using testing::TempDir;

const std::string kPath = "PATH=\"$PATH:/usr/sbin:/sbin\" ";

class CliDestinationInsideSource : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string out;
        // ext4: the kernel here may lack vfat, and which file system it is does not matter.
        if (RunShell(
                kPath + "truncate -s 24M " + ShellQuote(card_) + " && mkfs.ext4 -q -F " + ShellQuote(card_),
                &out) != 0)
            GTEST_SKIP() << "mkfs.ext4 needed: " << out;
        out.clear();
        if (RunShell(kPath + "losetup -f --show " + ShellQuote(card_), &out) != 0 ||
            out.rfind("/dev/loop", 0) != 0)
            GTEST_SKIP() << "this machine refuses to attach a loop device (needs root): " << out;
        loop_ = out.substr(0, out.find('\n'));
        fs::create_directories(mnt_);
        if (RunShell(kPath + "mount " + ShellQuote(loop_) + " " + ShellQuote(mnt_), &out) != 0)
            GTEST_SKIP() << "cannot mount " << loop_ << ": " << out;
        mounted_ = true;
    }
    void TearDown() override {
        std::string out;
        if (mounted_ && RunShell(kPath + "umount " + ShellQuote(mnt_), &out) != 0)
            ADD_FAILURE() << "could not unmount " << mnt_ << ": " << out;
        if (!loop_.empty() && RunShell(kPath + "losetup -d " + ShellQuote(loop_), &out) != 0)
            ADD_FAILURE() << "could not detach " << loop_ << ": " << out;
    }
    int Cli(const std::string& args, std::string* out) {
        return RunShell("'" + CliPath() + "' " + args, out);
    }

    testing::IsolatedHome home_;
    TempDir dir_;
    std::string card_ = dir_ / "card.img";
    std::string mnt_ = dir_ / "mnt";
    std::string loop_;
    bool mounted_ = false;
};

TEST_F(CliDestinationInsideSource, RecoverAndImageRefuseAMountOfTheSourceImage) {
    struct Case {
        std::string args;
        std::string destination;
        std::string mustMention;
    } cases[] = {
        {"recover " + ShellQuote(card_) + " --mode carve -q --to " + ShellQuote(mnt_ + "/rescued"),
         mnt_ + "/rescued", "is inside " + card_ + " (attached as " + loop_ + ")"},
        // Scanning the loop device itself: its mount is on the disk being read.
        {"recover " + ShellQuote(loop_) + " --mode carve -q --to " + ShellQuote(mnt_ + "/rescued"),
         mnt_ + "/rescued", "on the disk being read"},
        {"image " + ShellQuote(card_) + " -q --to " + ShellQuote(mnt_ + "/copy.img"), mnt_ + "/copy.img",
         "is inside " + card_ + " (attached as " + loop_ + ")"},
        // Not even on request: the destination is the source file itself.
        {"image " + ShellQuote(loop_) + " -q --force --allow-same-device --to " + ShellQuote(card_), card_,
         "is the image behind"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(Cli(c.args, &out), 2) << c.args << "\n" << out;
        EXPECT_NE(out.find(c.mustMention), std::string::npos) << out;
        if (c.destination != card_) {
            EXPECT_FALSE(fs::exists(c.destination)) << c.args;
        }
    }
    EXPECT_EQ(fs::file_size(card_), 24u << 20);

    // Elsewhere the same commands go ahead.
    std::string out;
    EXPECT_EQ(Cli("image " + ShellQuote(card_) + " -q --to " + ShellQuote(dir_ / "copy.img"), &out), 0)
        << out;
    EXPECT_EQ(
        Cli("recover " + ShellQuote(card_) + " --mode carve -q --to " + ShellQuote(dir_ / "rescued"), &out),
        0)
        << out;
}

}  // namespace
}  // namespace norvale
