#pragma once
// From an extracted found file to what the preview pane shows. A preview request holds what the
// engine extracted (a temporary file or bytes in memory) and the kind decided from the item's
// name; PreparePreviewContent turns it into one page of the pane: text, a picture, media to
// play or an archive listing. Nothing here touches a widget, so it runs on the worker thread of
// the preview progress window and in tests without a window.

#include <QImage>
#include <QString>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/preview_archive.h"
#include "app/preview_kind.h"
#include "app/preview_office.h"
#include "engine/recovered_item.h"

namespace norvale {

// The bytes of a found file extracted into memory for showing as text.
inline constexpr uint64_t kPreviewMemoryBytes = uint64_t{1} << 20;

struct PreviewRequest {
    RecoveredItem item{};
    std::string tempPath;         // the extracted copy; empty when extracted into memory
    std::vector<uint8_t> memory;  // kPreviewMemoryBytes long once the extraction ran
    uint64_t memoryBytes = 0;     // how many of them hold the file
    PreviewKind kind;
};

enum class PreviewPage { kEmpty, kText, kPicture, kMedia, kArchive };

struct PreviewContent {
    PreviewPage page = PreviewPage::kEmpty;
    QString text;            // kText: the text, unless messageKey names a message
    QString messageKey;      // kText: a key of the "Messages" section (the pane looks it up)
    QImage picture;          // kPicture
    QSize pictureSize;       // kPicture: the picture's own size (PDF: the drawn page)
    QString mediaPath;       // kMedia
    bool audio = false;      // kMedia without picture
    ArchiveListing archive;  // kArchive
};

struct PreviewConvertOptions {
    OfficeConvertOptions office;
    int pdfPageSide = 1600;
    // The media probe ("ffprobe"); empty: found on PATH. When there is none, media files are
    // handed to the player unprobed.
    QString mediaProbe;
    int mediaProbeTimeoutMs = 10000;
};

// Whether the media file at `path` holds an audio or video stream, asked of the media probe
// in a process of its own: a damaged file may bring down whatever parses it, so the player in
// this process only gets files the probe could read. nullopt when there is no probe to ask.
std::optional<bool> ProbeMediaStreams(const QString& path, const PreviewConvertOptions& options,
                                      const std::atomic<bool>* stop = nullptr);

// What the pane shows for a request whose extraction has ended:
// - a temporary file of media kind: the file to play, or the "MSG1207" message when the media
//   probe finds nothing playable in it;
// - a PDF: a picture of the first page, else the first bytes of the file as text;
// - an archive: its listing, else the first bytes as text;
// - another document: its text, else the first bytes as text;
// - any other temporary file: it as a picture, else the "MSG0905" message;
// - bytes in memory: them as text;
// - nothing extracted (or the temporary file is gone): the empty page.
// `stop`, when set, cuts a running conversion short.
PreviewContent PreparePreviewContent(const PreviewRequest& request,
                                     const PreviewConvertOptions& options = {},
                                     const std::atomic<bool>* stop = nullptr);

}  // namespace norvale
