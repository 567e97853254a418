// The results page through its own controls: the category tree and its counts, the file list
// with its icons, sorting by header clicks and pages, checks on nodes, rows and "select all"
// with the selection line, the row menu, a collection of 100,000 files; and the preview of real
// files of a FAT card image found by a scan of the main window.

#include "ui/results_page.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAudioDevice>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QMediaDevices>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "app/engine_set.h"
#include "app/format.h"
#include "support/fake_engine.h"
#include "support/test_support.h"
#include "ui/main_wnd.h"
#include "ui/main_wnd_test_env.h"
#include "ui/pagination.h"
#include "ui/preview_pane.h"
#include "ui/qt_test_app.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr uint16_t kTag = kImageTagBase + 1;

// Each item's folder is named by its location, so that paths differ from names.
class PathEngine : public testing::FakeEngine {
  public:
    Result GetItemPath(const RecoveredItem& item, std::string& out) override {
        out = "/dir" + std::to_string(item.location);
        return kOk;
    }
};

struct Shape {
    std::string name;
    uint64_t size = 1;
    uint64_t modified = 0;
    uint64_t created = 0;
    uint64_t location = 0;
    int valid = 1;
    bool folder = false;
};

RecoveredItem MakeItem(const Shape& s) {
    RecoveredItem item = testing::FakeEngine::Item(s.name, kTag);
    item.fileSize = s.size;
    item.modifiedTime = s.modified;
    item.createdTime = s.created;
    item.location = s.location;
    item.contentValid = s.valid;
    item.isFolder = s.folder ? 1 : 0;
    return item;
}

class ResultsPageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::TestApplication();
        ASSERT_EQ(::mkdir((dir_ / "sys").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((dir_ / "dev").c_str(), 0755), 0);
        std::ofstream(dir_ / "mountinfo").flush();
        std::ofstream(dir_ / "config.ini") << "[Default]\nDefaultLanguage=English\n";
        table_ = MakeTable(testing::SourceDir() + "/src/ui/Languages");
        window_ = MakeWindow(*table_);
        page_ = window_->Results();
        resultsPage_ = window_->findChild<QWidget*>(QStringLiteral("RecoverFile"));
        ASSERT_NE(resultsPage_, nullptr);
        sources_.resize(1);
        sources_[0].imagePath = dir_ / "card.img";
        sources_[0].imageTag = kTag;
        sources_[0].engine = std::make_unique<PathEngine>();
    }
    std::unique_ptr<LanguageTable> MakeTable(const std::string& languages) {
        auto table = std::make_unique<LanguageTable>(dir_ / "config.ini", languages);
        table->Load();
        return table;
    }
    // The results page lives in the main window, with the file-type page it takes its
    // options from.
    std::unique_ptr<CMainWnd> MakeWindow(LanguageTable& table) {
        MainWndOptions options;
        options.table = &table;
        options.watchDevices = false;
        options.systemPaths = SystemPaths{dir_ / "sys", dir_ / "dev", dir_ / "mountinfo"};
        // No dialog ever waits for a person: the recovery's folder picker is cancelled.
        options.hooks.pickFolder = [](QWidget*, const QString&) { return QString(); };
        options.hooks.messageBox = [](int, QWidget*, const QString&) { return 2; };
        auto window = std::make_unique<CMainWnd>(std::move(options));
        window->resize(900, 560);
        return window;
    }
    void ShowWindow() {
        window_->show();
        // The results page is shown on its tab once there are results; until then make it the
        // current page by hand so that the header has a size to click on.
        window_->findChild<QStackedWidget*>(QStringLiteral("TabPage"))
            ->setCurrentWidget(resultsPage_);
    }

    void Build(const std::vector<Shape>& shapes) {
        std::vector<RecoveredItem> items;
        for (const Shape& s : shapes) items.push_back(MakeItem(s));
        page_->Build(std::move(items), &sources_);
    }
    QTreeWidget* List() { return page_->List(); }
    QTreeWidget* Tree() { return page_->Tree(); }
    QStringList Column(int column) {
        QStringList texts;
        for (int i = 0; i < List()->topLevelItemCount(); ++i)
            texts << List()->topLevelItem(i)->text(column);
        return texts;
    }
    QTreeWidgetItem* Row(const QString& name) {
        for (int i = 0; i < List()->topLevelItemCount(); ++i) {
            if (List()->topLevelItem(i)->text(CResultsPage::kNameColumn) == name)
                return List()->topLevelItem(i);
        }
        return nullptr;
    }
    void Show(QTreeWidgetItem* node) {
        ASSERT_NE(node, nullptr);
        Tree()->setCurrentItem(node);
    }
    void ClickHeader(int column) {
        QHeaderView* header = List()->header();
        const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    }
    void ClickPageButton(const char* name) {
        auto* button = page_->Pagination()->findChild<QToolButton*>(QLatin1String(name));
        ASSERT_NE(button, nullptr) << name;
        button->click();
    }
    QString SelectionLine() {
        return resultsPage_->findChild<QLabel*>(QStringLiteral("SelectedFileInfo"))->text();
    }
    QCheckBox* Other() {
        return window_->findChild<QCheckBox*>(QStringLiteral("OptOtherFileItem"));
    }

    testing::IsolatedHome home_;
    TempDir dir_;
    std::unique_ptr<LanguageTable> table_;
    std::vector<SourceInfo> sources_;  // outlives the window that shows its items
    std::unique_ptr<CMainWnd> window_;
    CResultsPage* page_ = nullptr;
    QWidget* resultsPage_ = nullptr;
};

