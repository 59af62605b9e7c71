#include "deployed_settings.h"

#include <cstring>

#include "settings/ini_file.h"

namespace qrx::installer {

const DeployedSetting kDeployedSettings[3] = {
    {"ADDRESS", "Address"}, {"ADDRESSEX", "AddressEx"}, {"SCANMODE", "ScanMode"}};

namespace {

// The file's own line end: CR LF as shipped, LF when the desk's editor
// wrote that.
std::string lineEndOf(const std::string& text) {
    const size_t first = text.find('\n');
    return first != std::string::npos && (first == 0 || text[first - 1] != '\r') ? "\n" : "\r\n";
}

}  // namespace

std::string deployedSettingProblem(const std::string& property, const std::string& value) {
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f)
            return property +
                   " holds a control character (a line end, a tab): it would make "
                   "lines of its own in Server.ini";
    if (value.find('|') != std::string::npos)
        return property + " holds \"|\", which no endpoint has";
    if (property == "SCANMODE" && !value.empty() &&
        (value.size() != 1 || value[0] < '0' || value[0] > '3'))
        return "SCANMODE is " + value + ": it must be 0, 1, 2 or 3";
    return std::string();
}

std::string withIniValue(const std::string& text, const std::string& section,
                         const std::string& key, const std::string& value) {
    const std::string eol = lineEndOf(text);
    const std::string line = key + "=" + value;
    const ProfileSpot spot = locateProfileKey(text, section, key);
    if (spot.keyFound) {
        const std::string old = text.substr(spot.begin, spot.end - spot.begin);
        const size_t ending = old.find_first_of("\r\n");
        return text.substr(0, spot.begin) + line +
               (ending == std::string::npos ? "" : old.substr(ending)) + text.substr(spot.end);
    }
    if (spot.sectionFound) {
        const bool ended = spot.end == 0 || text[spot.end - 1] == '\n';
        return text.substr(0, spot.end) + (ended ? "" : eol) + line + eol + text.substr(spot.end);
    }
    const bool ended = text.empty() || text.back() == '\n';
    return text + (ended ? "" : eol) + "[" + section + "]" + eol + line + eol;
}

SettingsFiles afterInstall(SettingsFiles files,
                           const std::vector<std::pair<std::string, std::string>>& values) {
    const bool untouched = !files.settings || unchangedByDesk(files);
    std::string settings = files.settings.value_or(files.shipped);
    for (const auto& [key, value] : values)
        if (!value.empty()) settings = withIniValue(settings, "Server", key, value);
    files.settings = settings;
    if (untouched) files.installed = settings;
    return files;
}

namespace {

const char kHex[] = "0123456789abcdef";

std::string keptFile(const std::optional<std::string>& file) {
    if (!file) return "-";
    std::string hex;
    for (unsigned char c : *file) hex += {kHex[c >> 4], kHex[c & 15]};
    return hex;
}

std::optional<std::string> fileKept(const std::string& hex) {
    if (hex == "-" || hex.size() % 2 != 0) return std::nullopt;
    std::string file;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const char* high = std::strchr(kHex, hex[i]);
        const char* low = std::strchr(kHex, hex[i + 1]);
        if (high == nullptr || low == nullptr || *high == 0 || *low == 0) return std::nullopt;
        file += static_cast<char>((high - kHex) * 16 + (low - kHex));
    }
    return file;
}

}  // namespace

std::string keptSettings(const SettingsFiles& files) {
    return keptFile(files.settings) + "," + keptFile(files.installed);
}

SettingsFiles withKept(SettingsFiles files, const std::string& kept) {
    const size_t comma = kept.find(',');
    if (comma == std::string::npos) return files;
    if (!files.settings) files.settings = fileKept(kept.substr(0, comma));
    if (!files.installed) files.installed = fileKept(kept.substr(comma + 1));
    return files;
}

bool unchangedByDesk(const SettingsFiles& files) {
    return files.settings &&
           (*files.settings == files.shipped || files.installed == files.settings);
}

}  // namespace qrx::installer
