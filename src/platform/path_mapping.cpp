#include "platform/path_mapping.h"

#include <cctype>
#include <cstdlib>

namespace qrx {

std::string posixPrefix() {
    const char* prefix = std::getenv("QRX_PREFIX");
    if (prefix != nullptr && *prefix != '\0') return prefix;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.qrx";
}

std::string mapToPosixPath(const std::string& prefix, const std::string& path) {
    std::string mapped = path;
    for (char& c : mapped) {
        if (c == '\\') c = '/';
    }
    bool hasDrive = mapped.size() >= 2 && std::isalpha(static_cast<unsigned char>(mapped[0])) &&
                    mapped[1] == ':' && (mapped.size() == 2 || mapped[2] == '/');
    if (!hasDrive) return mapped;
    char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(mapped[0])));
    std::string rest = mapped.size() > 3 ? mapped.substr(3) : std::string();
    return prefix + "/drive_" + drive + "/" + rest;
}

}  // namespace qrx
