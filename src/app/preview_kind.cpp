#include "app/preview_kind.h"

#include "engine/preview_target.h"
#include "engine/result_store.h"
#include "engine/text_codec.h"

namespace norvale {

const char* const kPreviewAudioExtensions =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|"
    "*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd";
const char* const kWordConverterExtensions = "*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt";
const char* const kPptConverterExtensions = "*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|*.ppsm|*.odp";
const char* const kExcelConverterExtensions =
    "*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|*.msg";
const char* const kPdfConverterExtensions = "*.pdf";
const char* const kZipConverterExtensions =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

std::string PreviewExtension(std::string_view itemName) {
    return ToLowerAscii(ExtensionOf(itemName));
}

PreviewKind DecidePreviewKind(std::string_view itemName) {
    PreviewKind kind;
    const std::string ext = PreviewExtension(itemName);
    if (ext.empty() || ext.find_first_of("|*") != std::string::npos) return kind;
    auto listed = [&](const char* list) {
        return std::string_view(list).find(ext) != std::string_view::npos;
    };
    if (listed(kPreviewAudioExtensions)) {
        kind.media = true;
        kind.audio = true;
    }
    if (listed(kVideoExtensions)) kind.media = true;
    if (listed(kPreviewDocumentExtensions)) {
        kind.document = true;
        kind.pdf = ext == "pdf";
        const std::pair<const char*, PreviewConverter> converters[] = {
            {kWordConverterExtensions, PreviewConverter::kWord},
            {kPptConverterExtensions, PreviewConverter::kPpt},
            {kExcelConverterExtensions, PreviewConverter::kExcel},
            {kPdfConverterExtensions, PreviewConverter::kPdf},
            {kZipConverterExtensions, PreviewConverter::kZip},
        };
        for (const auto& [list, converter] : converters) {
            if (listed(list)) {
                kind.converter = converter;
                break;
            }
        }
    }
    return kind;
}

}  // namespace norvale
