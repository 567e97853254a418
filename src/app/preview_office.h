#pragma once
// The text of office documents for the preview. Documents of the current formats are zips of
// XML (Office Open XML: .docx, .xlsx, .pptx and their kin; OpenDocument: .odt, .ods, .odp) and
// are read here directly. Older binary formats are first turned into one of those by
// LibreOffice when it is installed (run headless, with a time limit, in a folder of its own).
// Comma-separated values, calendars and contact cards are text already.

#include <QByteArrayView>
#include <QString>
#include <atomic>
#include <optional>

#include "app/preview_archive.h"
#include "app/preview_kind.h"

namespace norvale {

// The most text a document preview shows.
inline constexpr qsizetype kMaxOfficeTextChars = qsizetype{1} << 20;

enum class OfficeXmlPart {
    kWordDocument,   // word/document.xml: w:t runs, w:tab, w:br, a line per w:p
    kSharedStrings,  // xl/sharedStrings.xml: a line per si (phonetic runs left out)
    kSlide,          // ppt/slides/slideN.xml: a:t runs, a line per a:p
    kOpenDocument,   // content.xml: the text of office:body, a line per text:p and text:h
};

// The text of one XML part. Damaged XML gives the text up to the damage; entities are limited
// by the XML reader and nothing outside the bytes is ever fetched.
QString OfficeXmlText(QByteArrayView xml, OfficeXmlPart part);

// The text of an office document held in a zip: the word-processing body, the spreadsheet's
// shared strings, the slides in their numbered order, or an OpenDocument body. nullopt when the
// zip holds none of these parts or is not a readable zip.
std::optional<QString> OfficeZipText(const QString& path, const ArchiveLimits& limits = {});
std::optional<QString> OfficeZipTextFromBytes(QByteArrayView bytes,
                                              const ArchiveLimits& limits = {});

struct OfficeConvertOptions {
    QString program;        // the LibreOffice program; empty: "soffice" or "libreoffice" on PATH
    int timeoutMs = 60000;  // the conversion is ended after this long
    QString workFolder;     // where the conversion writes; empty: below the ScanLog folder
};

// The text of the office document at `path` (a file named after the found item), for the
// word-processor, spreadsheet and presentation converters. nullopt when none of the ways
// above yields text; the caller then shows the raw bytes. `stop`, when set, ends a running
// conversion.
std::optional<QString> ConvertOfficeText(const QString& path, PreviewConverter converter,
                                         const OfficeConvertOptions& options = {},
                                         const std::atomic<bool>* stop = nullptr);

// Path of the LibreOffice program used when options.program is empty; empty when none.
QString FindOfficeProgram();

}  // namespace norvale
