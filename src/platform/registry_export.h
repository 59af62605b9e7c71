// The registry of the POSIX stand-in: one key read from a file in the
// format of a registry-editor export (REGEDIT4 or "Windows Registry Editor
// Version 5.00"), taken as 8-bit text, byte for byte.
#pragma once

#include <map>
#include <string>

namespace qrx {

// Text values of one key, by lower-cased value name (value names compare
// case-insensitively, as in the registry).
using RegistryValues = std::map<std::string, std::string>;

// Reads the string values ("Name"="value", with \\ and \" escapes) of the
// section [keyPath] (compared case-insensitively) into *values. Values of
// other kinds (dword:, hex:...) are left out. Returns false when the text is
// not an export or holds no such section: the key cannot be opened.
bool readRegistryExport(const std::string& text, const std::string& keyPath,
                        RegistryValues* values);

std::string lowerCase(const std::string& text);

}  // namespace qrx
