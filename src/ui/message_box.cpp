#include "ui/message_box.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QStyle>
#include <utility>

#include "ui/window_texts.h"
#include "ui_MessageBox_Confirm.h"
#include "ui_MessageBox_Error.h"
#include "ui_MessageBox_Information.h"
#include "ui_MessageBox_Question.h"
#include "ui_MessageBox_Warning.h"

namespace norvale {

namespace {

int KnownType(int type) {
    return type >= CMessageBox::kErrorBox && type <= CMessageBox::kQuestionBox
               ? type
               : int(CMessageBox::kErrorBox);
}

template <typename Layout>
void BuildFrom(QDialog* box) {
    Layout layout;
    layout.setupUi(box);
}

QStyle::StandardPixmap IconOf(int type) {
    switch (type) {
        case CMessageBox::kConfirmBox:
        case CMessageBox::kQuestionBox:
            return QStyle::SP_MessageBoxQuestion;
        case CMessageBox::kInformationBox:
            return QStyle::SP_MessageBoxInformation;
        case CMessageBox::kWarningBox:
            return QStyle::SP_MessageBoxWarning;
        default:
            return QStyle::SP_MessageBoxCritical;
    }
}

}  // namespace

const char* CMessageBox::LayoutName(int type) {
    switch (KnownType(type)) {
        case kConfirmBox:
            return "MessageBox_Confirm";
        case kInformationBox:
            return "MessageBox_Information";
        case kWarningBox:
            return "MessageBox_Warning";
        case kQuestionBox:
            return "MessageBox_Question";
        default:
            return "MessageBox_Error";
    }
}

const char* CMessageBox::TitleKey(int type) {
    switch (KnownType(type)) {
        case kConfirmBox:
            return "MSG0402";
        case kInformationBox:
            return "MSG0403";
        case kWarningBox:
            return "MSG0405";
        case kQuestionBox:
            return "MSG0404";
        default:
            return "MSG0401";
    }
}

CMessageBox::CMessageBox(int type, QWidget* owner, const QString& message, LanguageTable& table)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint), type_(KnownType(type)) {
    // The window keeps the class name of the skinned box; the layout's own name stays on the
    // layout file.
    setObjectName(QStringLiteral("UIMessageBox"));
    switch (type_) {
        case kConfirmBox:
            BuildFrom<Ui::MessageBox_Confirm>(this);
            break;
        case kInformationBox:
            BuildFrom<Ui::MessageBox_Information>(this);
            break;
        case kWarningBox:
            BuildFrom<Ui::MessageBox_Warning>(this);
            break;
        case kQuestionBox:
            BuildFrom<Ui::MessageBox_Question>(this);
            break;
        default:
            BuildFrom<Ui::MessageBox_Error>(this);
            break;
    }
    setModal(true);

    ApplySection(this, "MessageBox", table);
    if (type_ == kQuestionBox) {
        // A question is answered Yes or No; the answers stay those of okbtn and cancelbtn.
        const std::pair<const char*, const char*> answers[] = {{"okbtn", "yesbtn"},
                                                               {"cancelbtn", "nobtn"}};
        TextSection& texts = table.Section("MessageBox");
        for (const auto& [button, key] : answers) {
            auto* control = findChild<QAbstractButton*>(QString::fromLatin1(button));
            if (control && texts.Contains(key)) control->setText(FromUtf8(texts.Text(key)));
        }
    }
    const QString title = FromUtf8(table.Text("Messages", TitleKey(type_)));
    setWindowTitle(title);
    if (auto* label = findChild<QLabel*>(QStringLiteral("title"))) label->setText(title);
    if (auto* label = findChild<QLabel*>(QStringLiteral("message"))) label->setText(message);
    if (auto* label = findChild<QLabel*>(QStringLiteral("icon"))) {
        const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
        label->setPixmap(style()->standardIcon(IconOf(type_), nullptr, this).pixmap(side, side));
    }

    if (auto* ok = findChild<QAbstractButton*>(QStringLiteral("okbtn")))
        connect(ok, &QAbstractButton::clicked, this, [this] { done(kAnswerOk); });
    for (const char* name : {"cancelbtn", "closebtn"}) {
        if (auto* button = findChild<QAbstractButton*>(QString::fromLatin1(name)))
            connect(button, &QAbstractButton::clicked, this, [this] { done(kAnswerCancel); });
    }

    // The box draws its own title bar; dragging it moves the box.
    titleBar_ = findChild<QFrame*>(QStringLiteral("titleBar"));
    if (titleBar_) titleBar_->installEventFilter(this);

    // The layout's size is for a short message: a long one makes the box taller rather than
    // being cut off.
    if (const int needed = heightForWidth(width()); needed > height()) resize(width(), needed);
}

int CMessageBox::Show(int type, QWidget* owner, const QString& message, LanguageTable& table) {
    CMessageBox box(type, owner, message, table);
    return box.exec();
}

void CMessageBox::reject() {
    done(kAnswerCancel);
}

bool CMessageBox::eventFilter(QObject* watched, QEvent* event) {
    if (watched == titleBar_) {
        switch (event->type()) {
            case QEvent::MouseButtonPress: {
                auto* e = static_cast<QMouseEvent*>(event);
                if (e->button() == Qt::LeftButton) {
                    dragging_ = true;
                    dragOffset_ = e->globalPosition().toPoint() - frameGeometry().topLeft();
                }
                break;
            }
            case QEvent::MouseMove:
                if (dragging_)
                    move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() -
                         dragOffset_);
                break;
            case QEvent::MouseButtonRelease:
                dragging_ = false;
                break;
            default:
                break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace norvale
