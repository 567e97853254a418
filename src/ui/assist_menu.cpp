#include "ui/assist_menu.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <algorithm>

#include "app/ini_text.h"
#include "engine/data_paths.h"
#include "ui/message_box.h"
#include "ui/window_texts.h"

#ifndef NORVALE_VERSION
#error "NORVALE_VERSION comes from the build (src/ui/CMakeLists.txt)"
#endif

namespace norvale {

namespace {

struct LinkItem {
    const char* item;
    const char* configKey;
};
constexpr LinkItem kLinkItems[] = {{"item_help", "Help"},
                                   {"item_faq", "FAQ"},
                                   {"item_about", "About"},
                                   {"item_support", "Support"}};

}  // namespace

QString ProgramVersion() {
    return QStringLiteral(NORVALE_VERSION);
}

CAssistMenu::CAssistMenu(LanguageTable& table, QWidget* parent) : QMenu(parent), table_(table) {
    setObjectName(QStringLiteral("menu_assist"));
    for (const LinkItem& link : kLinkItems) {
        QAction* action = addAction(QString());
        const QString item = QString::fromLatin1(link.item);
        action->setObjectName(item);
        connect(action, &QAction::triggered, this, [this, item] { OnLinkItem(item); });
    }
    addSeparator();
    languages_ = addMenu(QString());
    languages_->setObjectName(QStringLiteral("item_language"));
    addSeparator();
    QAction* exit = addAction(QString());
    exit->setObjectName(QStringLiteral("item_exit"));
    connect(exit, &QAction::triggered, this, &CAssistMenu::exitChosen);
    // The list of languages and the active one may change while the program runs.
    connect(this, &QMenu::aboutToShow, this, &CAssistMenu::FillLanguages);
    // The greyed-out items say why in their tool tips.
    setToolTipsVisible(true);
    // The button's own reset comes with the same signal; this runs after it.
    connect(this, &QMenu::aboutToHide, this, &CAssistMenu::ReleaseOpeningButtons,
            Qt::QueuedConnection);
    ApplyTexts();
}

void CAssistMenu::ApplyTexts() {
    ApplySection(this, "MenuWnd", table_);
    const QString noLink = FromUtf8(table_.Text("Messages", "MSG1367"));
    for (const LinkItem& link : kLinkItems) {
        auto* action = findChild<QAction*>(QString::fromLatin1(link.item));
        if (!action) continue;
        const bool linked = ConfiguredLink(table_, action->objectName()).isValid();
        // About is always there: with no page of the vendor it shows the About box.
        const bool about = action->objectName() == QLatin1String("item_about");
        action->setEnabled(linked || about);
        action->setToolTip(linked || about ? QString() : noLink);
    }
    FillLanguages();
}

void CAssistMenu::OnLinkItem(const QString& item) {
    if (item == QLatin1String("item_about") && !ConfiguredLink(table_, item).isValid()) {
        MakeAboutBox(parentWidget(), table_)->exec();
        return;
    }
    emit linkChosen(item);
}

void CAssistMenu::ReleaseOpeningButtons() {
    // The open menu takes the mouse: the button that opened it never hears that the pointer
    // left, and would keep its hovered look until the pointer passes over it again.
    QWidget* top = parentWidget() ? parentWidget()->window() : nullptr;
    if (!top) return;
    for (auto* button : top->findChildren<QPushButton*>()) {
        if (button->menu() != this) continue;
        button->setDown(false);
        const bool pointerOver =
            button->isVisible() && button->rect().contains(button->mapFromGlobal(QCursor::pos()));
        if (!pointerOver && button->testAttribute(Qt::WA_UnderMouse)) {
            button->setAttribute(Qt::WA_UnderMouse, false);
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(button, &leave);
        }
        button->update();
    }
}

std::unique_ptr<CMessageBox> CAssistMenu::MakeAboutBox(QWidget* owner, LanguageTable& table) {
    TextSection& messages = table.Section("Messages");
    auto text = [&messages](const char* key) { return FromUtf8(messages.Text(key)); };
    const QString body = text("MSG1362") + QLatin1Char('\n') + text("MSG1363") + QLatin1Char(' ') +
                         ProgramVersion() + QStringLiteral("\n\n") + text("MSG1364") +
                         QLatin1Char(' ') + text("MSG1365") + QStringLiteral("\n\n") +
                         text("MSG1366") + QLatin1Char('\n') + FromUtf8(ScanLogFolder());
    auto box = std::make_unique<CMessageBox>(CMessageBox::kInformationBox, owner, body, table);
    box->setObjectName(QStringLiteral("UIAboutBox"));
    const QString title = text("MSG1361");
    box->setWindowTitle(title);
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("title"))) label->setText(title);
    // The folder of the scan logs is there to be copied.
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("message")))
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // The box's layout keeps its first size; the lines of the box need more height than a
    // short message, and the folder may be long: the box grows to show all of it.
    const int width = std::max(box->width(), 460);
    const int height = box->heightForWidth(width);
    box->resize(width, std::max(box->height(), height > 0 ? height : box->sizeHint().height()));
    return box;
}

void CAssistMenu::FillLanguages() {
    languages_->clear();
    qDeleteAll(languages_->findChildren<QActionGroup*>(Qt::FindDirectChildrenOnly));
    auto* group = new QActionGroup(languages_);
    group->setExclusive(true);
    const std::string current = table_.CurrentLanguage();
    for (const OfferedLanguage& language : table_.Languages()) {
        QAction* action = languages_->addAction(FromUtf8(language.displayText));
        const QString name = FromUtf8(language.name);
        action->setObjectName(name);
        action->setCheckable(true);
        action->setChecked(language.name == current);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, name] { emit languageChosen(name); });
    }
}

QUrl CAssistMenu::ConfiguredLink(const LanguageTable& table, const QString& item) {
    const char* key = nullptr;
    for (const LinkItem& link : kLinkItems) {
        if (item == QLatin1String(link.item)) key = link.configKey;
    }
    if (!key) return {};
    const std::optional<std::string> text = ReadSmallTextFile(table.ConfigPath(), 1 << 20);
    if (!text) return {};
    const std::optional<std::string> value =
        IniValue(ParseIni(IniTextToUtf8(*text)), kLinksSection, key);
    if (!value) return {};
    const QUrl url(FromUtf8(*value), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    return url;
}

}  // namespace norvale
