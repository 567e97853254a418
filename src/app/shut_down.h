#pragma once
// What the program cleans up when it ends: the preview players it started and the temporary
// preview files in the scan-log folder.
//
// Preview players are child processes started by the preview; their starter registers each
// one and forgets it again once it has reaped the process (so a reused process id is never
// signalled). Only registered players are stopped: processes of other programs, even with the
// same name, are never touched.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace norvale {

inline constexpr const char* kPreviewVideoFile = "tmp.avi";
inline constexpr const char* kPreviewPictureFile = "tmp.jpg";

// ScanLogFolder() + "/" + name.
std::string PreviewTempPath(const char* name);

void RegisterPreviewPlayer(pid_t pid);
void ForgetPreviewPlayer(pid_t pid);
// Ends every registered player at once (SIGKILL) and forgets them; returns how many were
// signalled. Reaping stays with the starter.
size_t StopPreviewPlayers();

// Deletes "tmp.avi" and "tmp.jpg" of the scan-log folder, when present.
void DeletePreviewTempFiles();

// The end of the program: StopPreviewPlayers(), then DeletePreviewTempFiles().
void ShutDownApplication();

}  // namespace norvale