const std::vector<Shape> kMixed = {
    {"a.jpg", 10},     {"b.JPEG", 20}, {"c.jpg", 30},    {"d.png", 40},   {"song.mp3", 50},
    {"notes.txt", 60}, {"README", 70}, {"data.xyz", 80}, {"old.XYZ", 90},
};

TEST_F(ResultsPageTest, TreeGroupsSpellingsUnderOneNodeAndOtherKindsOnlyWhenAskedFor) {
    Other()->setChecked(false);
    Build(kMixed);
    QTreeWidgetItem* photos = page_->CategoryNode(QStringLiteral("NodePhoto"));
    ASSERT_EQ(photos->childCount(), 2);
    EXPECT_EQ(photos->child(0)->text(0), "JPEG (3)");  // jpg and jpeg: one node
    EXPECT_EQ(photos->child(1)->text(0), "PNG (1)");
    EXPECT_EQ(photos->text(0), "Photo (4)");
    EXPECT_EQ(page_->CategoryNode(QStringLiteral("NodeAudio"))->text(0), "Audio (1)");
    EXPECT_EQ(page_->CategoryNode(QStringLiteral("NodeOffice"))->text(0), "Document (1)");
    EXPECT_EQ(page_->CategoryNode(QStringLiteral("NodeOther"))->text(0), "Other (0)");
    EXPECT_EQ(page_->GroupNode("unknow"), nullptr);
    EXPECT_EQ(page_->GroupNode("xyz"), nullptr);
    // The first node with files is shown: every photo.
    EXPECT_EQ(Tree()->currentItem(), photos);
    EXPECT_EQ(List()->topLevelItemCount(), 4);

    Show(page_->GroupNode("jpg"));
    EXPECT_EQ(Column(CResultsPage::kNameColumn), (QStringList{"a.jpg", "b.JPEG", "c.jpg"}));

    Other()->setChecked(true);
    Build(kMixed);
    QTreeWidgetItem* other = page_->CategoryNode(QStringLiteral("NodeOther"));
    ASSERT_EQ(other->childCount(), 2);
    EXPECT_EQ(other->child(0)->text(0), "UNKNOW Files (1)");
    EXPECT_EQ(other->child(1)->text(0), "XYZ Files (2)");
    EXPECT_EQ(other->text(0), "Other (3)");
    Show(page_->GroupNode("xyz"));
    EXPECT_EQ(Column(CResultsPage::kNameColumn), (QStringList{"data.xyz", "old.XYZ"}));

    // A language change names the nodes anew and keeps the node shown.
    (void)table_->SetLanguage("Deutsch");
    page_->ApplyTexts();
    EXPECT_EQ(page_->CategoryNode(QStringLiteral("NodePhoto"))->text(0), "Foto (4)");
    EXPECT_EQ(Tree()->currentItem(), page_->GroupNode("xyz"));
    EXPECT_EQ(List()->topLevelItemCount(), 2);
}

