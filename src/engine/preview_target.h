#pragma once
// Where an engine's ExtractForPreview puts a found file: the viewers of documents and archives
// open a file that keeps the item's own name, the media player and the picture viewer always
// open the same two temporary files, and anything else (text, unknown kinds) is read from
// memory. All preview files live in the ScanLog folder. Shared by every engine.

#include <string>
#include <string_view>

#include "device/result.h"

namespace norvale {

// Kinds whose viewers take a file named after the item ("*.pdf|*.doc|...", archives included).
extern const char* const kPreviewDocumentExtensions;

inline constexpr size_t kMaxPreviewPathBytes = 260;  // longer targets fall back to memory

enum class PreviewTargetKind { kMemory, kDocument, kMedia, kImage };

struct PreviewTarget {
    PreviewTargetKind kind = PreviewTargetKind::kMemory;
    std::string path;  // the file to write; empty for memory
};

// Chooses the target by the item's extension (the text after its last "."), lower-cased and
// looked up as a substring of the lists: the document list gives ScanLogFolder()/<name> with the
// name made safe by SafeFileName, the audio and video lists give ScanLogFolder()/tmp.avi and
// the photo list ScanLogFolder()/tmp.jpg; media and image choices win over the document one.
// A name without extension, or a target path of kMaxPreviewPathBytes bytes or more, gives
// memory. Creates nothing.
PreviewTarget ChoosePreviewTarget(std::string_view itemName);

// Creates the ScanLog folder when missing, removes whatever file is at `path` and creates a new
// empty file there for writing, readable by the user only. Never follows a symbolic link and
// never writes into a file that someone else created after the removal. The caller closes `fd`.
Result CreatePreviewFile(const std::string& path, int& fd);

}  // namespace norvale
