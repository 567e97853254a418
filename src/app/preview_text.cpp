#include "app/preview_text.h"

#include <QFile>
#include <QStringDecoder>
#include <algorithm>

namespace norvale {

namespace {

// Bytes at the end of `bytes` that start a UTF-8 sequence longer than what is left.
qsizetype IncompleteUtf8Tail(QByteArrayView bytes) {
    for (qsizetype back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto b = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const qsizetype need = (b & 0xE0) == 0xC0   ? 2
                               : (b & 0xF0) == 0xE0 ? 3
                               : (b & 0xF8) == 0xF0 ? 4
                                                    : 1;
        return need > back ? back : 0;
    }
    return 0;
}

QString Decode(QByteArrayView bytes, bool cutShort) {
    if (bytes.size() >= 2) {
        const auto b0 = static_cast<unsigned char>(bytes[0]);
        const auto b1 = static_cast<unsigned char>(bytes[1]);
        if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) {
            QStringDecoder utf16(b0 == 0xFF ? QStringConverter::Utf16LE
                                            : QStringConverter::Utf16BE);
            return utf16(bytes.sliced(2));
        }
    }
    const QByteArrayView utf8Part =
        cutShort ? bytes.first(bytes.size() - IncompleteUtf8Tail(bytes)) : bytes;
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8(utf8Part);
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(bytes);
}

}  // namespace

QString PreviewBytesAsText(QByteArrayView bytes, bool cutShort) {
    const QString decoded = Decode(bytes, cutShort);
    QString text;
    text.reserve(decoded.size());
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        const QChar c = decoded[i];
        if (c == u'\r') {
            if (i + 1 < decoded.size() && decoded[i + 1] == u'\n') ++i;
            text += u'\n';
        } else if (c == u'\n' || c == u'\t') {
            text += c;
        } else if (c.category() == QChar::Other_Control || c.unicode() == 0) {
            text += u'.';
        } else {
            text += c;
        }
    }
    return text;
}

std::optional<QByteArray> ReadFileHead(const QString& path, qint64 maxBytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const qint64 limit = std::clamp<qint64>(maxBytes, 0, kMaxPreviewReadBytes);
    // The size a file claims bounds nothing here: read in pieces up to the limit.
    QByteArray bytes;
    char piece[65536];
    while (bytes.size() < limit) {
        const qint64 want = std::min<qint64>(qint64(sizeof piece), limit - bytes.size());
        const qint64 got = file.read(piece, want);
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        bytes.append(piece, got);
    }
    return bytes;
}

QString FileHeadAsText(const QString& path, qint64 maxBytes) {
    const std::optional<QByteArray> bytes = ReadFileHead(path, maxBytes);
    return bytes ? PreviewBytesAsText(*bytes, bytes->size() >= maxBytes) : QString();
}

}  // namespace norvale
