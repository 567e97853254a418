// The main window's imaging flow against a fake card: what the save dialog returns decides
// whether an existing file may be replaced, and a link is never written through.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QStringList>
#include <filesystem>
#include <fstream>

#include "support/test_support.h"
#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui/main_wnd_test_env.h"
#include "ui/qt_test_app.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

TEST(MainWndImaging, ReplacesOnlyWhatTheDialogAskedAboutAndNeverALink) {
    testing::TestApplication();
    testing::IsolatedHome home;
    TempDir dir;
    MainWndOptions options;
    auto table =
        testing::PrepareMainWnd(dir.Path(), "[Default]\nDefaultLanguage=English\n", options);
    // A removable 64 KiB card whose device node is a plain file.
    std::vector<uint8_t> card(64 * 1024);
    for (size_t i = 0; i < card.size(); ++i) card[i] = uint8_t(i * 13 + i / 512);
    Write(dir / "sys/sdb/size", "128");
    Write(dir / "sys/sdb/dev", "8:16");
    Write(dir / "sys/sdb/removable", "1");
    Write(dir / "sys/sdb/queue/logical_block_size", "512");
    testing::WriteFileBytes(dir / "dev/sdb", card);

    const std::vector<uint8_t> earlier(4096, 0xEE), notes(700, 0x5A);
    fs::create_directories(dir / "out");
    testing::WriteFileBytes(dir / "out/earlier.img", earlier);
    testing::WriteFileBytes(dir / "out/notes.txt", notes);
    fs::create_symlink(dir / "out/notes.txt", dir / "out/link.img");

    // The dialog's answers, in turn: a link, a name completed to an existing file, then that
    // file as the dialog returns it after asking.
    QStringList answers = {QString::fromStdString(dir / "out/link.img"),
                           QString::fromStdString(dir / "out/earlier"),
                           QString::fromStdString(dir / "out/earlier.img")};
    QStringList offered;
    options.hooks.pickImageToSave = [&](QWidget*, const QString& proposed) {
        offered << proposed;
        return answers.isEmpty() ? QString() : answers.takeFirst();
    };
    QStringList shown;
    options.hooks.messageBox = [&](int, QWidget*, const QString& text) {
        shown << text;
        return 2;
    };
    options.hooks.runProgress = [](QDialog*, const std::function<int()>& run) { return run(); };
    CMainWnd window(std::move(options));
    window.findChild<QAbstractButton*>(QStringLiteral("BtnCreateImageMode"))->click();
    CDiskListUI* list = window.DiskList();
    ASSERT_GT(list->topLevelItemCount(), 0);
    list->clearSelection();
    list->topLevelItem(0)->setSelected(true);
    list->setCurrentItem(list->topLevelItem(0));
    window.findChild<QAbstractButton*>(QStringLiteral("BtnCreateImage"))->click();

    ASSERT_EQ(offered.size(), 3) << offered.join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(offered[2], QString::fromStdString(dir / "out/earlier.img"));
    ASSERT_FALSE(shown.isEmpty());
    EXPECT_EQ(shown[0], FromUtf8(table->Text("Messages", "MSG0223")));
    EXPECT_EQ(testing::ReadFileBytes(dir / "out/notes.txt"), notes);
    EXPECT_TRUE(fs::is_symlink(dir / "out/link.img"));
    EXPECT_EQ(testing::ReadFileBytes(dir / "out/earlier.img"), card);
}

}  // namespace
}  // namespace norvale