TEST_F(ResultsPageTest, RowsShowTheirTextsAndDamagedFilesTheErrorIcon) {
    Other()->setChecked(true);
    Build({{"IMG_1.JPG", 2048, 133'000'000'000'000'000, 0, 7, 1},
           {"broken.jpg", 10, 0, 0, 8, 0},
           {"letter.doc", 10, 0, 0, 9, 0},
           {"DCIM", 0, 0, 0, 3, 1, true},
           {"noext", 5, 0, 0, 4, 0}});
    Show(page_->CategoryNode(QStringLiteral("NodePhoto")));
    QTreeWidgetItem* good = Row("IMG_1.JPG");
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->text(CResultsPage::kTypeColumn), "JPG");
    EXPECT_EQ(good->text(CResultsPage::kSizeColumn), FromUtf8(FormatSize(2048)));
    EXPECT_EQ(good->text(CResultsPage::kPathColumn), "/dir7");
    EXPECT_EQ(good->text(CResultsPage::kModifiedColumn),
              FromUtf8(FormatFileTime(133'000'000'000'000'000)));
    EXPECT_EQ(good->text(CResultsPage::kCreatedColumn), "    ----    ");
    EXPECT_EQ(good->checkState(CResultsPage::kCheckColumn), Qt::Unchecked);

    auto pixels = [](const QIcon& icon) { return icon.pixmap(16, 16).toImage(); };
    auto iconOf = [](const char* name) { return QIcon(FileIconResource(name)); };
    EXPECT_FALSE(pixels(iconOf("FileIcon/image.png")).isNull());
    EXPECT_EQ(pixels(good->icon(CResultsPage::kNameColumn)), pixels(iconOf("FileIcon/image.png")));
    // A file whose first data does not look like its kind carries the damage mark.
    EXPECT_EQ(pixels(Row("broken.jpg")->icon(CResultsPage::kNameColumn)),
              pixels(iconOf("FileIcon/image_error.png")));
    EXPECT_NE(pixels(iconOf("FileIcon/image.png")), pixels(iconOf("FileIcon/image_error.png")));

    // Every icon the rows can name is drawn.
    for (const char* kind : {"exe", "image", "music", "doc", "video", "zip", "default"}) {
        for (const char* form : {"", "_error"}) {
            const std::string name = std::string("FileIcon/") + kind + form + ".png";
            EXPECT_FALSE(pixels(QIcon(FileIconResource(name))).isNull()) << name;
        }
    }
    EXPECT_FALSE(pixels(iconOf("FileIcon/folder.png")).isNull());

    Show(page_->CategoryNode(QStringLiteral("NodeOffice")));
    EXPECT_EQ(pixels(Row("letter.doc")->icon(CResultsPage::kNameColumn)),
              pixels(iconOf("FileIcon/doc_error.png")));
    Show(page_->CategoryNode(QStringLiteral("NodeOther")));
    ASSERT_NE(Row("DCIM"), nullptr);
    EXPECT_EQ(Row("DCIM")->text(CResultsPage::kTypeColumn), "folder");
    EXPECT_EQ(Row("DCIM")->text(CResultsPage::kSizeColumn), "");
    EXPECT_EQ(pixels(Row("DCIM")->icon(CResultsPage::kNameColumn)),
              pixels(iconOf("FileIcon/folder.png")));
    EXPECT_EQ(Row("noext")->text(CResultsPage::kTypeColumn), "file");
    EXPECT_EQ(pixels(Row("noext")->icon(CResultsPage::kNameColumn)),
              pixels(iconOf("FileIcon/default_error.png")));
}

TEST_F(ResultsPageTest, HeaderClicksSortEveryColumnBothWays) {
    ShowWindow();
    // Sizes whose texts sort otherwise than their numbers; times likewise.
    Build({{"b.png", 900, 300, 30, 2},
           {"A.png", 10 * 1024, 100, 0, 3},
           {"c.PNG", 5, 200, 20, 1},
           {"d.jpg", 2 * 1024 * 1024, 0, 10, 10}});
    QHeaderView* header = List()->header();
    auto names = [&] { return Column(CResultsPage::kNameColumn); };

    ClickHeader(CResultsPage::kNameColumn);
    EXPECT_EQ(header->sortIndicatorSection(), CResultsPage::kNameColumn);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    EXPECT_EQ(names(), (QStringList{"A.png", "b.png", "c.PNG", "d.jpg"}));
    ClickHeader(CResultsPage::kNameColumn);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(names(), (QStringList{"d.jpg", "c.PNG", "b.png", "A.png"}));

    ClickHeader(CResultsPage::kSizeColumn);  // another column starts ascending, by number
    EXPECT_EQ(header->sortIndicatorSection(), CResultsPage::kSizeColumn);
    EXPECT_EQ(names(), (QStringList{"c.PNG", "b.png", "A.png", "d.jpg"}));
    ClickHeader(CResultsPage::kSizeColumn);
    EXPECT_EQ(names(), (QStringList{"d.jpg", "A.png", "b.png", "c.PNG"}));

    ClickHeader(CResultsPage::kPathColumn);  // "/dir1" < "/dir10" < "/dir2" < "/dir3"
    EXPECT_EQ(names(), (QStringList{"c.PNG", "d.jpg", "b.png", "A.png"}));

    ClickHeader(CResultsPage::kTypeColumn);  // "jpg" < "png" = "PNG" = "png", stable
    EXPECT_EQ(names().first(), "d.jpg");
    ClickHeader(CResultsPage::kTypeColumn);
    EXPECT_EQ(names().last(), "d.jpg");

    ClickHeader(CResultsPage::kModifiedColumn);  // a missing time first
    EXPECT_EQ(names(), (QStringList{"d.jpg", "A.png", "c.PNG", "b.png"}));
    ClickHeader(CResultsPage::kCreatedColumn);
    ClickHeader(CResultsPage::kCreatedColumn);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(names(), (QStringList{"b.png", "c.PNG", "d.jpg", "A.png"}));

    // The check column has no order; the last one stays.
    ClickHeader(CResultsPage::kCheckColumn);
    EXPECT_EQ(header->sortIndicatorSection(), CResultsPage::kCreatedColumn);
    EXPECT_EQ(names(), (QStringList{"b.png", "c.PNG", "d.jpg", "A.png"}));

    // The order holds for the next node shown.
    Show(page_->GroupNode("png"));
    EXPECT_EQ(names(), (QStringList{"b.png", "c.PNG", "A.png"}));
}

TEST_F(ResultsPageTest, PagesOfAHundredRowsKeepTheirChecks) {
    std::vector<Shape> shapes;
    for (int i = 0; i < 250; ++i) shapes.push_back({"f" + std::to_string(1000 + i) + ".jpg", 100});
    Build(shapes);
    CPaginationUI* pagination = page_->Pagination();
    EXPECT_FALSE(pagination->isHidden());
    EXPECT_EQ(pagination->Pages(), 3u);
    EXPECT_EQ(List()->topLevelItemCount(), 100);
    EXPECT_EQ(Column(CResultsPage::kNameColumn).first(), "f1000.jpg");

    Row("f1005.jpg")->setCheckState(CResultsPage::kCheckColumn, Qt::Checked);
    ClickPageButton("PageNext");
    EXPECT_EQ(page_->CurrentPage(), 1u);
    EXPECT_EQ(Column(CResultsPage::kNameColumn).first(), "f1100.jpg");
    ClickPageButton("Page3");
    EXPECT_EQ(List()->topLevelItemCount(), 50);
    EXPECT_EQ(Column(CResultsPage::kNameColumn).last(), "f1249.jpg");
    EXPECT_EQ(pagination->findChild<QToolButton*>("PageNext")->isEnabled(), false);
    ClickPageButton("Page1");
    ASSERT_NE(Row("f1005.jpg"), nullptr);
    EXPECT_EQ(Row("f1005.jpg")->checkState(CResultsPage::kCheckColumn), Qt::Checked);
    EXPECT_EQ(page_->CheckedCount(), 1u);

    // "Select all" takes every file of the node, on every page.
    auto* all = resultsPage_->findChild<QCheckBox*>(QStringLiteral("ChkAllListSel"));
    all->click();
    EXPECT_EQ(page_->CheckedCount(), 250u);
    EXPECT_EQ(SelectionLine(), "Selected files: 250 (" + FromUtf8(FormatSize(25000)) + ")");
    ClickPageButton("Page3");
    EXPECT_EQ(List()->topLevelItem(49)->checkState(CResultsPage::kCheckColumn), Qt::Checked);
    List()->topLevelItem(0)->setCheckState(CResultsPage::kCheckColumn, Qt::Unchecked);
    EXPECT_FALSE(all->isChecked());
    all->click();
    EXPECT_EQ(page_->CheckedCount(), 250u);
    all->click();
    EXPECT_EQ(page_->CheckedCount(), 0u);

    // One page of files: no page buttons.
    Build({{"one.jpg"}});
    EXPECT_TRUE(pagination->isHidden());
}

TEST_F(ResultsPageTest, NodeCheckBoxesCheckTheirFilesAndTheSelectionLineFollows) {
    Build(kMixed);
    EXPECT_EQ(SelectionLine(), "Selected files: 0 (" + FromUtf8(FormatSize(0)) + ")");
    QTreeWidgetItem* jpg = page_->GroupNode("jpg");
    QTreeWidgetItem* photos = page_->CategoryNode(QStringLiteral("NodePhoto"));
    jpg->setCheckState(0, Qt::Checked);
    EXPECT_EQ(page_->CheckedCount(), 3u);
    EXPECT_EQ(page_->CheckedBytes(), 60u);
    EXPECT_EQ(photos->checkState(0), Qt::PartiallyChecked);
    EXPECT_EQ(SelectionLine(), "Selected files: 3 (" + FromUtf8(FormatSize(60)) + ")");
    // The rows shown (every photo) follow.
    EXPECT_EQ(Row("b.JPEG")->checkState(CResultsPage::kCheckColumn), Qt::Checked);
    EXPECT_EQ(Row("d.png")->checkState(CResultsPage::kCheckColumn), Qt::Unchecked);

    Row("d.png")->setCheckState(CResultsPage::kCheckColumn, Qt::Checked);
    EXPECT_EQ(photos->checkState(0), Qt::Checked);
    EXPECT_TRUE(resultsPage_->findChild<QCheckBox*>(QStringLiteral("ChkAllListSel"))->isChecked());
    Row("a.jpg")->setCheckState(CResultsPage::kCheckColumn, Qt::Unchecked);
    EXPECT_EQ(jpg->checkState(0), Qt::PartiallyChecked);
    EXPECT_EQ(page_->CheckedBytes(), 90u);

    photos->setCheckState(0, Qt::Unchecked);
    EXPECT_EQ(page_->CheckedCount(), 0u);
    QTreeWidgetItem* audio = page_->CategoryNode(QStringLiteral("NodeAudio"));
    audio->setCheckState(0, Qt::Checked);
    ASSERT_EQ(page_->CheckedItems().size(), 1u);
    EXPECT_EQ(page_->CheckedItems()[0].Name(), "song.mp3");
    EXPECT_EQ(audio->child(0)->checkState(0), Qt::Checked);

    // Without a text in the language the layout's own wording is kept.
    ::mkdir((dir_ / "bare").c_str(), 0755);
    std::ofstream(dir_ / "bare/English.ini") << "[Messages]\nMSG0401=x\n";
    auto bare = MakeTable(dir_ / "bare");
    auto bareWindow = MakeWindow(*bare);
    EXPECT_EQ(bareWindow->findChild<QLabel*>(QStringLiteral("SelectedFileInfo"))->text(),
              "Selected " + FromUtf8(FormatSize(0)) + " in 0 file");
}

TEST_F(ResultsPageTest, RowMenuRecoversThatOneItem) {
    ShowWindow();
    Build(kMixed);
    QSignalSpy asked(page_, &CResultsPage::recoverItemRequested);
    QTreeWidgetItem* row = Row("d.png");
    ASSERT_NE(row, nullptr);
    emit List()->customContextMenuRequested(List()->visualItemRect(row).center());
    ASSERT_TRUE(page_->RowMenu()->isVisible());
    QAction* recover = page_->RowMenu()->actions().first();
    EXPECT_EQ(recover->text(), "Recover");
    recover->trigger();
    page_->RowMenu()->close();
    ASSERT_EQ(asked.count(), 1);
    EXPECT_EQ(asked[0][0].value<RecoveredItem>().Name(), "d.png");
    // Beside the rows there is nothing to recover.
    emit List()->customContextMenuRequested(QPoint(5, List()->viewport()->height() - 2));
    EXPECT_FALSE(page_->RowMenu()->isVisible());
}

TEST_F(ResultsPageTest, AHundredThousandFilesBuildWithinASecond) {
    std::vector<RecoveredItem> items;
    items.reserve(100'000);
    for (int i = 0; i < 100'000; ++i) {
        Shape s{"IMG_" + std::to_string(i) + (i % 2 ? ".jpg" : ".JPEG"), uint64_t(i)};
        items.push_back(MakeItem(s));
    }
    QElapsedTimer timer;
    timer.start();
    page_->Build(std::move(items), &sources_);
    const qint64 built = timer.elapsed();
    EXPECT_LT(built, 1000) << built << " ms";
    EXPECT_EQ(List()->topLevelItemCount(), 100);
    EXPECT_EQ(page_->Pagination()->Pages(), 1000u);
    EXPECT_EQ(page_->GroupNode("jpg")->text(0), "JPEG (100000)");

    // Checks cost the same with any number of files.
    timer.restart();
    for (int i = 0; i < 100; ++i)
        List()->topLevelItem(i)->setCheckState(CResultsPage::kCheckColumn, Qt::Checked);
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_EQ(page_->CheckedCount(), 100u);
    ClickPageButton("Page1000");
    EXPECT_EQ(List()->topLevelItemCount(), 100);
}

// ---------------------------------------------------------------------------------------------
// Preview of real files found on a card image by a scan of the main window.

using testing::PlaybackLeaksIgnored;

constexpr const char* kWordXml =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">
<w:body><w:p><w:r><w:t>Quarterly report of the harbour office</w:t></w:r></w:p></w:body>
</w:document>)";

constexpr const char* kContentTypes =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
<Override PartName="/word/document.xml"
 ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/>
</Types>)";

constexpr const char* kCardFiles[] = {
    "Harbour photo.jpg", "Harbour chart.png", "Harbour chart.pdf", "Quarterly report.docx",
    "Net bundle.zip",    "Foghorn tone.wav",  "Pier notes.txt",    "Harbour clip.mp4"};

class ResultsPreviewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::TestApplication();
        for (const char* tool : {"convert", "gs", "zip", "mkfs.fat", "mcopy", "ffmpeg"}) {
            if (!testing::HaveTool(tool)) GTEST_SKIP() << tool << " missing";
        }
        InstallEngineMakers();
        MakeCard();
        MainWndOptions options;
        table_ =
            testing::PrepareMainWnd(dir_.Path(), "[Default]\nDefaultLanguage=English\n", options);
        options.hooks.pickImageToLoad = [this](QWidget*) { return QString::fromStdString(card_); };
        options.hooks.pickFolder = [this](QWidget*, const QString&) {
            return QString::fromStdString(dest_);
        };
        options.hooks.messageBox = [this](int, QWidget*, const QString& text) {
            shown_ << text;
            return 2;
        };
        options.hooks.runProgress = [](QDialog* window, const std::function<int()>& run) {
            // The recovery window stays open for its summary: finish it once it shows.
            if (auto* finish = window->findChild<QPushButton*>(QStringLiteral("FinishBtn"))) {
                auto* poll = new QTimer(window);
                QObject::connect(poll, &QTimer::timeout, window, [finish] {
                    if (finish->isVisible()) finish->click();
                });
                poll->start(20);
            }
            return run();
        };
        window_ = std::make_unique<CMainWnd>(std::move(options));
        window_->resize(900, 560);
        window_->show();
    }

    void Write(const std::string& name, const std::string& text) {
        fs::create_directories(fs::path(files_ + "/" + name).parent_path());
        std::ofstream(files_ + "/" + name, std::ios::binary) << text;
    }
    void Sh(const std::string& command) {
        std::string out;
        ASSERT_EQ(testing::RunShell(command, &out), 0) << command << "\n" << out;
    }
    void MakeCard() {
        fs::create_directories(files_);
        const std::string f = files_ + "/";
        Sh("convert -size 120x80 gradient:red-blue '" + f + "Harbour photo.jpg'");
        Sh("convert -size 64x48 xc:green '" + f + "Harbour chart.png'");
        Write("page.ps",
              "%!PS\n/Helvetica findfont 24 scalefont setfont 72 700 moveto "
              "(Harbour chart) show showpage\n");
        Sh("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sPAPERSIZE=a4 -o '" + f +
           "Harbour chart.pdf' '" + f + "page.ps'");
        Write("docx/[Content_Types].xml", kContentTypes);
        Write("docx/word/document.xml", kWordXml);
        Sh("cd '" + f + "docx' && zip -q -X -r '" + f +
           "Quarterly report.docx' '[Content_Types].xml' word");
        Write("bundle/alpha.txt", "first");
        Write("bundle/beta.txt", "second");
        Sh("cd '" + f + "bundle' && zip -q -X '" + f + "Net bundle.zip' alpha.txt beta.txt");
        Sh("ffmpeg -loglevel error -f lavfi -i sine=frequency=440:duration=3 '" + f +
           "Foghorn tone.wav'");
        // As a phone or camera films: H.264 video with AAC sound in an MP4 file.
        Sh("ffmpeg -loglevel error -f lavfi -i testsrc=size=320x240:rate=15 -f lavfi "
           "-i sine=frequency=220 -t 3 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest '" +
           f + "Harbour clip.mp4'");
        Write("Pier notes.txt", "Pier 4: nets mended, two boats out.\n");
        // Deleted from the card, as a person who wants them back finds them; long names keep
        // their whole names in the deleted entries.
        Sh("mkfs.fat -C -F 32 '" + card_ + "' 65536 >/dev/null");
        std::string copy = "MTOOLS_SKIP_CHECK=1 mcopy -i '" + card_ + "'";
        std::string del = "MTOOLS_SKIP_CHECK=1 mdel -i '" + card_ + "'";
        for (const char* name : kCardFiles) {
            copy += " '" + f + name + "'";
            del += " '::/" + std::string(name) + "'";
        }
        Sh(copy + " ::/");
        Sh(del);
    }

    void Click(const char* name) {
        auto* button = window_->findChild<QAbstractButton*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr) << name;
        button->click();
    }

    // Selects the row of `name` under the node of `key`, which previews it.
    CPreviewPane* Preview(const std::string& key, const QString& name) {
        CResultsPage* results = window_->Results();
        QTreeWidgetItem* node = results->GroupNode(key);
        EXPECT_NE(node, nullptr) << key;
        if (!node) return nullptr;
        results->Tree()->setCurrentItem(node);
        QTreeWidget* list = results->List();
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = list->topLevelItem(i);
            if (row->text(CResultsPage::kNameColumn).compare(name, Qt::CaseInsensitive) == 0) {
                list->setCurrentItem(row);
                return results->Preview();
            }
        }
        ADD_FAILURE() << "no row " << name.toStdString();
        return nullptr;
    }

    testing::IsolatedHome home_;
    TempDir dir_;
    std::string files_ = dir_ / "files";
    std::string card_ = dir_ / "card.img";
    std::string dest_ = dir_ / "recovered";
    std::unique_ptr<LanguageTable> table_;
    QStringList shown_;
    std::unique_ptr<CMainWnd> window_;
};

