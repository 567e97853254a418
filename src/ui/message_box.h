#pragma once
// The one modal message box every question, warning and notice goes through. Its look and
// buttons come from one of five layouts (layouts/MessageBox_*.ui), its title from the
// "Messages" section of the language table, its button texts from the "MessageBox" section.

#include <QDialog>
#include <QString>

#include "app/language_table.h"

class QFrame;

namespace norvale {

class CMessageBox : public QDialog {
    Q_OBJECT
  public:
    // Box types as callers pass them. Note the order: 3 is the warning, 4 the question box.
    enum Type : int {
        kErrorBox = 0,
        kConfirmBox = 1,
        kInformationBox = 2,
        kWarningBox = 3,
        kQuestionBox = 4,
    };
    // Modal results.
    enum Answer : int {
        kAnswerOk = 1,      // "okbtn"
        kAnswerCancel = 2,  // "cancelbtn", "closebtn", Escape or closing the window
    };

    // A box of `type` (any value outside 0..4 is an error box) over `owner` (may be null)
    // showing `message`, with its texts from `table`.
    CMessageBox(int type, QWidget* owner, const QString& message,
                LanguageTable& table = LanguageTable::Instance());

    // Shows the box modally and returns kAnswerOk or kAnswerCancel.
    static int Show(int type, QWidget* owner, const QString& message,
                    LanguageTable& table = LanguageTable::Instance());

    // The type the box shows (the given one, or kErrorBox for an unknown one).
    int BoxType() const { return type_; }
    // Layout and title key of a type: "MessageBox_Error" and "MSG0401" for kErrorBox, ...
    static const char* LayoutName(int type);
    static const char* TitleKey(int type);

  public slots:
    void reject() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    int type_;
    QFrame* titleBar_ = nullptr;
    QPoint dragOffset_;
    bool dragging_ = false;
};

}  // namespace norvale
