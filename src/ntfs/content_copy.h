#pragma once
// Writing a found NTFS file out: into a new file of the destination, or for preview into the
// temporary target its kind asks for (or into memory), 64 KiB at a time. Both NTFS engines
// locate the content their own way and hand it over through a loader; what happens with the
// bytes, the progress reports and the results is the same for both.

#include <cstdint>
#include <functional>
#include <string>

#include "device/result.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "ntfs/attribute_content.h"

namespace norvale {

// Prepares `content` for the item; a non-zero result ends the copy with it.
using ContentLoader = std::function<Result(AttributeContent& content)>;
// Reports a file's progress (percent, 0 or the file's result, the destination path); a non-zero
// answer stops the copy.
using CopyReportFn = std::function<int(int percent, Result error, const std::string& path)>;

// Writes the item's `fileSize` bytes to a new file at `path` through RecoveredFileWriter (never
// replacing an existing file). The loader runs for every file, and a content that cannot be
// loaded fails the file, also an empty one. The file ends with one report at 100% carrying its
// result and its final name. A file that cannot be written whole fails with the write's error;
// content the volume describes only in part fails with kErrHandleEof. Neither leaves a file
// under the real name. A stop sets `stopped` and returns the callback's answer.
Result CopyFoundFile(const RecoveredItem& item, const ContentLoader& load, std::string path,
                     const CopyReportFn& report, bool& stopped);

// The preview extraction of a file item: documents, media and pictures go to the temporary file
// ChoosePreviewTarget names (its path in `tempPath`), anything else into `memory` (at most
// `byteCount` bytes; `byteCount` becomes what was copied). A failed file target is removed and
// `tempPath` emptied. Folders give kErrInvalidParameter.
Result ExtractFoundFile(const RecoveredItem& item, const ContentLoader& load, std::string& tempPath,
                        uint8_t* memory, uint64_t& byteCount, PreviewProgressFn fn, void* userData);

}  // namespace norvale
