// Where the program finds its shipped files, and what shut-down cleans up.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "app/program_paths.h"
#include "app/shut_down.h"
#include "engine/data_paths.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::TempDir;

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(ProgramPaths, LanguagesBesideTheProgramWinOverAnInstalledTree) {
    TempDir root;
    ASSERT_EQ(MakeFolders(root / "bin"), kOk);
    // Neither exists: the folder beside the program is named (reads then find nothing).
    EXPECT_EQ(LanguagesDirectoryFor(root / "bin"), root / "bin/Languages/");
    // The configured data folder (bin and share not siblings) only when it has the languages.
    EXPECT_EQ(LanguagesDirectoryFor(root / "bin", root / "data/"), root / "bin/Languages/");
    ASSERT_EQ(MakeFolders(root / "data/Languages"), kOk);
    EXPECT_EQ(LanguagesDirectoryFor(root / "bin", root / "data/"), root / "data/Languages/");
    ASSERT_EQ(MakeFolders(root / "share/norvale/Languages"), kOk);
    EXPECT_EQ(LanguagesDirectoryFor(root / "bin", root / "data"),
              root / "bin/../share/norvale/Languages/");
    EXPECT_EQ(LanguagesDirectoryFor(root / "bin/"), root / "bin/../share/norvale/Languages/");
    ASSERT_EQ(MakeFolders(root / "bin/Languages"), kOk);
    EXPECT_EQ(LanguagesDirectoryFor(root / "bin"), root / "bin/Languages/");
}

TEST(ProgramPaths, ConfigLivesInTheUsersConfigFolder) {
    IsolatedHome home;
    EXPECT_EQ(ConfigFilePath(), home.ConfigHome() + "/Kestrune/config.ini");
    EXPECT_FALSE(ProgramDirectory().empty());
    EXPECT_TRUE(Exists(ProgramDirectory()));
}

TEST(ShutDown, DeletesBothPreviewFilesAndNothingElse) {
    IsolatedHome home;
    ASSERT_EQ(MakeFolders(ScanLogFolder()), kOk);
    for (const char* name : {"tmp.avi", "tmp.jpg", "keep.avi", "config"})
        std::ofstream(ScanLogFolder() + "/" + name) << "x";
    ShutDownApplication();
    EXPECT_FALSE(Exists(ScanLogFolder() + "/tmp.avi"));
    EXPECT_FALSE(Exists(ScanLogFolder() + "/tmp.jpg"));
    EXPECT_TRUE(Exists(ScanLogFolder() + "/keep.avi"));
    EXPECT_TRUE(Exists(ScanLogFolder() + "/config"));
    ShutDownApplication();  // nothing left to delete: no fault
}

pid_t StartSleeper() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

TEST(ShutDown, StopsThePlayersItStartedAndOnlyThose) {
    const pid_t player = StartSleeper();
    const pid_t forgotten = StartSleeper();
    ASSERT_GT(player, 0);
    ASSERT_GT(forgotten, 0);
    RegisterPreviewPlayer(player);
    RegisterPreviewPlayer(forgotten);
    ForgetPreviewPlayer(forgotten);
    RegisterPreviewPlayer(0);   // never "the whole process group"
    RegisterPreviewPlayer(-1);  // never "every process"
    EXPECT_EQ(StopPreviewPlayers(), 1u);

    int status = 0;
    ASSERT_EQ(::waitpid(player, &status, 0), player);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(::waitpid(forgotten, &status, WNOHANG), 0);  // still running
    ::kill(forgotten, SIGKILL);
    ::waitpid(forgotten, &status, 0);
    EXPECT_EQ(StopPreviewPlayers(), 0u);  // the list was emptied
}

}  // namespace
}  // namespace norvale
