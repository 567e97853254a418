#pragma once
// How a found file is previewed, decided from its name alone: whether it is played (audio or
// video), whether it is a document, and which converter turns it into something the preview
// pane can show. The decisions look the lower-cased extension up in "*.ext|*.ext|..." lists by
// substring, so a part of a listed extension ("do", "pp") counts as listed.

#include <string>
#include <string_view>

namespace norvale {

enum class PreviewConverter {
    kNone,
    kWord,   // word-processor documents: their text
    kExcel,  // spreadsheets and other office files: their text
    kPpt,    // presentations: the text of their slides
    kPdf,    // a picture of the first page
    kZip,    // archives: their listing
};

struct PreviewKind {
    bool media = false;     // played rather than shown
    bool audio = false;     // media without picture
    bool document = false;  // office documents, PDF and archives
    bool pdf = false;       // the extension is exactly "pdf"
    PreviewConverter converter = PreviewConverter::kNone;
};

// Audio extensions of the preview (the same as the audio category of the results).
extern const char* const kPreviewAudioExtensions;
// The converter lists, checked in this order.
extern const char* const kWordConverterExtensions;
extern const char* const kPptConverterExtensions;
extern const char* const kExcelConverterExtensions;
extern const char* const kPdfConverterExtensions;
extern const char* const kZipConverterExtensions;

// The lower-cased text after the last "." of `itemName`; empty when there is none.
std::string PreviewExtension(std::string_view itemName);

// The kind of `itemName`. A name without an extension, or with an extension that holds a list
// separator ("|" or "*"), matches no list: such a piece of text would otherwise be found in
// every list, or across two entries of one.
PreviewKind DecidePreviewKind(std::string_view itemName);

}  // namespace norvale
