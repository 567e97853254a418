#pragma once
// Bytes of a found file shown as text: the preview of files that have no better view, and the
// fallback when a converter fails. Found files are often damaged or not text at all, so the
// decoding never fails and never shows a control character as such.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace norvale {

// How much of a file the fallback shows when a converter failed.
inline constexpr qint64 kRawTextPreviewBytes = 8192;
// How much of a found file the preview ever reads into memory at once.
inline constexpr qint64 kMaxPreviewReadBytes = qint64{64} << 20;

// UTF-16 when the bytes start with its byte-order mark, else UTF-8 when they are valid UTF-8,
// else one character per byte (Latin-1). `cutShort` says the bytes are the start of something
// longer: a UTF-8 character cut off at their end is then dropped rather than taken as a sign of
// another encoding. Line ends become "\n"; other control characters and NULs show as ".".
QString PreviewBytesAsText(QByteArrayView bytes, bool cutShort = false);

// At most `maxBytes` bytes from the start of the file at `path` (never more than
// kMaxPreviewReadBytes); nullopt when it cannot be opened or read.
std::optional<QByteArray> ReadFileHead(const QString& path, qint64 maxBytes);

// The first `maxBytes` bytes of the file as text (PreviewBytesAsText); empty when unreadable.
QString FileHeadAsText(const QString& path, qint64 maxBytes = kRawTextPreviewBytes);

}  // namespace norvale
