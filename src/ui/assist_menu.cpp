#include "ui/assist_menu.h"

#include <QAction>
#include <QActionGroup>
#include <QUrl>

#include "app/ini_text.h"
#include "ui/window_texts.h"

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

CAssistMenu::CAssistMenu(LanguageTable& table, QWidget* parent) : QMenu(parent), table_(table) {
    setObjectName(QStringLiteral("menu_assist"));
    for (const LinkItem& link : kLinkItems) {
        QAction* action = addAction(QString());
        const QString item = QString::fromLatin1(link.item);
        action->setObjectName(item);
        connect(action, &QAction::triggered, this, [this, item] { emit linkChosen(item); });
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
    ApplyTexts();
}

void CAssistMenu::ApplyTexts() {
    ApplySection(this, "MenuWnd", table_);
    for (const LinkItem& link : kLinkItems) {
        if (auto* action = findChild<QAction*>(QString::fromLatin1(link.item)))
            action->setEnabled(ConfiguredLink(table_, action->objectName()).isValid());
    }
    FillLanguages();
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
