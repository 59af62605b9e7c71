// How the POSIX stand-in lays a Windows machine out under one folder, the
// prefix. Pure functions, so the mapping is tested without touching files.
#pragma once

#include <string>

namespace qrx {

// The folder named by QRX_PREFIX, or ~/.qrx when it is unset or empty.
std::string posixPrefix();

// Maps a path as configured to the POSIX file system: backslashes become
// slashes, and a leading drive ("c:\", "D:/") becomes
// "<prefix>/drive_<lower-case letter>/". Other paths keep their place
// (relative ones stay relative to the working folder).
std::string mapToPosixPath(const std::string& prefix, const std::string& path);

}  // namespace qrx
