// The INI reading of the POSIX stand-in, with the semantics of the Windows
// profile functions (GetPrivateProfileStringA / GetPrivateProfileIntA).
#pragma once

#include <string>

namespace qrx {

// Looks key up in section of the INI text. Section and key names compare
// case-insensitively and the first match of each wins; white space around
// names and values is trimmed; lines starting with ';' are comments; one
// pair of matching surrounding quotes is taken off the value. Returns false
// when the section or key is missing.
bool findProfileValue(const std::string& text, const std::string& section, const std::string& key,
                      std::string* value);

// The integer of a profile value as GetPrivateProfileIntA reads it: an
// optional sign, then decimal digits or "0x" and hexadecimal digits, read up
// to the first other character; no digits gives 0.
int parseProfileInt(const std::string& value);

}  // namespace qrx
