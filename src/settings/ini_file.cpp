#include "settings/ini_file.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>

namespace qrx {

bool sameProfileName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

namespace {

std::string trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    size_t end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
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

// The section of the key lines above the first header.
constexpr char kAboveSections[] = "\n";

// A line of the text as the profile functions read it, with its bytes
// [begin, end), end past its "\n".
struct ProfileLine {
    enum class Kind { Blank, Comment, Section, Key, Name } kind;
    std::string name;   // a section's or key's name; a Name line: the whole line
    std::string value;  // a key's value, unquoted
    size_t begin, end;
};

std::vector<ProfileLine> profileLines(const std::string& text) {
    std::vector<ProfileLine> lines;
    for (size_t begin = 0; begin < text.size();) {
        const size_t newline = text.find('\n', begin);
        const size_t end = newline == std::string::npos ? text.size() : newline + 1;
        const std::string trimmed = trim(text.substr(begin, end - begin));
        ProfileLine line{ProfileLine::Kind::Blank, std::string(), std::string(), begin, end};
        const size_t equals = trimmed.find('=');
        if (trimmed.empty()) {
        } else if (trimmed[0] == ';') {
            line.kind = ProfileLine::Kind::Comment;
        } else if (trimmed[0] == '[') {
            const size_t close = trimmed.find(']');
            line.kind = ProfileLine::Kind::Section;
            line.name =
                trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        } else if (equals == std::string::npos) {
            line.kind = ProfileLine::Kind::Name;
            line.name = trimmed;
        } else {
            line.kind = ProfileLine::Kind::Key;
            line.name = trim(trimmed.substr(0, equals));
            line.value = unquote(trim(trimmed.substr(equals + 1)));
        }
        lines.push_back(line);
        begin = end;
    }
    return lines;
}

// Calls visit(line) for each key or name line of the first section named
// section (each section line, with section empty; the lines above the first
// header, with section kAboveSections) until it returns false.
template <typename Visit>
void forEachProfileLine(const std::string& text, const std::string& section, Visit visit) {
    bool inSection = section == kAboveSections;
    bool sectionSeen = inSection;
    for (const ProfileLine& line : profileLines(text)) {
        if (line.kind == ProfileLine::Kind::Blank || line.kind == ProfileLine::Kind::Comment)
            continue;
        if (line.kind == ProfileLine::Kind::Section) {
            if (section.empty()) {
                if (!visit(line)) return;
                continue;
            }
            // Only the first section of a name counts.
            if (inSection) return;
            inSection = !sectionSeen && sameProfileName(line.name, section);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (inSection && !visit(line)) return;
    }
}

}  // namespace

bool findProfileValue(const std::string& text, const std::string& section, const std::string& key,
                      std::string* value) {
    bool found = false;
    forEachProfileLine(text, section, [&](const ProfileLine& line) {
        if (line.kind != ProfileLine::Kind::Key || !sameProfileName(line.name, key)) return true;
        *value = line.value;
        found = true;
        return false;
    });
    return found;
}

ProfileSpot locateProfileKey(const std::string& text, const std::string& section,
                             const std::string& key) {
    ProfileSpot spot;
    bool inSection = false;
    for (const ProfileLine& line : profileLines(text)) {
        if (line.kind == ProfileLine::Kind::Section) {
            if (inSection || spot.sectionFound) break;
            inSection = spot.sectionFound = sameProfileName(line.name, section);
        } else if (inSection && line.kind == ProfileLine::Kind::Key &&
                   sameProfileName(line.name, key)) {
            spot.keyFound = true;
            spot.begin = line.begin;
            spot.end = line.end;
            return spot;
        }
        if (inSection && line.kind != ProfileLine::Kind::Blank) spot.begin = spot.end = line.end;
    }
    return spot;
}

std::vector<std::string> listProfileNames(const std::string& text, const std::string& section) {
    std::vector<std::string> names;
    forEachProfileLine(text, section, [&](const ProfileLine& line) {
        names.push_back(line.name);
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
