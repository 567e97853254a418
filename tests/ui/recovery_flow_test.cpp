// Tests of the desktop application through its main window: the recovery window (the detail
// list names each file inside the destination folder, a full destination, an "Open Folder"
// with no file manager) and the results list (where a new search starts, the room of a wide
// window, visible keyboard focus, previews that leave no copies behind). The demo card
// (scripts/make-demo-card.sh) is scanned and recovered through the window's own buttons.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPdfWriter>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <set>

#include "app/engine_set.h"
#include "engine/data_paths.h"
#include "support/test_support.h"
#include "ui/main_wnd.h"
#include "ui/main_wnd_test_env.h"
#include "ui/message_box.h"
#include "ui/preview_pane.h"
#include "ui/process_worker.h"
#include "ui/qt_test_app.h"
#include "ui/recover_process_wnd.h"
#include "ui/results_page.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::Settle;

// The width a column's rows need (QTreeView keeps its own override of it protected).
int ColumnWidth(const QAbstractItemView* view, int column) {
    return view->sizeHintForColumn(column);
}

// The files directly in the ScanLog folder (the scan logs live in sub-folders).
std::set<std::string> LooseFilesOfTheDataFolder() {
    std::set<std::string> files;
    if (!fs::exists(ScanLogFolder())) return files;
    for (const auto& entry : fs::recursive_directory_iterator(ScanLogFolder())) {
        if (entry.is_regular_file() && entry.path().parent_path() == fs::path(ScanLogFolder()))
            files.insert(entry.path().filename().string());
    }
    return files;
}

// What the recovery window showed when its summary came up.
struct RecoveryView {
    QString destination;
    QStringList names, statuses, tips;
    QString openFailed;
    bool openFailedSelectable = false;
    QStringList unnamed;  // controls without an accessible name
};

class RecoveryFlowTest : public testing::MainWndFixture {
  protected:
    void SetUp() override {
        if (!OpenWindowOnDemoCard()) return;
        onWindow_ = [this](QDialog* window) {
            if (auto* recovery = qobject_cast<CRecoverProcessWnd*>(window)) {
                recovery->SetFolderOpener([this](const QUrl& url) {
                    opened_.push_back(url);
                    return haveFileManager_;
                });
            }
        };
        beforeFinish_ = [this](QDialog* window) { NoteSummary(window); };
    }

    // What the recovery window shows with its summary, its details opened and "Open Folder"
    // pressed (pictured when `picture_` is set).
    void NoteSummary(QDialog* window) {
        window->findChild<QPushButton*>(QStringLiteral("DetailBtn"))->click();
        window->findChild<QPushButton*>(QStringLiteral("OpenBtn"))->click();
        view_.destination = window->findChild<QLineEdit*>(QStringLiteral("TxtDestination"))->text();
        auto* list = window->findChild<QTreeWidget*>(QStringLiteral("DetailList"));
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            view_.names << list->topLevelItem(i)->text(0);
            view_.statuses << list->topLevelItem(i)->text(1);
            view_.tips << list->topLevelItem(i)->toolTip(0);
        }
        auto* failed = window->findChild<QLabel*>(QStringLiteral("TxtOpenFolderFailed"));
        if (failed->isVisibleTo(window)) view_.openFailed = failed->text();
        view_.openFailedSelectable =
            failed->textInteractionFlags().testFlag(Qt::TextSelectableByMouse);
        for (const char* name :
             {"TxtDestination", "TxtTimeLeft", "TxtOpenFolderFailed", "DetailList", "progress"}) {
            auto* control = window->findChild<QWidget*>(QString::fromLatin1(name));
            if (!control || control->accessibleName().isEmpty()) view_.unnamed << name;
        }
        if (picture_) picture_(window);
    }

    void CheckAllPhotos() {
        QTreeWidgetItem* photos = window_->Results()->CategoryNode(QStringLiteral("NodePhoto"));
        ASSERT_TRUE(photos);
        photos->setCheckState(0, Qt::Checked);
        ASSERT_GE(window_->Results()->CheckedCount(), 2u);
    }

    // Mounts a tmpfs of `size` on the destination; false (and the test skipped) where that
    // cannot be done. Unmounted when the test ends.
    bool MountTinyDestination(const char* size) {
        if (::geteuid() != 0) return false;
        fs::create_directories(dest_);
        const std::string options = std::string("size=") + size;
        if (::mount("tmpfs", dest_.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
        mounted_ = true;
        return true;
    }
    void TearDown() override {
        window_.reset();
        if (mounted_) ::umount2(dest_.c_str(), MNT_DETACH);
    }

    bool haveFileManager_ = true;
    bool mounted_ = false;
    std::function<void(QDialog*)> picture_;
    RecoveryView view_;
};

// The detail list names each file inside the destination, which the window names once; with
// no file manager "Open Folder" says where the files are, in text that can be copied.
TEST_F(RecoveryFlowTest, DetailsNameFilesInsideTheDestinationAndOpenFolderFailsAloud) {
    ScanPhotos();
    CheckAllPhotos();
    haveFileManager_ = false;
    Click("BtnRecover");
    EXPECT_TRUE(shown_.empty()) << ShownTexts();

    EXPECT_EQ(view_.destination.toStdString(), dest_);
    ASSERT_EQ(view_.names.size(), int(window_->Results()->CheckedCount()));
    EXPECT_TRUE(view_.names.contains("photo/Sommer am Fjord.png"))
        << view_.names.join(QLatin1Char('|')).toStdString();
    for (int i = 0; i < view_.names.size(); ++i) {
        EXPECT_TRUE(view_.names[i].startsWith("photo/")) << view_.names[i].toStdString();
        EXPECT_EQ(view_.statuses[i], "Success");
        EXPECT_EQ(view_.tips[i],
                  QString::fromStdString(dest_) + "/" + view_.names[i] + "\nSuccess");
    }

    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0], QUrl::fromLocalFile(QString::fromStdString(dest_)));
    EXPECT_EQ(view_.openFailed, FillFormatText(table_->Text("Messages", "MSG1343"), {dest_}));
    EXPECT_TRUE(view_.openFailed.endsWith(QString::fromStdString(dest_)));
    EXPECT_TRUE(view_.openFailedSelectable);
    EXPECT_TRUE(view_.unnamed.isEmpty()) << view_.unnamed.join(QLatin1Char(' ')).toStdString();
}

