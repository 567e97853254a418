// The recovery destination against what both front ends recover from: image files on the
// test's own file system, and a partitioned disk (a loop device attached with its partitions,
// one of them mounted) where the machine lets the test attach one.

#include "app/destination_guard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "support/fake_engine.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::RunSystemTool;
using testing::ShellQuote;
using testing::TempDir;

SourceInfo ImageSource(const std::string& path, bool scanned) {
    SourceInfo s;
    s.imagePath = path;
    s.imageTag = kImageTagBase + 1;
    if (scanned) s.engine = std::make_unique<testing::FakeEngine>();
    return s;
}

SourceInfo PartitionSource(const std::string& volumeRoot, const std::string& disk) {
    SourceInfo s;
    s.partition = PartitionRecord{};
    s.partition->volumeRoot = volumeRoot;
    s.partition->diskPath = disk;
    s.partition->driveLetter = 1;
    s.engine = std::make_unique<testing::FakeEngine>();
    return s;
}

TEST(DestinationOnSources, ImageFilesAreOnlyWrittenIntoByWritingInsideThem) {
    TempDir dir;
    const std::string image = dir / "card.img";
    testing::WriteFileBytes(image, std::vector<uint8_t>(4096));
    fs::create_directories(dir / "elsewhere");
    std::vector<SourceInfo> sources;
    sources.push_back(ImageSource(image, true));

    // Beside the image, in another folder of the same file system, in a folder yet to be made.
    for (const std::string& to : {dir.Path(), dir / "elsewhere", dir / "new/below"}) {
        EXPECT_FALSE(FindDestinationOnSources(to, sources).Found()) << to;
        EXPECT_FALSE(FindDestinationOnSources(to, {}, image).Found()) << to;
    }
    // The image itself, or a path below it, is the source; the message names the image.
    for (const std::string& to : {image, image + "/rescued"}) {
        const SourceOverlap found = FindDestinationOnSources(to, sources);
        EXPECT_EQ(found.overlap.kind, OverlapKind::kSourceItself) << to;
        EXPECT_EQ(found.sourcePath, image);
        EXPECT_EQ(FindDestinationOnSources(to, {}, image).overlap.kind, OverlapKind::kSourceItself);
    }
    // A partition read through the image names the image as its disk.
    SourceInfo inImage = PartitionSource("", image);
    EXPECT_EQ(FindDestinationOnSource(image + "/x", inImage).sourcePath, image);
    EXPECT_TRUE(FindDestinationOnSource(image + "/x", inImage).Found());

    // A source that was not scanned is not recovered from; one that was, is, also when the
    // person named another medium.
    std::vector<SourceInfo> unscanned;
    unscanned.push_back(ImageSource(image, false));
    EXPECT_FALSE(FindDestinationOnSources(image + "/x", unscanned).Found());
    EXPECT_TRUE(FindDestinationOnSources(image + "/x", sources, dir / "other.img").Found());
    // A medium that does not exist overlaps nothing.
    EXPECT_FALSE(FindDestinationOnSources(dir.Path(), {}, dir / "gone.img").Found());
}

// Undoes what the test attached and mounted, last first.
class Teardown {
  public:
    ~Teardown() {
        for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
            std::string out;
            if (RunSystemTool(*it, &out) != 0) ADD_FAILURE() << "cleanup failed: " << *it << out;
        }
    }
    void Add(std::string command) { steps_.push_back(std::move(command)); }

  private:
    std::vector<std::string> steps_;
};

bool WaitForNode(const std::string& path) {
    for (int i = 0; i < 20 && !fs::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return fs::exists(path);
}

TEST(DestinationOnSources, AnotherPartitionOfTheSourceDiskIsOnTheSource) {
    if (::geteuid() != 0) GTEST_SKIP() << "attaching a partitioned loop device needs root";
    for (const char* tool : {"losetup", "sfdisk", "mkfs.ext4", "mount"})
        if (!testing::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    const std::string image = dir / "disk.img";
    std::string out;
    ASSERT_EQ(RunSystemTool("truncate -s 24M " + ShellQuote(image) +
                                " && printf 'label: dos\\nstart=2048,size=20480,type=83\\n"
                                "start=22528,size=20480,type=83\\n' | sfdisk -q " +
                                ShellQuote(image),
                            &out),
              0)
        << out;
    Teardown teardown;
    if (RunSystemTool("losetup -f -P --show " + ShellQuote(image), &out) != 0 ||
        out.rfind("/dev/loop", 0) != 0)
        GTEST_SKIP() << "this machine refuses to attach a loop device: " << out;
    const std::string disk = out.substr(0, out.find('\n'));
    teardown.Add("losetup -d " + ShellQuote(disk));
    const std::string first = disk + "p1", second = disk + "p2";
    if (!WaitForNode(first) || !WaitForNode(second))
        GTEST_SKIP() << "the kernel made no partition devices for " << disk
                     << " (loop partition scanning is off here)";
    const std::string mountPoint = dir / "mnt";
    fs::create_directories(mountPoint);
    ASSERT_EQ(RunSystemTool("mkfs.ext4 -q -F " + ShellQuote(first) + " && mount " + ShellQuote(first) + " " +
                                ShellQuote(mountPoint),
                            &out),
              0)
        << out;
    teardown.Add("umount " + ShellQuote(mountPoint));
    const std::string to = mountPoint + "/rescued";

    // The desktop app knows the partition it scanned; the command line also the disk named.
    std::vector<SourceInfo> sources;
    sources.push_back(PartitionSource(second, disk));
    SourceOverlap found = FindDestinationOnSources(to, sources);
    EXPECT_EQ(found.overlap.kind, OverlapKind::kSourceDisk);
    EXPECT_EQ(found.sourcePath, second);
    EXPECT_EQ(FindDestinationOnSources(to, {}, disk).overlap.kind, OverlapKind::kSourceDisk);
    EXPECT_EQ(FindDestinationOnSources(to, {}, second).overlap.kind, OverlapKind::kSourceDisk);
    // A stretch no partition covers is read through the disk.
    std::vector<SourceInfo> gap;
    gap.push_back(PartitionSource("", disk));
    EXPECT_EQ(FindDestinationOnSources(to, gap).sourcePath, disk);

    // Named as the destination, the scanned partition is the source itself, even where the
    // medium alone would only say "same disk" (and a flag could allow that).
    found = FindDestinationOnSources(second, sources, disk);
    EXPECT_EQ(found.overlap.kind, OverlapKind::kSourceItself);
    EXPECT_EQ(found.sourcePath, second);

    // A folder beside the image the disk is attached from is not on it.
    EXPECT_FALSE(FindDestinationOnSources(dir / "beside", sources, disk).Found());
}

}  // namespace
}  // namespace norvale