TEST_F(ResultsPreviewTest, FoundFilesPreviewAsPictureTextPageArchiveSoundAndVideo) {
    Click("ChkRecoverAll");
    Click("BtnDeletedRecovery");
    Click("BtnLoadImage");
    Click("BtnScan");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage)
        << shown_.join(QLatin1Char('|')).toStdString();

    CPreviewPane* pane = Preview("jpg", "Harbour photo.jpg");
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->CurrentPage(), PreviewPage::kPicture);
    EXPECT_EQ(pane->ShownPicture().size(), QSize(120, 80));

    pane = Preview("png", "Harbour chart.png");
    EXPECT_EQ(pane->CurrentPage(), PreviewPage::kPicture);
    EXPECT_EQ(pane->ShownPicture().size(), QSize(64, 48));
    EXPECT_EQ(pane->ShownPicture().pixelColor(10, 10), QColor(0, 128, 0));

    pane = Preview("pdf", "Harbour chart.pdf");
    EXPECT_EQ(pane->CurrentPage(), PreviewPage::kPicture);
    const QImage page = pane->ShownPicture();
    ASSERT_FALSE(page.isNull());
    EXPECT_NEAR(double(page.height()) / page.width(), 297.0 / 210.0, 0.02);  // an A4 page

    pane = Preview("doc", "Quarterly report.docx");
    EXPECT_EQ(pane->CurrentPage(), PreviewPage::kText);
    EXPECT_TRUE(pane->ShownText().contains("Quarterly report of the harbour office"))
        << pane->ShownText().toStdString();

    pane = Preview("txt", "Pier notes.txt");
    EXPECT_EQ(pane->CurrentPage(), PreviewPage::kText);
    EXPECT_TRUE(pane->ShownText().startsWith("Pier 4: nets mended"));

    pane = Preview("zip", "Net bundle.zip");
    EXPECT_EQ(pane->CurrentPage(), PreviewPage::kArchive);
    QStringList entries;
    for (int i = 0; i < pane->ArchiveList()->topLevelItemCount(); ++i)
        entries << pane->ArchiveList()->topLevelItem(i)->text(0);
    EXPECT_TRUE(entries.contains("alpha.txt") && entries.contains("beta.txt"))
        << entries.join(',').toStdString();

    // Sound and video play in the pane. CTest gives the program a silent sound server; where
    // there is none, a sound says it cannot play (the sound-less run checks that) and a video
    // plays without its sound.
    {
        [[maybe_unused]] PlaybackLeaksIgnored ignored;
        const bool speakers = !QMediaDevices::audioOutputs().isEmpty();
        for (const auto& [key, name] :
             {std::pair{"wav", "Foghorn tone.wav"}, std::pair{"mp4", "Harbour clip.mp4"}}) {
            SCOPED_TRACE(name);
            if (key == std::string("wav") && !speakers) continue;
            pane = Preview(key, name);
            ASSERT_NE(pane, nullptr);
            QSignalSpy started(pane, &CPreviewPane::playbackStarted);
            QSignalSpy failed(pane, &CPreviewPane::playbackFailed);
            EXPECT_EQ(pane->CurrentPage(), PreviewPage::kMedia);
            for (int i = 0; i < 100 && started.isEmpty() && failed.isEmpty(); ++i)
                QTest::qWait(100);
            EXPECT_EQ(started.size(), 1) << pane->ShownText().toStdString();
            EXPECT_TRUE(pane->Playing());
            // A sound shows its name where a video shows its picture; both show the time.
            const auto* sound = pane->findChild<QLabel*>(QStringLiteral("PreviewSound"));
            ASSERT_NE(sound, nullptr);
            EXPECT_EQ(sound->isVisibleTo(pane), key == std::string("wav"));
            if (sound->isVisibleTo(pane)) {
                EXPECT_TRUE(sound->text().contains(name));
            }
            // Playback goes on: the clock comes to the first second of three.
            const QLabel* clock = pane->findChild<QLabel*>(QStringLiteral("PreviewClock"));
            for (int i = 0; i < 100 && !clock->text().startsWith("0:01"); ++i) QTest::qWait(100);
            EXPECT_EQ(clock->text(), QStringLiteral("0:01 / 0:03"));
            pane->Clear();
        }
    }
    // Another node empties the pane.
    window_->Results()->Tree()->setCurrentItem(window_->Results()->GroupNode("jpg"));
    EXPECT_EQ(pane->CurrentPage(), PreviewPage::kEmpty);
}

