#include "platform/registry_export.h"

#include <cctype>
#include <sstream>

namespace qrx {
namespace {

std::string trimmed(std::string s) {
    size_t begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    return s.substr(begin, s.find_last_not_of(" \t\r\n") - begin + 1);
}

// Reads a quoted text starting at text[*pos] == '"'; leaves *pos after the
// closing quote. Returns false when the quote is not closed.
bool readQuoted(const std::string& text, size_t* pos, std::string* out) {
    out->clear();
    for (size_t i = *pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < text.size()) c = text[++i];
        out->push_back(c);
    }
    return false;
}

bool isHeader(const std::string& line) {
    return line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00";
}

// One "Name"="value" line; other kinds of value are not read.
void readValueLine(const std::string& line, RegistryValues* values) {
    size_t pos = 0;
    std::string name, value;
    if (line.empty() || line[0] != '"' || !readQuoted(line, &pos, &name)) return;
    std::string rest = trimmed(line.substr(pos));
    if (rest.size() < 2 || rest[0] != '=') return;
    std::string data = trimmed(rest.substr(1));
    size_t dataPos = 0;
    if (data.empty() || data[0] != '"' || !readQuoted(data, &dataPos, &value)) return;
    (*values)[lowerCase(name)] = value;
}

}  // namespace

std::string lowerCase(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool readRegistryExport(const std::string& text, const std::string& keyPath,
                        RegistryValues* values) {
    std::istringstream lines(text);
    std::string line;
    bool headerSeen = false;
    bool inKey = false;
    bool keySeen = false;
    const std::string wanted = lowerCase(keyPath);
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (!headerSeen) {
            if (line.empty()) continue;
            if (!isHeader(line)) return false;
            headerSeen = true;
            continue;
        }
        if (!line.empty() && line[0] == '[') {
            size_t close = line.rfind(']');
            std::string path =
                line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            inKey = lowerCase(path) == wanted;
            keySeen = keySeen || inKey;
            continue;
        }
        if (inKey) readValueLine(line, values);
    }
    return keySeen;
}

}  // namespace qrx
