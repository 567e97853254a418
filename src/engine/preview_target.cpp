#include "engine/preview_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/data_paths.h"
#include "engine/output_naming.h"
#include "engine/result_store.h"
#include "engine/text_codec.h"

namespace norvale {

const char* const kPreviewDocumentExtensions =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

PreviewTarget ChoosePreviewTarget(std::string_view itemName) {
    PreviewTarget target;
    const std::string ext = ToLowerAscii(ExtensionOf(itemName));
    if (ext.empty()) return target;
    auto listed = [&](const char* list) { return ExtensionListSelects(list, ext); };
    const std::string folder = ScanLogFolder() + "/";
    if (listed(kPreviewDocumentExtensions)) {
        target = {PreviewTargetKind::kDocument, folder + SafeFileName(itemName)};
    }
    if (listed(kAudioExtensions) || listed(kVideoExtensions)) {
        target = {PreviewTargetKind::kMedia, folder + "tmp.avi"};
    }
    if (listed(kPhotoExtensions)) target = {PreviewTargetKind::kImage, folder + "tmp.jpg"};
    if (target.path.size() >= kMaxPreviewPathBytes) target = {};
    return target;
}

Result CreatePreviewFile(const std::string& path, int& fd) {
    fd = -1;
    if (Result r = MakeFolders(ScanLogFolder()); r != kOk) return r;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return FromErrno(errno);
    // O_EXCL: a link or file planted between the removal and the creation is refused, not
    // written through.
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    return fd < 0 ? FromErrno(errno) : kOk;
}

}  // namespace norvale
