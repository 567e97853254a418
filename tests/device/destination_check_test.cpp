// The destination check against real stacks: an ext4 image attached as a loop device and
// mounted, a second image stored on that volume and attached and mounted in turn, and an NTFS
// image mounted through FUSE. Needs root, losetup and mount; skips where the machine refuses.

#include "device/destination_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "device/image_destination.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::RunSystemTool;
using testing::ShellQuote;
using testing::TempDir;


// Undoes what a test attached and mounted, last first, whatever happened in between. A loop
// device lets go of its backing file a moment after `losetup -d`, so the volume holding that
// file can still be busy: each step is tried again for a few seconds.
class Teardown {
  public:
    ~Teardown() {
        for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
            std::string out;
            int tries = 0;
            while (RunSystemTool(*it, &out) != 0 && ++tries < 50) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                out.clear();
            }
            if (tries == 50) ADD_FAILURE() << "cleanup failed: " << *it << ": " << out;
        }
    }
    void Add(std::string command) { steps_.push_back(std::move(command)); }

  private:
    std::vector<std::string> steps_;
};

// Makes an ext4 image of `mib` MiB, attaches it and mounts it at `mountPoint`; returns the loop
// device, or "" with `why` set.
std::string AttachAndMount(const std::string& image, int mib, const std::string& mountPoint,
                           Teardown& teardown, std::string& why) {
    if (RunSystemTool("truncate -s " + std::to_string(mib) + "M " + ShellQuote(image) + " && mkfs.ext4 -q -F " +
               ShellQuote(image),
           &why) != 0)
        return {};
    std::string out;
    if (RunSystemTool("losetup -f --show " + ShellQuote(image), &out) != 0 || out.rfind("/dev/loop", 0) != 0) {
        why = "this machine refuses to attach a loop device (needs root): " + out;
        return {};
    }
    const std::string device = out.substr(0, out.find('\n'));
    teardown.Add("losetup -d " + ShellQuote(device));
    fs::create_directories(mountPoint);
    if (RunSystemTool("mount " + ShellQuote(device) + " " + ShellQuote(mountPoint), &why) != 0) return {};
    teardown.Add("umount " + ShellQuote(mountPoint));
    return device;
}

TEST(DestinationCheckOnLoopDevices, VolumesAttachedFromTheSourceAreOnTheSource) {
    TempDir dir;
    Teardown teardown;
    std::string why;
    const std::string outer = dir / "outer.img";
    const std::string outerMnt = dir / "outer";
    const std::string outerLoop = AttachAndMount(outer, 32, outerMnt, teardown, why);
    if (outerLoop.empty()) GTEST_SKIP() << why;
    // A second image stored on the first volume, attached and mounted in turn.
    const std::string inner = outerMnt + "/inner.img";
    const std::string innerMnt = dir / "inner";
    const std::string innerLoop = AttachAndMount(inner, 8, innerMnt, teardown, why);
    if (innerLoop.empty()) GTEST_SKIP() << why;
    // The same image under another name: the check goes by device and inode, not by path.
    ASSERT_EQ(::link(outer.c_str(), (dir / "same-as-outer.img").c_str()), 0);
    testing::WriteFileBytes(dir / "other.img", std::vector<uint8_t>(4096, 1));

    struct Case {
        std::string destination, source;
        OverlapKind kind;
        std::string through;
    } cases[] = {
        // The reported loss: recovering an image into a mount of that same image.
        {outerMnt + "/rescued/photos", outer, OverlapKind::kSourceImage, outerLoop},
        {outerMnt + "/rescued", dir / "same-as-outer.img", OverlapKind::kSourceImage, outerLoop},
        // Through two loop devices: the inner image is stored inside the outer one.
        {innerMnt + "/rescued", outer, OverlapKind::kSourceImage, innerLoop},
        {innerMnt + "/rescued", inner, OverlapKind::kSourceImage, innerLoop},
        {innerMnt + "/rescued", outerLoop, OverlapKind::kSourceDisk, innerLoop},
        {outerMnt + "/rescued", outerLoop, OverlapKind::kSourceDisk, ""},
        // A loop device scanned as a disk, and a mount of it.
        {innerMnt + "/card.img", innerLoop, OverlapKind::kSourceDisk, ""},
        // The image itself, or a path that would have to be made inside it.
        {outer, outer, OverlapKind::kSourceItself, ""},
        {outer + "/rescued", outerLoop, OverlapKind::kSourceItself, ""},
        {innerLoop, innerLoop, OverlapKind::kSourceItself, ""},
        // Beside an image is not inside it.
        {outerMnt + "/rescued", inner, OverlapKind::kNone, ""},
        {outerMnt + "/rescued", innerLoop, OverlapKind::kNone, ""},
        {dir / "rescued", outer, OverlapKind::kNone, ""},
        {outerMnt + "/rescued", dir / "other.img", OverlapKind::kNone, ""},
    };
    for (const Case& c : cases) {
        const DestinationOverlap o = FindDestinationOverlap(c.destination, c.source);
        EXPECT_EQ(o.kind, c.kind) << c.destination << " from " << c.source;
        EXPECT_EQ(o.through, c.through) << c.destination << " from " << c.source;
    }

    // A second loop device on the outer image, not mounted: scanning it and writing into the
    // mount of the first one reaches the same file.
    std::string out;
    ASSERT_EQ(RunSystemTool("losetup -f --show -r " + ShellQuote(outer), &out), 0) << out;
    const std::string second = out.substr(0, out.find('\n'));
    teardown.Add("losetup -d " + ShellQuote(second));
    const DestinationOverlap o = FindDestinationOverlap(outerMnt + "/rescued", second);
    EXPECT_EQ(o.kind, OverlapKind::kSourceImage);
    EXPECT_EQ(DescribeOverlap(o, outerMnt + "/rescued", second),
              outerMnt + "/rescued is inside " + fs::canonical(outer).string() + " (attached as " +
                  outerLoop + "), the image behind " + second);

    // The callers that know the source only by its device number, and the image facts.
    struct stat st {};
    ASSERT_EQ(::stat(outerLoop.c_str(), &st), 0);
    EXPECT_TRUE(FolderOnSourceDisk(innerMnt + "/rescued", st.st_rdev));
    DestinationFacts facts;
    ASSERT_EQ(GatherDestinationFacts(innerMnt + "/copy.img", outer, facts), kOk);
    EXPECT_TRUE(facts.onSourceDevice);
    EXPECT_EQ(CheckImageDestination(facts, 4096), DestinationVerdict::kSameDevice);
}

