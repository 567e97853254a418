#include "ui/pagination.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <algorithm>
#include <vector>

namespace norvale {

namespace {

constexpr size_t kGap = size_t(-1);

// The pages that get a button: the first, the last and the neighbours of the current one;
// kGap where pages are left out.
std::vector<size_t> ShownPages(size_t pages, size_t current) {
    std::vector<size_t> shown;
    const size_t from =
        current > CPaginationUI::kNeighbours ? current - CPaginationUI::kNeighbours : 0;
    const size_t to = std::min(pages - 1, current + CPaginationUI::kNeighbours);
    if (from > 0) shown.push_back(0);
    if (from > 1) shown.push_back(kGap);
    for (size_t p = from; p <= to; ++p) shown.push_back(p);
    if (to + 2 < pages) shown.push_back(kGap);
    if (to + 1 < pages) shown.push_back(pages - 1);
    return shown;
}

}  // namespace

CPaginationUI::CPaginationUI(QWidget* parent) : QWidget(parent) {
    layout_ = new QHBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(2);
    setStyleSheet(QStringLiteral(
        "QToolButton { min-width: 22px; padding: 1px 4px; border: 1px solid transparent; "
        "border-radius: 3px; }"
        "QToolButton:hover { border-color: #B8C0C8; }"
        "QToolButton:checked { background: #316D1E; color: #FFFFFF; font-weight: bold; }"
        "QToolButton:disabled { color: #B8C0C8; }"));
    Rebuild();
}

void CPaginationUI::SetPages(size_t pages, size_t current) {
    pages_ = std::max<size_t>(1, pages);
    current_ = std::min(current, pages_ - 1);
    Rebuild();
}

void CPaginationUI::Choose(size_t page) {
    page = std::min(page, pages_ - 1);
    if (page == current_) return;
    current_ = page;
    Rebuild();
    emit pageChanged(page);
}

void CPaginationUI::Rebuild() {
    // The buttons are few (at most nine): made anew on every change.
    while (QLayoutItem* item = layout_->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            // A button may be the one whose click brought us here: it goes once the click is
            // done, out of the control at once so that it is not found any more.
            w->hide();
            w->setParent(nullptr);
            w->deleteLater();
        }
        delete item;
    }
    setVisible(pages_ > 1);
    if (pages_ <= 1) return;
    auto addButton = [this](const QString& text, const QString& name, size_t target, bool enabled,
                            bool current) {
        auto* button = new QToolButton(this);
        button->setObjectName(name);
        button->setText(text);
        button->setAutoRaise(true);
        button->setCheckable(current);
        button->setChecked(current);
        button->setEnabled(enabled);
        connect(button, &QToolButton::clicked, this, [this, target] { Choose(target); });
        layout_->addWidget(button);
    };
    addButton(QStringLiteral("‹"), QStringLiteral("PagePrev"), current_ ? current_ - 1 : 0,
              current_ > 0, false);
    for (size_t page : ShownPages(pages_, current_)) {
        if (page == kGap) {
            layout_->addWidget(new QLabel(QStringLiteral("…"), this));
            continue;
        }
        const QString number = QString::number(page + 1);
        addButton(number, QStringLiteral("Page") + number, page, true, page == current_);
    }
    addButton(QStringLiteral("›"), QStringLiteral("PageNext"), current_ + 1, current_ + 1 < pages_,
              false);
}

}  // namespace norvale
