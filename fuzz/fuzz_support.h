// What the fuzz targets share: a scratch prefix for the POSIX stand-in that
// lives as long as the fuzzing process.
#pragma once

#include <cstdlib>
#include <string>

namespace qrx::fuzz {

inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/qrx-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made != nullptr ? made : "/tmp");
    }();
    return folder;
}

}  // namespace qrx::fuzz
