#include "settings/ini_file.h"

#include <cctype>
#include <cstdint>
#include <sstream>

namespace qrx {
namespace {

std::string trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    size_t end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string unquote(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

}  // namespace

namespace {

// The section of the key lines above the first header.
constexpr char kAboveSections[] = "\n";

// Calls visit(name, value, hasValue) for each key line of the first section
// named section (every section's name, with section empty; the lines above
// the first header, with section kAboveSections) until it returns false.
template <typename Visit>
void forEachProfileLine(const std::string& text, const std::string& section, Visit visit) {
    std::istringstream lines(text);
    std::string line;
    bool inSection = section == kAboveSections;
    bool sectionSeen = inSection;
    while (std::getline(lines, line)) {
        std::string trimmed = trim(line);
        if (trimmed.empty() || trimmed[0] == ';') continue;
        if (trimmed[0] == '[') {
            size_t close = trimmed.find(']');
            std::string name =
                trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            if (section.empty()) {
                if (!visit(name, std::string(), false)) return;
                continue;
            }
            // Only the first section of a name counts.
            if (inSection) return;
            inSection = !sectionSeen && equalsIgnoreCase(name, section);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        size_t equals = trimmed.find('=');
        if (equals == std::string::npos) {
            if (!visit(trimmed, std::string(), false)) return;
            continue;
        }
        if (!visit(trim(trimmed.substr(0, equals)), unquote(trim(trimmed.substr(equals + 1))),
                   true))
            return;
    }
}

}  // namespace

bool findProfileValue(const std::string& text, const std::string& section, const std::string& key,
                      std::string* value) {
    bool found = false;
    forEachProfileLine(text, section,
                       [&](const std::string& name, const std::string& lineValue, bool hasValue) {
                           if (!hasValue || !equalsIgnoreCase(name, key)) return true;
                           *value = lineValue;
                           found = true;
                           return false;
                       });
    return found;
}

std::vector<std::string> listProfileNames(const std::string& text, const std::string& section) {
    std::vector<std::string> names;
    forEachProfileLine(text, section, [&](const std::string& name, const std::string&, bool) {
        names.push_back(name);
        return true;
    });
    return names;
}

std::vector<std::string> listKeysAboveSections(const std::string& text) {
    return listProfileNames(text, kAboveSections);
}

int parseProfileInt(const std::string& value) {
    size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
    int base = 10;
    if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    uint32_t result = 0;  // wraps like the Windows reader
    for (; i < value.size() && digitValue(value[i]) < base; ++i)
        result = result * static_cast<uint32_t>(base) + static_cast<uint32_t>(digitValue(value[i]));
    if (negative) result = 0u - result;
    return static_cast<int>(result);
}

}  // namespace qrx
