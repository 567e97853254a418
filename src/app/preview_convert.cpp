#include "app/preview_convert.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "app/preview_picture.h"
#include "app/preview_text.h"

namespace norvale {

namespace {

PreviewContent Text(QString text) {
    PreviewContent content;
    content.page = PreviewPage::kText;
    content.text = std::move(text);
    return content;
}

PreviewContent RawText(const QString& path) {
    return Text(FileHeadAsText(path, kRawTextPreviewBytes));
}

// A lone compressed file ("notes.txt.gz") is listed under the name it had before compression.
QString LoneName(const RecoveredItem& item) {
    const QString name = QString::fromUtf8(item.Name().data(), qsizetype(item.Name().size()));
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.left(dot) : name;
}

}  // namespace

std::optional<bool> ProbeMediaStreams(const QString& path, const PreviewConvertOptions& options,
                                      const std::atomic<bool>* stop) {
    const QString program = options.mediaProbe.isEmpty()
                                ? QStandardPaths::findExecutable(QStringLiteral("ffprobe"))
                                : options.mediaProbe;
    if (program.isEmpty() || !QFileInfo(program).isExecutable()) return std::nullopt;
    QProcess process;
    process.setProgram(program);
    process.setArguments({QStringLiteral("-v"), QStringLiteral("error"),
                          QStringLiteral("-show_entries"), QStringLiteral("stream=codec_type"),
                          QStringLiteral("-of"), QStringLiteral("csv=p=0"),
                          // Read as a plain file whatever the name looks like.
                          QStringLiteral("file:") + path});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(5000)) return std::nullopt;
    QElapsedTimer clock;
    clock.start();
    QByteArray output;
    bool ended = false;
    while (!(ended = process.waitForFinished(50))) {
        // Only the first lines matter; a flood of output is not kept.
        if (output.size() < 4096)
            output += process.readAllStandardOutput().left(4096);
        else
            process.readAllStandardOutput();
        if (clock.elapsed() > options.mediaProbeTimeoutMs || (stop && stop->load())) break;
        if (process.state() == QProcess::NotRunning) break;
    }
    if (!ended && process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        return false;  // a probe that hangs on the file: the player would too
    }
    if (output.size() < 4096) output += process.readAllStandardOutput().left(4096);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) return false;
    return output.contains("audio") || output.contains("video");
}

PreviewContent PreparePreviewContent(const PreviewRequest& request,
                                     const PreviewConvertOptions& options,
                                     const std::atomic<bool>* stop) {
    PreviewContent content;
    const QString path = QString::fromStdString(request.tempPath);
    if (!path.isEmpty() && QFileInfo(path).isFile()) {
        if (request.kind.media) {
            if (!ProbeMediaStreams(path, options, stop).value_or(true)) {
                content.page = PreviewPage::kText;
                content.messageKey = QStringLiteral("MSG1207");
                return content;
            }
            content.page = PreviewPage::kMedia;
            content.mediaPath = path;
            content.audio = request.kind.audio;
            return content;
        }
        switch (request.kind.converter) {
            case PreviewConverter::kPdf: {
                QImage page = RenderPdfFirstPage(path, options.pdfPageSide);
                if (page.isNull()) return RawText(path);
                content.page = PreviewPage::kPicture;
                content.pictureSize = page.size();
                content.picture = std::move(page);
                return content;
            }
            case PreviewConverter::kZip: {
                ArchiveListing listing = ListArchive(path, LoneName(request.item), {}, stop);
                if (!listing.opened) return RawText(path);
                content.page = PreviewPage::kArchive;
                content.archive = std::move(listing);
                return content;
            }
            case PreviewConverter::kWord:
            case PreviewConverter::kExcel:
            case PreviewConverter::kPpt: {
                std::optional<QString> text =
                    ConvertOfficeText(path, request.kind.converter, options.office, stop);
                return text ? Text(std::move(*text)) : RawText(path);
            }
            case PreviewConverter::kNone:
                break;
        }
        std::optional<PreviewPicture> picture = LoadPreviewPicture(path);
        if (!picture) {
            content.page = PreviewPage::kText;
            content.messageKey = QStringLiteral("MSG0905");
            return content;
        }
        content.page = PreviewPage::kPicture;
        content.pictureSize = picture->originalSize;
        content.picture = std::move(picture->image);
        return content;
    }
    if (request.tempPath.empty() && request.memoryBytes > 0) {
        const uint64_t n = std::min<uint64_t>(request.memoryBytes, request.memory.size());
        // A file that filled the buffer may go on beyond it.
        return Text(PreviewBytesAsText(
            QByteArrayView(reinterpret_cast<const char*>(request.memory.data()), qsizetype(n)),
            n >= request.memory.size()));
    }
    return content;
}

}  // namespace norvale
