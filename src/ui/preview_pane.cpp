#include "ui/preview_pane.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLibraryInfo>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSlider>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QVideoWidget>

#include "app/format.h"
#include "ui/preview_process_wnd.h"
#include "ui/window_texts.h"

namespace norvale {

namespace {

// The media back end is chosen once per process, when the first player or video widget is
// made. The FFmpeg one opens any file by itself, where the GStreamer one of this Qt version
// fails at its very start on systems that lack some of GStreamer's plugins. A choice the user
// made in QT_MEDIA_BACKEND stands.
void PreferMediaBackend() {
    static const bool once = [] {
        const QString plugin = QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                               QStringLiteral("/multimedia/libffmpegmediaplugin.so");
        if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND") && QFileInfo::exists(plugin))
            qputenv("QT_MEDIA_BACKEND", "ffmpeg");
        return true;
    }();
    (void)once;
}

}  // namespace

QString MediaClock(qint64 positionMs, qint64 durationMs) {
    auto clock = [](qint64 ms) {
        const qint64 seconds = std::max<qint64>(ms, 0) / 1000;
        const qint64 h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
        return h > 0 ? QStringLiteral("%1:%2:%3")
                           .arg(h)
                           .arg(m, 2, 10, QLatin1Char('0'))
                           .arg(s, 2, 10, QLatin1Char('0'))
                     : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
    };
    return clock(positionMs) + QStringLiteral(" / ") + clock(durationMs);
}

CPreviewPane::CPreviewPane(QWidget* parent, LanguageTable& table)
    : QWidget(parent), table_(&table) {
    PreferMediaBackend();
    setObjectName(QStringLiteral("PreviewEdit"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    stack_ = new QStackedWidget(this);
    layout->addWidget(stack_);

    emptyPage_ = new QWidget(stack_);
    stack_->addWidget(emptyPage_);

    text_ = new QPlainTextEdit(stack_);
    text_->setObjectName(QStringLiteral("PreviewText"));
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    stack_->addWidget(text_);

    pictureArea_ = new QScrollArea(stack_);
    pictureArea_->setObjectName(QStringLiteral("PreviewPicture"));
    pictureArea_->setAlignment(Qt::AlignCenter);
    pictureArea_->setWidgetResizable(true);
    pictureLabel_ = new QLabel(pictureArea_);
    pictureLabel_->setAlignment(Qt::AlignCenter);
    pictureArea_->setWidget(pictureLabel_);
    stack_->addWidget(pictureArea_);

    mediaPage_ = new QWidget(stack_);
    mediaPage_->setObjectName(QStringLiteral("PreviewMedia"));
    auto* mediaLayout = new QVBoxLayout(mediaPage_);
    mediaLayout->setContentsMargins(0, 0, 0, 0);
    video_ = new QVideoWidget(mediaPage_);
    video_->setObjectName(QStringLiteral("PreviewVideo"));
    mediaLayout->addWidget(video_, 1);
    // A sound has no picture: its icon and name stand where a video plays.
    soundPage_ = new QWidget(mediaPage_);
    auto* soundLayout = new QVBoxLayout(soundPage_);
    soundIcon_ = new QLabel(soundPage_);
    soundIcon_->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
    soundLabel_ = new QLabel(soundPage_);
    soundLabel_->setObjectName(QStringLiteral("PreviewSound"));
    soundLabel_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    soundLabel_->setWordWrap(true);
    soundLabel_->setTextFormat(Qt::PlainText);
    soundLayout->addWidget(soundIcon_, 1);
    soundLayout->addWidget(soundLabel_, 1);
    mediaLayout->addWidget(soundPage_, 1);
    auto* controls = new QHBoxLayout();
    playButton_ = new QToolButton(mediaPage_);
    playButton_->setObjectName(QStringLiteral("PreviewPlay"));
    playButton_->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
    position_ = new QSlider(Qt::Horizontal, mediaPage_);
    position_->setObjectName(QStringLiteral("PreviewPosition"));
    controls->addWidget(playButton_);
    controls->addWidget(position_, 1);
    clock_ = new QLabel(mediaPage_);
    clock_->setObjectName(QStringLiteral("PreviewClock"));
    controls->addWidget(clock_);
    mediaLayout->addLayout(controls);
    stack_->addWidget(mediaPage_);

    archive_ = new QTreeWidget(stack_);
    archive_->setObjectName(QStringLiteral("PreviewArchive"));
    archive_->setColumnCount(2);
    archive_->setHeaderHidden(true);
    archive_->setRootIsDecorated(false);
    archive_->setUniformRowHeights(true);
    archive_->header()->setStretchLastSection(false);
    archive_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    archive_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    stack_->addWidget(archive_);

    startTimer_ = new QTimer(this);
    startTimer_->setSingleShot(true);
    connect(startTimer_, &QTimer::timeout, this, &CPreviewPane::FailPlayback);
    // The player reports its position seldom while it plays sound: the clock asks for it.
    clockTimer_ = new QTimer(this);
    clockTimer_->setInterval(250);
    connect(clockTimer_, &QTimer::timeout, this, [this] {
        if (player_) ShowPosition(player_->position());
    });
    connect(playButton_, &QToolButton::clicked, this, [this] {
        if (!player_) return;
        const bool playing = player_->playbackState() == QMediaPlayer::PlayingState;
        if (playing)
            player_->pause();
        else
            player_->play();
        playButton_->setIcon(
            style()->standardIcon(playing ? QStyle::SP_MediaPlay : QStyle::SP_MediaPause));
    });
    connect(position_, &QSlider::sliderMoved, this, [this](int value) {
        if (player_) player_->setPosition(qint64(value) * 1000);
    });
    SetPage(PreviewPage::kEmpty);
}

CPreviewPane::~CPreviewPane() {
    StopMedia();
    DeletePreviewCopy(tempPath_);
}

int CPreviewPane::PreviewItem(const RecoveredItem& item, IFileRecoveryParse* engine) {
    // The player lets go of its copy before the engine writes the next one over it.
    Clear();
    if (item.isFolder) {
        ShowMessage(QStringLiteral("MSG0904"));
        return 0;
    }
    shownName_ = FromUtf8(std::string(item.Name()));
    CPreviewProcessWnd window(item, engine, tempPath_, this, *table_);
    window.SetConvertOptions(options_);
    const int outcome = window.Run();
    tempPath_ = window.Request().tempPath;
    if (outcome == CPreviewProcessWnd::kDone) Show(window.Content());
    // What is shown is held in memory now; only a player still reads its file. The copy goes
    // at once, so that no previewed file lingers in the data folder.
    if (!player_) ReleaseCopy();
    return outcome;
}

void CPreviewPane::ReleaseCopy() {
    DeletePreviewCopy(tempPath_);
    tempPath_.clear();
}

void CPreviewPane::Clear() {
    StopMedia();
    text_->clear();
    picture_ = {};
    pictureLabel_->clear();
    archive_->clear();
    SetPage(PreviewPage::kEmpty);
}

void CPreviewPane::Show(const PreviewContent& content) {
    switch (content.page) {
        case PreviewPage::kText:
            if (content.messageKey.isEmpty())
                ShowText(content.text);
            else
                ShowMessage(content.messageKey);
            break;
        case PreviewPage::kPicture:
            ShowPicture(content.picture);
            break;
        case PreviewPage::kMedia:
            PlayMedia(content.mediaPath, content.audio);
            break;
        case PreviewPage::kArchive:
            ShowArchive(content.archive);
            break;
        case PreviewPage::kEmpty:
            Clear();
            break;
    }
}

void CPreviewPane::ShowText(const QString& text) {
    StopMedia();
    text_->setPlainText(text);
    SetPage(PreviewPage::kText);
}

void CPreviewPane::ShowMessage(const QString& key) {
    ShowText(FromUtf8(table_->Text("Messages", key.toStdString())));
}

void CPreviewPane::ShowPicture(const QImage& picture) {
    StopMedia();
    if (picture.isNull()) {
        ShowMessage(QStringLiteral("MSG0905"));
        return;
    }
    picture_ = picture;
    SetPage(PreviewPage::kPicture);
    FitPicture();
}

void CPreviewPane::ShowArchive(const ArchiveListing& listing) {
    StopMedia();
    archive_->clear();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(qsizetype(listing.entries.size()) + 1);
    for (const ArchiveEntry& entry : listing.entries) {
        auto* row = new QTreeWidgetItem();
        row->setText(0,
                     entry.folder && !entry.path.endsWith(u'/') ? entry.path + u'/' : entry.path);
        if (!entry.folder) row->setText(1, FromUtf8(FormatSize(entry.size)));
        row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        rows.append(row);
    }
    // The listing ended early: say so after the entries that were read.
    const char* note = listing.truncated ? "MSG0906" : listing.damaged ? "MSG0907" : nullptr;
    if (note) {
        auto* row = new QTreeWidgetItem();
        row->setText(0, FromUtf8(table_->Text("Messages", note)));
        row->setFlags(Qt::ItemIsEnabled);
        rows.append(row);
    }
    archive_->addTopLevelItems(rows);
    SetPage(PreviewPage::kArchive);
}

void CPreviewPane::PlayMedia(const QString& path, bool audio) {
    StopMedia();
    SetPage(PreviewPage::kMedia);
    video_->setVisible(!audio);
    soundPage_->setVisible(audio);
    if (audio) {
        soundIcon_->setPixmap(QIcon(QStringLiteral(":/icons/FileIcon/music.svg"))
                                  .pixmap(QSize(96, 96), devicePixelRatioF()));
        soundLabel_->setText(shownName_);
    }
    playButton_->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
    position_->setValue(0);
    duration_ = 0;
    clock_->setText(MediaClock(0, 0));

    player_ = new QMediaPlayer(this);
    // Without a sound device Qt Multimedia's audio thread crashes the program as soon as it
    // writes: sound is only attached when there is somewhere to play it. A video then plays
    // silent; a sound file cannot be played at all.
    const bool speakers = !QMediaDevices::audioOutputs().isEmpty();
    if (speakers) {
        audioOutput_ = new QAudioOutput(this);
        player_->setAudioOutput(audioOutput_);
    }
    if (!audio) player_->setVideoOutput(video_);
    // Failures are handled from the event loop, not inside the player's own signal: handling
    // them deletes the player. A failure of a player since replaced is ignored.
    const uint64_t playback = ++playback_;
    connect(
        player_, &QMediaPlayer::errorOccurred, this,
        [this, playback] {
            if (playback_ == playback) FailPlayback();
        },
        Qt::QueuedConnection);
    connect(
        player_, &QMediaPlayer::mediaStatusChanged, this,
        [this, playback](QMediaPlayer::MediaStatus status) {
            if (status == QMediaPlayer::InvalidMedia && playback_ == playback) FailPlayback();
        },
        Qt::QueuedConnection);
    connect(player_, &QMediaPlayer::durationChanged, this, [this](qint64 duration) {
        duration_ = duration;
        position_->setRange(0, int(duration / 1000));
        clock_->setText(MediaClock(player_ ? player_->position() : 0, duration_));
    });
    connect(player_, &QMediaPlayer::positionChanged, this, &CPreviewPane::ShowPosition);
    startTimer_->start(playbackTimeoutMs_);
    clockTimer_->start();
    if (!player_->isAvailable() || (audio && !speakers)) {
        // No media back end or no sound device on this system: nothing can ever play.
        QTimer::singleShot(0, this, [this, playback] {
            if (playback_ == playback) FailPlayback();
        });
        return;
    }
    player_->setSource(QUrl::fromLocalFile(path));
    player_->play();
}

QString CPreviewPane::ShownText() const {
    return page_ == PreviewPage::kText ? text_->toPlainText() : QString();
}

void CPreviewPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (page_ == PreviewPage::kPicture) FitPicture();
}

void CPreviewPane::SetPage(PreviewPage page) {
    page_ = page;
    switch (page) {
        case PreviewPage::kEmpty:
            stack_->setCurrentWidget(emptyPage_);
            break;
        case PreviewPage::kText:
            stack_->setCurrentWidget(text_);
            break;
        case PreviewPage::kPicture:
            stack_->setCurrentWidget(pictureArea_);
            break;
        case PreviewPage::kMedia:
            stack_->setCurrentWidget(mediaPage_);
            break;
        case PreviewPage::kArchive:
            stack_->setCurrentWidget(archive_);
            break;
    }
}

void CPreviewPane::ShowPosition(qint64 position) {
    if (!position_->isSliderDown()) position_->setValue(int(position / 1000));
    clock_->setText(MediaClock(position, duration_));
    // Playback counts as started once time has passed in the file.
    if (position > 0 && startTimer_->isActive()) {
        startTimer_->stop();
        emit playbackStarted();
    }
}

void CPreviewPane::StopMedia() {
    startTimer_->stop();
    clockTimer_->stop();
    ++playback_;
    if (!player_) return;
    QMediaPlayer* player = player_;
    QAudioOutput* output = audioOutput_;
    player_ = nullptr;
    audioOutput_ = nullptr;
    player->disconnect(this);
    player->stop();
    player->setSource(QUrl());
    player->deleteLater();
    if (output) output->deleteLater();
    // The file played is no longer needed.
    ReleaseCopy();
}

void CPreviewPane::FailPlayback() {
    if (!player_) return;
    StopMedia();
    ShowMessage(QStringLiteral("MSG1207"));
    emit playbackFailed();
}

void CPreviewPane::FitPicture() {
    if (picture_.isNull()) return;
    // Shown whole inside the pane; never enlarged beyond its own size.
    const QSize room = pictureArea_->viewport()->size().expandedTo(QSize(16, 16));
    QImage shown = picture_;
    if (picture_.width() > room.width() || picture_.height() > room.height())
        shown = picture_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    pictureLabel_->setPixmap(QPixmap::fromImage(shown));
}

}  // namespace norvale