TEST_F(ResultsPreviewTest, RowMenuRecoversOneFileByteExact) {
    Click("ChkRecoverAll");
    Click("BtnDeletedRecovery");
    Click("BtnLoadImage");
    Click("BtnScan");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    CResultsPage* results = window_->Results();
    results->Tree()->setCurrentItem(results->GroupNode("doc"));
    QTreeWidget* list = results->List();
    ASSERT_EQ(list->topLevelItemCount(), 1);
    emit list->customContextMenuRequested(list->visualItemRect(list->topLevelItem(0)).center());
    ASSERT_TRUE(results->RowMenu()->isVisible());
    results->RowMenu()->actions().first()->trigger();
    results->RowMenu()->close();
    EXPECT_EQ(results->CheckedCount(), 0u);  // nothing was checked: only that file
    std::string recovered;
    for (const auto& entry : fs::recursive_directory_iterator(dest_)) {
        if (entry.is_regular_file()) {
            EXPECT_TRUE(recovered.empty()) << entry.path();
            recovered = entry.path().string();
        }
    }
    ASSERT_FALSE(recovered.empty());
    EXPECT_EQ(fs::path(recovered).filename(), "Quarterly report.docx");
    EXPECT_EQ(testing::ReadFileBytes(recovered),
              testing::ReadFileBytes(files_ + "/Quarterly report.docx"));
}

