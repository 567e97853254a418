#pragma once
// The assistance menu behind "BtnAssist": help, FAQ, about and support pages of the vendor,
// the offered languages (the active one marked), and exit. The menu only announces what was
// chosen; the main window acts on it.

#include <QMenu>
#include <QString>

#include "app/language_table.h"

namespace norvale {

class CAssistMenu : public QMenu {
    Q_OBJECT
  public:
    // Where the vendor's pages are configured: section "Links" of config.ini, one key per item.
    static constexpr const char* kLinksSection = "Links";

    explicit CAssistMenu(LanguageTable& table, QWidget* parent = nullptr);

    // The texts of the "MenuWnd" section and the language entries of `table`, again.
    void ApplyTexts();

    // The address configured for a link item ("item_help" ...): config.ini, section
    // kLinksSection, key "Help", "FAQ", "About" or "Support". Only http and https addresses are
    // offered: the entry is a file anyone can edit, and a browser is all the item may open.
    static QUrl ConfiguredLink(const LanguageTable& table, const QString& item);

  signals:
    void linkChosen(const QString& item);  // "item_help", "item_faq", "item_about", "item_support"
    void languageChosen(const QString& languageName);
    void exitChosen();

  private:
    void FillLanguages();

    LanguageTable& table_;
    QMenu* languages_;
};

}  // namespace norvale
