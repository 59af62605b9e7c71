// Character-set conversion through iconv, for the POSIX stand-in and the
// POSIX tools.
#pragma once

#include <cstddef>
#include <string>

namespace qrx {

// Runs all of in through a fresh iconv converter from the character set
// from to the set to (iconv's names, such as "GBK" or "UTF-8"). Returns
// false at the first input it cannot convert, with *stoppedAt its offset
// (0 when there is no such converter); *out is then unchanged.
bool convertText(const char* to, const char* from, const std::string& in, std::string* out,
                 size_t* stoppedAt);

}  // namespace qrx
