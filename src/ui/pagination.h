#pragma once
// CPaginationUI ("Pagination"): the page buttons under the file list. A row of buttons — the
// previous page, the first page, the pages around the current one, the last page, the next
// page — with gaps shown as "…". The control only knows how many pages there are and which one
// is shown; choosing another page is announced with pageChanged, and the owner of the list
// shows that page and calls SetPages again.
//
// The buttons are named "PagePrev", "PageNext" and "Page<n>" (1-based) so that language
// sections and tests find them.

#include <QWidget>
#include <cstddef>

class QHBoxLayout;

namespace norvale {

class CPaginationUI : public QWidget {
    Q_OBJECT
  public:
    // Page buttons shown around the current page on each side.
    static constexpr size_t kNeighbours = 2;

    explicit CPaginationUI(QWidget* parent = nullptr);

    // `pages` at least 1; `current` 0-based, moved into range. With one page the control hides.
    void SetPages(size_t pages, size_t current);
    size_t Pages() const { return pages_; }
    size_t Current() const { return current_; }

  signals:
    // The user asked for page `page` (0-based); the control already shows it as current.
    void pageChanged(size_t page);

  private:
    void Rebuild();
    void Choose(size_t page);

    QHBoxLayout* layout_ = nullptr;
    size_t pages_ = 1;
    size_t current_ = 0;
};

}  // namespace norvale
