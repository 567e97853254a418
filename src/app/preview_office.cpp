#include "app/preview_office.h"

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QXmlStreamReader>
#include <algorithm>
#include <map>

#include "app/preview_text.h"
#include "engine/data_paths.h"

namespace norvale {

namespace {

// Appends with the overall cap; false once the cap is reached.
bool Append(QString& text, QStringView piece) {
    const qsizetype room = kMaxOfficeTextChars - text.size();
    if (room <= 0) return false;
    text += piece.left(room);
    return text.size() < kMaxOfficeTextChars;
}

void EndLine(QString& text) {
    if (!text.isEmpty() && !text.endsWith(u'\n')) Append(text, u"\n");
}

bool IsSlideName(const QString& name, int& number) {
    static const QString prefix = QStringLiteral("ppt/slides/slide");
    if (!name.startsWith(prefix) || !name.endsWith(QLatin1String(".xml"))) return false;
    const QStringView digits =
        QStringView(name).sliced(prefix.size(), name.size() - prefix.size() - 4);
    bool ok = false;
    number = digits.toInt(&ok);
    return ok && !digits.isEmpty() && number >= 0;
}

}  // namespace

QString OfficeXmlText(QByteArrayView xml, OfficeXmlPart part) {
    // Qt's reader takes a byte array: wrap the bytes without copying them.
    QXmlStreamReader reader(QByteArray::fromRawData(xml.data(), xml.size()));
    QString text;
    int textDepth = 0;  // inside an element whose characters are the text
    int skipDepth = 0;  // inside an element whose characters are left out
    int bodyDepth = 0;  // OpenDocument: inside office:body
    const bool odf = part == OfficeXmlPart::kOpenDocument;
    while (!reader.atEnd() && text.size() < kMaxOfficeTextChars) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        const QStringView name = reader.name();
        if (token == QXmlStreamReader::StartElement) {
            if (odf) {
                if (name == u"body") ++bodyDepth;
                if (bodyDepth == 0) continue;
                if (name == u"tab") Append(text, u"\t");
                if (name == u"line-break") Append(text, u"\n");
                if (name == u"s") Append(text, u" ");
                continue;
            }
            if (part == OfficeXmlPart::kSharedStrings && name == u"rPh") ++skipDepth;
            if (name == u"t") ++textDepth;
            if (part == OfficeXmlPart::kWordDocument) {
                if (name == u"tab") Append(text, u"\t");
                if (name == u"br" || name == u"cr") Append(text, u"\n");
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (odf) {
                if (bodyDepth > 0 && (name == u"p" || name == u"h")) EndLine(text);
                if (name == u"body" && bodyDepth > 0) --bodyDepth;
                continue;
            }
            if (name == u"t" && textDepth > 0) --textDepth;
            if (name == u"rPh" && skipDepth > 0) --skipDepth;
            if ((part == OfficeXmlPart::kSharedStrings && name == u"si") ||
                (part != OfficeXmlPart::kSharedStrings && name == u"p"))
                EndLine(text);
        } else if (token == QXmlStreamReader::Characters) {
            const bool wanted = odf ? bodyDepth > 0 : textDepth > 0 && skipDepth == 0;
            if (wanted && !(odf && reader.isWhitespace())) Append(text, reader.text());
        }
    }
    return text;
}

namespace {

std::optional<QString> TextOfMembers(bool readable, std::vector<ZipMember>& members) {
    if (!readable) return std::nullopt;
    QString text;
    bool found = false;
    auto add = [&](const ZipMember& m, OfficeXmlPart part) {
        found = true;
        const QString partText = OfficeXmlText(m.data, part);
        if (!partText.isEmpty()) {
            if (!text.isEmpty()) {
                EndLine(text);
                Append(text, u"\n");  // a blank line between parts and slides
            }
            Append(text, partText);
        }
    };
    std::map<int, const ZipMember*> slides;
    for (const ZipMember& m : members) {
        int number = 0;
        if (m.name == u"word/document.xml")
            add(m, OfficeXmlPart::kWordDocument);
        else if (m.name == u"xl/sharedStrings.xml")
            add(m, OfficeXmlPart::kSharedStrings);
        else if (m.name == u"content.xml")
            add(m, OfficeXmlPart::kOpenDocument);
        else if (IsSlideName(m.name, number))
            slides.emplace(number, &m);
    }
    for (const auto& [number, m] : slides) add(*m, OfficeXmlPart::kSlide);
    if (!found) return std::nullopt;
    return text;
}

bool WantedPart(const QString& name) {
    int number = 0;
    return name == u"word/document.xml" || name == u"xl/sharedStrings.xml" ||
           name == u"content.xml" || IsSlideName(name, number);
}

}  // namespace

std::optional<QString> OfficeZipText(const QString& path, const ArchiveLimits& limits) {
    std::vector<ZipMember> members;
    const bool readable = ReadZipMembers(path, WantedPart, members, limits);
    return TextOfMembers(readable, members);
}

std::optional<QString> OfficeZipTextFromBytes(QByteArrayView bytes, const ArchiveLimits& limits) {
    std::vector<ZipMember> members;
    const bool readable = ReadZipMembersFromBytes(bytes, WantedPart, members, limits);
    return TextOfMembers(readable, members);
}

QString FindOfficeProgram() {
    for (const char* name : {"soffice", "libreoffice"}) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!found.isEmpty()) return found;
    }
    return {};
}

