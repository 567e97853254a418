#pragma once
// Where the program keeps its own files. Scan logs and preview files live under
// $XDG_DATA_HOME/Kestrune (default ~/.local/share/Kestrune), the writable config.ini under
// $XDG_CONFIG_HOME/Kestrune (default ~/.config/Kestrune). Read on every call, so tests can
// point the variables at temporary folders.

#include <string>

#include "device/result.h"

namespace norvale {

std::string DataHome();       // ".../Kestrune", no trailing "/"
std::string ConfigHome();     // ".../Kestrune", no trailing "/"
std::string ScanLogFolder();  // DataHome() + "/ScanLog", no trailing "/"

// Creates `path` and its parents (mode 0755); kOk when it already exists as a folder.
Result MakeFolders(const std::string& path);
// Deletes `path` and everything below it without following symbolic links.
Result RemoveTree(const std::string& path);

}  // namespace norvale
