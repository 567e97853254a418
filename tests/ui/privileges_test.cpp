// Starting again with administrator rights: the command pkexec is given carries the display
// of the user's session and passes the program's own arguments on untouched.

#include "ui/privileges.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace norvale {
namespace {

TEST(PrivilegesTest, PkexecCommandCarriesTheDisplayAndTheArgumentsUntouched) {
    QProcessEnvironment env;
    env.insert("DISPLAY", ":1");
    env.insert("WAYLAND_DISPLAY", "wayland-0");
    env.insert("XDG_RUNTIME_DIR", "/run/user/1000");
    env.insert("XAUTHORITY", "/run/user/1000/.mutter-Xwaylandauth");
    env.insert("LD_PRELOAD", "/tmp/evil.so");  // never carried into the root process
    env.insert("HOME", "/home/someone");
    const QStringList args{"--image", "a b.img", "X=1", "-i"};
    EXPECT_EQ(
        PkexecArguments("/usr/bin/norvale", args, env),
        QStringList({"/usr/bin/env", "DISPLAY=:1", "XAUTHORITY=/run/user/1000/.mutter-Xwaylandauth",
                     "WAYLAND_DISPLAY=wayland-0", "XDG_RUNTIME_DIR=/run/user/1000",
                     "/usr/bin/norvale", "--image", "a b.img", "X=1", "-i"}));

    // Unset variables are left out, not passed empty.
    QProcessEnvironment bare;
    bare.insert("WAYLAND_DISPLAY", "wayland-1");
    EXPECT_EQ(PkexecArguments("/opt/n/norvale", {}, bare, "/bin/env"),
              QStringList({"/bin/env", "WAYLAND_DISPLAY=wayland-1", "/opt/n/norvale"}));

    // env would read a program path with "=" as one more variable: refused.
    EXPECT_TRUE(PkexecArguments("/opt/a=b/norvale", {}, env).isEmpty());
}

TEST(PrivilegesTest, XCookieInTheHomeFolderIsFoundWhenNotAnnounced) {
    testing::TempDir home;
    QProcessEnvironment env;
    env.insert("DISPLAY", ":0");
    env.insert("HOME", QString::fromStdString(home.Path()));
    EXPECT_FALSE(PkexecArguments("/usr/bin/norvale", {}, env).join(' ').contains("XAUTHORITY"));
    testing::WriteFileBytes(home / ".Xauthority", {1, 2, 3});
    EXPECT_TRUE(PkexecArguments("/usr/bin/norvale", {}, env)
                    .contains(QString::fromStdString("XAUTHORITY=" + home / ".Xauthority")));
}

}  // namespace
}  // namespace norvale