// Not a check: saves the results page with a preview of each kind for the documentation when
// NORVALE_SCREENSHOTS names a folder (scripts/ui-screenshots.sh).
TEST_F(ResultsPreviewTest, SaveResultsPictures) {
    const QString folder = qEnvironmentVariable("NORVALE_SCREENSHOTS");
    if (folder.isEmpty()) GTEST_SKIP() << "NORVALE_SCREENSHOTS not set";
    window_->resize(960, 600);
    auto save = [&](const char* name, int settleMs = 300) {
        // Let the window lay out and paint under a real display server; the picture is taken
        // from the screen, so that the video, drawn in a window of its own, is in it.
        QTest::qWait(settleMs);
        QPixmap picture = window_->screen()->grabWindow(window_->winId());
        if (picture.isNull()) picture = window_->grab();
        EXPECT_TRUE(picture.save(folder + QLatin1Char('/') + QLatin1String(name)));
    };
    Click("ChkRecoverAll");
    Click("BtnDeletedRecovery");
    Click("BtnLoadImage");
    Click("BtnScan");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    window_->Results()->GroupNode("png")->setCheckState(0, Qt::Checked);
    window_->Results()->GroupNode("zip")->setCheckState(0, Qt::Checked);

    Preview("jpg", "Harbour photo.jpg");
    save("results-picture.png");
    Preview("pdf", "Harbour chart.pdf");
    save("results-pdf.png");
    Preview("doc", "Quarterly report.docx");
    save("results-document.png");
    Preview("txt", "Pier notes.txt");
    save("results-text.png");
    Preview("zip", "Net bundle.zip");
    save("results-archive.png");
    [[maybe_unused]] PlaybackLeaksIgnored ignored;
    for (const auto& [key, name, picture] :
         {std::tuple{"mp4", "Harbour clip.mp4", "results-video.png"},
          std::tuple{"wav", "Foghorn tone.wav", "results-audio.png"}}) {
        CPreviewPane* pane = Preview(key, name);
        ASSERT_NE(pane, nullptr);
        // A second into the clip.
        const QLabel* clock = pane->findChild<QLabel*>(QStringLiteral("PreviewClock"));
        for (int i = 0; i < 100 && !clock->text().startsWith("0:01"); ++i) QTest::qWait(100);
        save(picture);
        pane->Clear();
    }
}

}  // namespace
}  // namespace norvale
