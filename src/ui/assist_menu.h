#pragma once
// The assistance menu behind "BtnAssist": help, FAQ, about and support pages of the vendor,
// the offered languages (the active one marked), and exit. The menu announces what was chosen
// and the main window acts on it; only "About" with no page configured is answered here, by
// the About box.

#include <QMenu>
#include <QString>
#include <memory>

#include "app/language_table.h"

namespace norvale {

class CMessageBox;

// The program's version, as the build gives it ("0.1.0").
QString ProgramVersion();

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

    // The About box over `owner`: the program's name, version and licence and the folder of
    // the scan logs, as text that can be selected and copied. Not shown yet.
    static std::unique_ptr<CMessageBox> MakeAboutBox(QWidget* owner, LanguageTable& table);

  signals:
    void linkChosen(const QString& item);  // "item_help", "item_faq", "item_about", "item_support"
    void languageChosen(const QString& languageName);
    void exitChosen();

  private:
    void FillLanguages();
    void OnLinkItem(const QString& item);
    // The buttons that open this menu lose the pressed and hovered look the open menu left.
    void ReleaseOpeningButtons();

    LanguageTable& table_;
    QMenu* languages_;
};

}  // namespace norvale
