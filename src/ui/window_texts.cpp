#include "ui/window_texts.h"

#include <QMetaProperty>
#include <QWidget>

namespace norvale {

namespace {

bool SetStringProperty(QObject* object, const char* name, const QString& text) {
    const QMetaObject* meta = object->metaObject();
    const int index = meta->indexOfProperty(name);
    if (index < 0) return false;
    const QMetaProperty property = meta->property(index);
    if (!property.isWritable() || property.metaType().id() != QMetaType::QString) return false;
    return property.write(object, text);
}

}  // namespace

bool SetControlText(QObject* control, const QString& text) {
    if (!control) return false;
    return SetStringProperty(control, "text", text) || SetStringProperty(control, "title", text);
}

int ApplySection(QWidget* window, const TextSection& section, const UnmatchedTextFn& unmatched) {
    if (!window) return 0;
    int applied = 0;
    static const QLatin1String kAccessibleSuffix(".accessibleName");
    for (const auto& [key, text] : section.Entries()) {
        const QString name = FromUtf8(key);
        // "<control>.accessibleName": what a screen reader says for a control that shows no
        // text of its own (an icon, a list, a progress bar).
        if (name.endsWith(kAccessibleSuffix)) {
            auto* control = window->findChild<QWidget*>(name.chopped(kAccessibleSuffix.size()));
            if (control) {
                control->setAccessibleName(FromUtf8(text));
                ++applied;
            }
            continue;
        }
        QObject* control = window->findChild<QObject*>(name);
        if (control && SetControlText(control, FromUtf8(text))) {
            ++applied;
        } else if (!control && unmatched) {
            unmatched(name, FromUtf8(text));
        }
    }
    return applied;
}

int ApplySection(QWidget* window, const std::string& sectionName, LanguageTable& table,
                 const UnmatchedTextFn& unmatched) {
    return ApplySection(window, table.Section(sectionName), unmatched);
}

LanguageEvents& LanguageEvents::Instance() {
    static LanguageEvents events;
    return events;
}

Result SetLanguageAndAnnounce(const std::string& name, LanguageTable& table) {
    const Result r = table.SetLanguage(name);
    if (r != kErrInvalidParameter) emit LanguageEvents::Instance().languageChanged();
    return r;
}

}  // namespace norvale