// A destination that fills up: the failed files lead the details, each named inside the
// destination with the reason beside it, and the whole path in its tip.
TEST_F(RecoveryFlowTest, AFullDestinationListsEachFailedFileWithItsReason) {
    if (!MountTinyDestination("256k")) GTEST_SKIP() << "needs root to mount a small tmpfs";
    ScanPhotos();
    CheckAllPhotos();
    answer_ = CMessageBox::kAnswerOk;  // "recover anyway" to the question about the room
    Click("BtnRecover");
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(shown_[0].text.startsWith(Text("MSG0806")));

    EXPECT_EQ(view_.destination.toStdString(), dest_);
    ASSERT_FALSE(view_.names.isEmpty());
    const QString reason = view_.statuses.first();
    EXPECT_NE(reason, "Success");
    EXPECT_FALSE(reason.contains(QString::fromStdString(dest_))) << reason.toStdString();
    int failed = 0;
    for (int i = 0; i < view_.names.size() && view_.statuses[i] != "Success"; ++i) {
        ++failed;
        EXPECT_FALSE(view_.names[i].startsWith(QString::fromStdString(dest_)))
            << view_.names[i].toStdString();
        EXPECT_TRUE(view_.tips[i].endsWith("\n" + view_.statuses[i]))
            << view_.tips[i].toStdString();
        EXPECT_TRUE(view_.tips[i].contains(view_.names[i])) << view_.tips[i].toStdString();
    }
    EXPECT_GT(failed, 0);
}