TEST(DestinationCheckOnFuse, AVolumeIsOnTheImageOrDeviceItWasMountedFrom) {
    if (!testing::HaveTool("mkntfs") || !testing::HaveTool("ntfs-3g"))
        GTEST_SKIP() << "mkntfs and ntfs-3g needed";
    TempDir dir;
    const std::string image = dir / "ntfs.img";
    const std::string mnt = dir / "mnt";
    std::string out;
    ASSERT_EQ(RunSystemTool("truncate -s 16M " + ShellQuote(image) + " && mkntfs -q -F -Q " + ShellQuote(image), &out),
              0)
        << out;
    fs::create_directories(mnt);
    if (RunSystemTool("ntfs-3g " + ShellQuote(image) + " " + ShellQuote(mnt), &out) != 0)
        GTEST_SKIP() << "cannot mount through FUSE here: " << out;
    Teardown teardown;
    teardown.Add("umount " + ShellQuote(mnt));
    // FUSE volumes have no block device of their own; the mount table names the image.
    const DestinationOverlap o = FindDestinationOverlap(mnt + "/rescued", image);
    EXPECT_EQ(o.kind, OverlapKind::kSourceImage);
    EXPECT_EQ(FindDestinationOverlap(dir / "rescued", image).kind, OverlapKind::kNone);

    // ntfs-3g on a card reader's device: the mount table names the device.
    const std::string card = dir / "card.img";
    ASSERT_EQ(RunSystemTool("truncate -s 16M " + ShellQuote(card) + " && mkntfs -q -F -Q " + ShellQuote(card), &out), 0)
        << out;
    out.clear();
    if (RunSystemTool("losetup -f --show " + ShellQuote(card), &out) != 0 || out.rfind("/dev/loop", 0) != 0)
        GTEST_SKIP() << "this machine refuses to attach a loop device (needs root): " << out;
    const std::string loop = out.substr(0, out.find('\n'));
    teardown.Add("losetup -d " + ShellQuote(loop));
    fs::create_directories(dir / "card");
    ASSERT_EQ(RunSystemTool("ntfs-3g " + ShellQuote(loop) + " " + ShellQuote(dir / "card"), &out), 0) << out;
    teardown.Add("umount " + ShellQuote(dir / "card"));
    EXPECT_EQ(FindDestinationOverlap(dir / "card/rescued", loop).kind, OverlapKind::kSourceDisk);
    EXPECT_EQ(FindDestinationOverlap(dir / "card/rescued", card).kind, OverlapKind::kSourceImage);
    EXPECT_EQ(FindDestinationOverlap(dir / "card/rescued", image).kind, OverlapKind::kNone);
}

}  // namespace
}  // namespace norvale
