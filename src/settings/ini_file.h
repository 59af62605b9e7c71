// The reading of "Server.ini", by the rules of the Windows profile functions
// (GetPrivateProfileStringA / GetPrivateProfileIntA) on both builds: those
// functions take a UTF-8 byte-order mark for part of the first line, and
// lose the first section's keys with it.
#pragma once

#include <string>
#include <vector>

namespace qrx {

// Whether two section or key names are the same to the profile functions:
// alike but for the case of ASCII letters.
bool sameProfileName(const std::string& a, const std::string& b);

// Looks key up in section of the INI text. Section and key names compare
// case-insensitively and the first match of each wins; white space around
// names and values is trimmed; lines starting with ';' are comments; one
// pair of matching surrounding quotes is taken off the value. Returns false
// when the section or key is missing.
bool findProfileValue(const std::string& text, const std::string& section, const std::string& key,
                      std::string* value);

// Where a writer puts key in section so that findProfileValue reads it: the
// bytes [begin, end) of the key's line when keyFound; else, when
// sectionFound, begin == end just past the section's last line that is not
// blank, where a new key line goes.
struct ProfileSpot {
    bool sectionFound = false, keyFound = false;
    size_t begin = 0, end = 0;
};
ProfileSpot locateProfileKey(const std::string& text, const std::string& section,
                             const std::string& key);

// The names GetPrivateProfileStringA gives with a null key: those of the
// keys of section (of its first occurrence, as findProfileValue reads it),
// in the text's order, a key that comes twice twice; or, with an empty
// section, those of the sections. A line of a section without "=" names a
// key too: the whole line.
std::vector<std::string> listProfileNames(const std::string& text, const std::string& section);

// The names of the keys above the first section header, which no section
// holds and nothing reads.
std::vector<std::string> listKeysAboveSections(const std::string& text);

// The integer of a profile value as GetPrivateProfileIntA reads it: an
// optional sign, then decimal digits or "0x" and hexadecimal digits, read up
// to the first other character; no digits gives 0.
int parseProfileInt(const std::string& value);

}  // namespace qrx
