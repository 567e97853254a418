#pragma once
// Where the program finds what ships with it and where it keeps its configuration.
//
// Read-only files (the Languages folder) ship with the program: next to the executable (the
// build tree and a relocatable copy) or, for an installation under a prefix, in
// <prefix>/share/norvale beside <prefix>/bin; last, in the data folder the build was configured
// for (an installation whose bin and share folders are not siblings). The writable config.ini
// lives in ConfigHome().

#include <string>

namespace norvale {

// The folder of the running executable, without trailing "/"; "" when it cannot be found.
std::string ProgramDirectory();

// The Languages folder for a program in `programDir`, with a trailing "/": "<dir>/Languages/"
// when that folder exists, else "<dir>/../share/norvale/Languages/" when that one exists, else
// "<dataDir>/Languages/" when `dataDir` is given and that one exists, else "<dir>/Languages/".
std::string LanguagesDirectoryFor(const std::string& programDir, const std::string& dataDir = "");
// LanguagesDirectoryFor(ProgramDirectory(), InstalledDataDirectory()).
std::string LanguagesDirectory();
// The folder of the read-only files in the installation the build was configured for
// (<datadir>/norvale, e.g. /usr/share/norvale), without trailing "/".
std::string InstalledDataDirectory();

// ConfigHome() + "/config.ini".
std::string ConfigFilePath();

}  // namespace norvale
