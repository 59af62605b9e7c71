// Small file helpers the POSIX stand-in's parts share.
#pragma once

#include <string>

namespace qrx {

// Reads the whole file at a host path. Returns false when it cannot be
// opened.
bool readWholeFile(const std::string& path, std::string* content);

}  // namespace qrx
