#pragma once
// Language texts on windows: a window's controls carry the names its language section uses as
// keys (object names from the layout), so a section is applied by name. A language change is
// announced once, and every open window applies its sections again.

#include <QObject>
#include <QString>
#include <functional>
#include <string>

#include "app/language_table.h"

class QWidget;

namespace norvale {

inline QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Sets `text` on one control: its "text" property (labels, buttons, check boxes, line edits,
// actions), else its "title" property (group boxes, menus). False when it has neither.
bool SetControlText(QObject* control, const QString& text);

// Called for a key that names no object below the window, so that a window can place texts
// that belong to items rather than objects (tree nodes, list header columns).
using UnmatchedTextFn = std::function<void(const QString& key, const QString& text)>;

// For every entry of `section`, the first object below `window` whose object name equals the
// key receives the entry's text (SetControlText). Keys that name no object, message keys among
// them, are skipped or handed to `unmatched`. A key "<name>.accessibleName" sets the
// accessible name of the widget <name> instead (for controls that show no text of their own).
// Returns how many controls received a text.
int ApplySection(QWidget* window, const TextSection& section,
                 const UnmatchedTextFn& unmatched = {});
// The same for the section named `sectionName` of `table`.
int ApplySection(QWidget* window, const std::string& sectionName,
                 LanguageTable& table = LanguageTable::Instance(),
                 const UnmatchedTextFn& unmatched = {});

// Announces language changes to the windows.
class LanguageEvents : public QObject {
    Q_OBJECT
  public:
    static LanguageEvents& Instance();

  signals:
    // The texts of `LanguageTable` were read again; windows apply their sections anew.
    void languageChanged();
};

// Makes `name` the active language of `table` (LanguageTable::SetLanguage) and, unless the
// name was refused, announces the change. Returns the table's result.
Result SetLanguageAndAnnounce(const std::string& name,
                              LanguageTable& table = LanguageTable::Instance());

}  // namespace norvale
