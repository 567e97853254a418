#include "device/disk_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

class DiskTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        paths_.sysBlock = dir_ / "sys/block";
        paths_.devDir = dir_ / "dev";
        paths_.mountInfo = dir_ / "mountinfo";
        fs::create_directories(paths_.sysBlock);
        fs::create_directories(paths_.devDir);
        saved_ = CurrentSystemPaths();
        SetSystemPaths(paths_);
    }
    void TearDown() override { SetSystemPaths(saved_); }

    void AddDisk(const std::string& name) {
        fs::create_directories(paths_.sysBlock + "/" + name);
        std::ofstream(paths_.devDir + "/" + name) << "";
    }
    void AddLoop(const std::string& name, const std::string& backing) {
        AddDisk(name);
        fs::create_directories(paths_.sysBlock + "/" + name + "/loop");
        std::ofstream(paths_.sysBlock + "/" + name + "/loop/backing_file") << backing;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const auto& d : ListWholeDisks(paths_)) names.push_back(d.kernelName);
        return names;
    }

    TempDir dir_;
    SystemPaths paths_;
    SystemPaths saved_;
};

TEST_F(DiskTableTest, WholeDisksInFamilyAndNaturalOrderWithoutInternals) {
    for (const char* name :
         {"sdaa",    "sdb",     "sda",          "sdz",         "mmcblk10",  "mmcblk2", "nvme1n1",
          "nvme0n2", "nvme0n1", "vdb",          "vda",         "ram0",      "zram0",   "dm-0",
          "md127",   "sr0",     "mmcblk2boot0", "mmcblk2rpmb", "nvme0c0n1", "sda1",    "loop1"}) {
        AddDisk(name);
    }
    AddLoop("loop10", "/images/b.img\n");
    AddLoop("loop2", "/images/a.img\n");
    AddLoop("loop3", "");  // detached: no backing file
    EXPECT_EQ(Names(), (std::vector<std::string>{"sda", "sdb", "sdz", "sdaa", "mmcblk2", "mmcblk10",
                                                 "nvme0n1", "nvme0n2", "nvme1n1", "vda", "vdb",
                                                 "loop2", "loop10"}));
}

TEST_F(DiskTableTest, NumbersAndPathsTranslateBothWays) {
    AddDisk("sdc");
    AddDisk("sda");
    AddDisk("mmcblk0");
    std::string path;
    ASSERT_EQ(DiskDevicePath(2, path), kOk);
    EXPECT_EQ(path, paths_.devDir + "/mmcblk0");
    EXPECT_EQ(DiskDevicePath(3, path), kErrFileNotFound);
    EXPECT_EQ(DiskDevicePath(-1, path), kErrFileNotFound);

    EXPECT_EQ(DiskNumberOfPath(paths_.devDir + "/sdc"), 1);
    // Another name for the same node, as /dev/disk/by-id gives.
    fs::create_directories(dir_ / "by-id");
    fs::create_symlink(paths_.devDir + "/sdc", dir_ / "by-id/usb-Card_Reader");
    EXPECT_EQ(DiskNumberOfPath(dir_ / "by-id/usb-Card_Reader"), 1);
    EXPECT_EQ(DiskNumberOfPath(paths_.devDir + "/sdc1"), -1);
    EXPECT_EQ(DiskNumberOfPath(""), -1);
}

}  // namespace
}  // namespace norvale
