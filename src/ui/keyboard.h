#pragma once
// Keyboard use of a window beyond what the toolkit gives: Enter (Return or the keypad's Enter)
// presses the focused button, check box or tool button, as Space does. Outside dialogs the
// toolkit gives Enter to default buttons only, so a person moving with Tab would find Enter
// doing nothing. Controls that take Enter themselves (text fields, lists, trees) keep it: only
// a focused button is pressed.

#include <QObject>

class QWidget;

namespace norvale {

class EnterPressesButtons : public QObject {
    Q_OBJECT
  public:
    // Watches the key presses of `window`'s controls; lives as long as `window`.
    explicit EnterPressesButtons(QWidget* window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QWidget* window_;
};

// Installs Enter for the buttons of `window` (the main window calls it once).
void InstallKeyboardHandling(QWidget* window);

}  // namespace norvale