// The results page as it is looked at: a new search starts at the top with the names in view,
// whatever the last one had scrolled to; a wide window gives the path column the room beside
// the short columns; the tree of kinds and the file list show which of them has the keyboard,
// by a frame in the header colour around the one with focus.
TEST_F(RecoveryFlowTest, TheResultsStartAtTheNamesFillAWideWindowAndShowTheFocus) {
    window_->resize(760, 480);
    window_->show();
    ScanPhotos();
    Settle();
    QTreeWidget* list = window_->Results()->List();
    ASSERT_GT(list->horizontalScrollBar()->maximum(), 0) << "the list is not too narrow";
    list->horizontalScrollBar()->setValue(list->horizontalScrollBar()->maximum());

    Click("BtnPrev");
    Click("BtnScan");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    Settle();
    EXPECT_EQ(list->horizontalScrollBar()->value(), 0);
    EXPECT_EQ(list->verticalScrollBar()->value(), 0);
    // The name column is fully visible at the left edge.
    QHeaderView* header = list->header();
    EXPECT_GE(header->sectionViewportPosition(CResultsPage::kNameColumn), 0);

    window_->resize(1920, 1080);
    Settle();
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
    const int path = CResultsPage::kPathColumn;
    EXPECT_GE(header->sectionSize(path), ColumnWidth(list, path));
    EXPECT_GE(header->sectionSize(CResultsPage::kNameColumn),
              ColumnWidth(list, CResultsPage::kNameColumn));
    // No room left over beside the last column.
    const int last = CResultsPage::kColumnCount - 1;
    const int right = header->sectionViewportPosition(last) + header->sectionSize(last);
    EXPECT_NEAR(right, list->viewport()->width(), 2);

    // Back to a narrow window: the path gets narrower again, and the list scrolls.
    window_->resize(760, 480);
    Settle();
    EXPECT_GT(list->horizontalScrollBar()->maximum(), 0);

    // The keyboard's focus, in a window of middle size.
    window_->resize(900, 600);
    ShowActive();
    QTreeWidget* tree = window_->Results()->Tree();
    const QColor focusColour(0x31, 0x6D, 0x1E);
    auto frameColour = [](QWidget* view) {
        const QImage image = view->grab().toImage();
        return QColor(image.pixel(0, image.height() / 2));
    };
    tree->setFocus(Qt::TabFocusReason);
    Settle(50);
    ASSERT_TRUE(tree->hasFocus());
    EXPECT_EQ(frameColour(tree), focusColour);
    EXPECT_NE(frameColour(list), focusColour);
    EXPECT_TRUE(tree->currentItem() && tree->currentItem()->isSelected());

    list->setFocus(Qt::TabFocusReason);
    Settle(50);
    ASSERT_TRUE(list->hasFocus());
    EXPECT_EQ(frameColour(list), focusColour);
    EXPECT_NE(frameColour(tree), focusColour);
}

// Every preview of the card (pictures, a PDF, text) leaves nothing in the data folder once it
// is shown.
TEST_F(RecoveryFlowTest, PreviewsLeaveNoCopiesInTheDataFolder) {
    // A one-page PDF on the card beside the demo files.
    const QString pdf = QString::fromStdString(dir_ / "Rechnung.pdf");
    {
        QPdfWriter writer(pdf);
        QPainter painter(&writer);
        painter.drawText(QPointF(200, 200), QStringLiteral("Rechnung 42"));
    }
    ASSERT_EQ(testing::Run("MTOOLS_SKIP_CHECK=1 mcopy -i '" + card_ + "' '" + pdf.toStdString() +
                           "' ::/Documents/ && MTOOLS_SKIP_CHECK=1 mdel -i '" + card_ +
                           "' ::/Documents/Rechnung.pdf"),
              0);
    Click("ChkOffice");
    ScanPhotos();
    const std::set<std::string> before = LooseFilesOfTheDataFolder();
    CResultsPage* results = window_->Results();
    bool sawPdf = false;
    for (const char* node : {"NodePhoto", "NodeOffice"}) {
        QTreeWidgetItem* category = results->CategoryNode(QString::fromLatin1(node));
        ASSERT_TRUE(category) << node;
        results->Tree()->setCurrentItem(category);
        QTreeWidget* list = results->List();
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = list->topLevelItem(i);
            SCOPED_TRACE(row->text(CResultsPage::kNameColumn).toStdString());
            list->setCurrentItem(row);
            if (row->text(CResultsPage::kNameColumn).endsWith(".pdf", Qt::CaseInsensitive)) {
                sawPdf = true;
                EXPECT_EQ(results->Preview()->CurrentPage(), PreviewPage::kPicture);
            }
            EXPECT_EQ(LooseFilesOfTheDataFolder(), before);
            EXPECT_TRUE(results->Preview()->TempPath().empty());
        }
    }
    EXPECT_TRUE(sawPdf);
}

// Not a check: saves the recovery window after a recovery that ran out of room, with its
// details, when NORVALE_SCREENSHOTS names a folder.
TEST_F(RecoveryFlowTest, SaveRecoveryPictures) {
    NORVALE_REQUIRE_SCREENSHOTS();
    if (!MountTinyDestination("256k")) GTEST_SKIP() << "needs root to mount a small tmpfs";
    window_->resize(900, 600);
    window_->show();
    ScanPhotos();
    CheckAllPhotos();
    answer_ = CMessageBox::kAnswerOk;
    picture_ = [](QDialog* window) { SavePicture(window, "recover-no-space.png", 200); };
    Click("BtnRecover");
}

}  // namespace
}  // namespace norvale