namespace {

// Runs LibreOffice to turn `path` into a document of `format` in `outFolder`; the path of what
// it wrote, or empty. The program runs in a process group of its own so that the helpers it
// starts end with it when the time is up.
QString RunOffice(const QString& program, const QString& path, const char* format,
                  const QString& workFolder, int timeoutMs, const std::atomic<bool>* stop) {
    const QString outFolder = workFolder + QStringLiteral("/out");
    const QString profile = workFolder + QStringLiteral("/profile");
    QDir().mkpath(outFolder);
    QProcess process;
    process.setProgram(program);
    process.setArguments({
        QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profile).toString(),
        QStringLiteral("--headless"),
        QStringLiteral("--norestore"),
        QStringLiteral("--nolockcheck"),
        QStringLiteral("--convert-to"),
        QString::fromLatin1(format),
        QStringLiteral("--outdir"),
        outFolder,
        path,
    });
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setChildProcessModifier([] { ::setsid(); });
    process.start();
    if (!process.waitForStarted(5000)) return {};
    QElapsedTimer clock;
    clock.start();
    bool ended = false;
    while (!(ended = process.waitForFinished(100))) {
        if (clock.elapsed() > timeoutMs || (stop && stop->load())) break;
        if (process.state() == QProcess::NotRunning) break;
    }
    if (!ended && process.state() != QProcess::NotRunning) {
        const qint64 pid = process.processId();
        if (pid > 0) ::kill(-static_cast<pid_t>(pid), SIGKILL);
        process.kill();
        process.waitForFinished(5000);
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) return {};
    const QFileInfoList written = QDir(outFolder).entryInfoList(
        {QStringLiteral("*.") + QString::fromLatin1(format)}, QDir::Files);
    return written.isEmpty() ? QString() : written.first().absoluteFilePath();
}

}  // namespace

std::optional<QString> ConvertOfficeText(const QString& path, PreviewConverter converter,
                                         const OfficeConvertOptions& options,
                                         const std::atomic<bool>* stop) {
    const char* format = nullptr;
    switch (converter) {
        case PreviewConverter::kWord:
            format = "docx";
            break;
        case PreviewConverter::kExcel:
            format = "xlsx";
            break;
        case PreviewConverter::kPpt:
            format = "pptx";
            break;
        default:
            return std::nullopt;
    }
    const std::optional<QByteArray> head = ReadFileHead(path, 4);
    if (!head) return std::nullopt;
    if (head->startsWith("PK\x03\x04")) {
        if (std::optional<QString> text = OfficeZipText(path)) return text;
    }
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == u"csv" || suffix == u"ics" || suffix == u"vcf") {
        return FileHeadAsText(path, kMaxOfficeTextChars);
    }

    const QString program = options.program.isEmpty() ? FindOfficeProgram() : options.program;
    if (program.isEmpty()) return std::nullopt;
    QString base = options.workFolder;
    if (base.isEmpty()) {
        base = QString::fromStdString(ScanLogFolder());
        if (MakeFolders(ScanLogFolder()) != kOk) return std::nullopt;
    }
    QTemporaryDir work(base + QStringLiteral("/office-XXXXXX"));
    if (!work.isValid()) return std::nullopt;
    const QString converted =
        RunOffice(program, path, format, work.path(), options.timeoutMs, stop);
    if (converted.isEmpty()) return std::nullopt;
    return OfficeZipText(converted);
}

}  // namespace norvale
