#pragma once
// The preview pane of the results page ("PreviewEdit"): one page each for text, a picture,
// media being played and an archive listing. PreviewItem() runs the whole preview of a selected
// item: the progress window extracts and converts it, the pane shows the outcome.
//
// Media play inside the pane (video with its picture, audio with the controls only). When
// playback has not started within the playback timeout, or the file cannot be played at all,
// the pane shows the "MSG1207" message instead.
//
// The pane owns the temporary copy of the last previewed file: it is deleted as soon as what
// it shows no longer needs it (at once for a text, picture or listing; when playback ends for
// media), before the next preview and when the pane goes.

#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

#include "app/language_table.h"
#include "app/preview_convert.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"

class QLabel;
class QMediaPlayer;
class QAudioOutput;
class QPlainTextEdit;
class QScrollArea;
class QSlider;
class QStackedWidget;
class QTimer;
class QToolButton;
class QTreeWidget;
class QVideoWidget;

namespace norvale {

// "m:ss / m:ss" (hours shown when there are any) for the media controls.
QString MediaClock(qint64 positionMs, qint64 durationMs);

class CPreviewPane : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kDefaultPlaybackTimeoutMs = 8000;

    explicit CPreviewPane(QWidget* parent = nullptr,
                          LanguageTable& table = LanguageTable::Instance());
    ~CPreviewPane() override;

    // The preview of one selected item: a folder shows "MSG0904"; a file is extracted through
    // `engine` (may be null: nothing to extract) by the preview progress window, and shown
    // unless the user stopped it. Returns the window's outcome (CPreviewProcessWnd::Outcome),
    // 0 for a folder.
    int PreviewItem(const RecoveredItem& item, IFileRecoveryParse* engine);

    // Ends playback and shows the empty page.
    void Clear();
    // Shows what a preview prepared.
    void Show(const PreviewContent& content);
    void ShowText(const QString& text);
    // A text of the "Messages" section.
    void ShowMessage(const QString& key);
    void ShowPicture(const QImage& picture);
    void ShowArchive(const ArchiveListing& listing);
    void PlayMedia(const QString& path, bool audio);

    PreviewPage CurrentPage() const { return page_; }
    // The text on the text page.
    QString ShownText() const;
    // The picture on the picture page, at its own size.
    const QImage& ShownPicture() const { return picture_; }
    QTreeWidget* ArchiveList() const { return archive_; }
    bool Playing() const { return player_ != nullptr; }

    void SetPlaybackTimeout(int milliseconds) { playbackTimeoutMs_ = milliseconds; }
    void SetConvertOptions(const PreviewConvertOptions& options) { options_ = options; }
    // The temporary copy the pane still needs (media being played; "" when none).
    const std::string& TempPath() const { return tempPath_; }

  signals:
    void playbackStarted();
    // Playback never started; "MSG1207" is shown.
    void playbackFailed();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void SetPage(PreviewPage page);
    void StopMedia();
    // Deletes the temporary copy of the last preview.
    void ReleaseCopy();
    void ShowPosition(qint64 position);
    void FailPlayback();
    void FitPicture();

    LanguageTable* table_;
    PreviewConvertOptions options_;
    std::string tempPath_;
    PreviewPage page_ = PreviewPage::kEmpty;
    QImage picture_;
    int playbackTimeoutMs_ = kDefaultPlaybackTimeoutMs;
    uint64_t playback_ = 0;  // counts playbacks; a report of an earlier one is ignored

    QStackedWidget* stack_ = nullptr;
    QWidget* emptyPage_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QScrollArea* pictureArea_ = nullptr;
    QLabel* pictureLabel_ = nullptr;
    QWidget* mediaPage_ = nullptr;
    QVideoWidget* video_ = nullptr;
    QToolButton* playButton_ = nullptr;
    QSlider* position_ = nullptr;
    QWidget* soundPage_ = nullptr;
    QLabel* soundIcon_ = nullptr;
    QLabel* soundLabel_ = nullptr;
    QLabel* clock_ = nullptr;
    qint64 duration_ = 0;
    QString shownName_;  // the name of the item being previewed
    QTreeWidget* archive_ = nullptr;
    QMediaPlayer* player_ = nullptr;
    QAudioOutput* audioOutput_ = nullptr;
    QTimer* startTimer_ = nullptr;
    QTimer* clockTimer_ = nullptr;
};

}  // namespace norvale
