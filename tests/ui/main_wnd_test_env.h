#pragma once
// An empty machine for tests of the main window: under a test folder, a fake sysfs, /dev and
// mount table with no disks, and a config.ini of the test's own; the program's language files.

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>

#include "app/language_table.h"
#include "support/test_support.h"
#include "ui/main_wnd.h"

namespace norvale::testing {

// Makes the empty machine under `dir` with `config` as config.ini, points `options` at it (no
// device watching) and returns the loaded language table, which must outlive the window.
inline std::unique_ptr<LanguageTable> PrepareMainWnd(const std::string& dir,
                                                     const std::string& config,
                                                     MainWndOptions& options) {
    EXPECT_EQ(::mkdir((dir + "/sys").c_str(), 0755), 0);
    EXPECT_EQ(::mkdir((dir + "/dev").c_str(), 0755), 0);
    std::ofstream(dir + "/mountinfo").flush();
    std::ofstream(dir + "/config.ini") << config;
    auto table =
        std::make_unique<LanguageTable>(dir + "/config.ini", SourceDir() + "/src/ui/Languages");
    table->Load();
    options.table = table.get();
    options.watchDevices = false;
    options.systemPaths = SystemPaths{dir + "/sys", dir + "/dev", dir + "/mountinfo"};
    return table;
}

}  // namespace norvale::testing
