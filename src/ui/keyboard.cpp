#include "ui/keyboard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace norvale {

EnterPressesButtons::EnterPressesButtons(QWidget* window) : QObject(window), window_(window) {
    // The key goes to the focused control, whichever it is: watching the application sees it
    // before a control of the window has used or passed it on.
    qApp->installEventFilter(this);
}

bool EnterPressesButtons::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
    // Ctrl+Enter, Alt+Enter and the like stay with whoever wants them.
    if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
    auto* button = qobject_cast<QAbstractButton*>(watched);
    if (!button || button->window() != window_ || !button->hasFocus()) return false;
    if (!button->isEnabled() || !button->isVisible()) return false;
    // One press per key stroke: the release and a held key's repeats are swallowed.
    if (event->type() == QEvent::KeyPress && !key->isAutoRepeat()) button->click();
    return true;
}

void InstallKeyboardHandling(QWidget* window) {
    new EnterPressesButtons(window);
}

}  // namespace norvale
