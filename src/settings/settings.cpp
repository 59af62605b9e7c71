// Reading "Server.ini" and the registry key into a Settings value. Each
// key is read with the profile calls as the server always has, then its
// text is looked at again, so that a value not read as written gets a note
// beside it.
#include "settings/settings.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qrx {
namespace {

constexpr size_t kProfileBufferSize = 260;  // texts are cut to 259 bytes
constexpr const char kRegistryKey[] = "SOFTWARE\\Quorvane";
constexpr const char kDefaultScanCmdPath[] = "scancmd.scc";
// "社会信息采集系统" in GBK, compared as bytes against window titles.
constexpr const char kDefaultCaption[] =
    "\xC9\xE7\xBB\xE1\xD0\xC5\xCF\xA2\xB2\xC9\xBC\xAF\xCF\xB5\xCD\xB3";

// One key of "Server.ini". A setting is a text when text is set, a size
// when size is set (intDefault its default), else an integer, which is
// noted when it is not from least to most.
struct Setting {
    const char* section;
    const char* key;
    const char* textDefault;
    int intDefault;
    std::string Settings::*text;
    int Settings::*number;
    int64_t Settings::*size = nullptr;
    int least = INT_MIN;
    int most = INT_MAX;
};

// Read in this order.
const Setting kSettings[] = {
    {"Server", "Address", "tcp://0.0.0.0:7106", 0, &Settings::address, nullptr},
    {"Server", "AddressEx", "tcp://0.0.0.0:7107", 0, &Settings::addressEx, nullptr},
    {"Server", "ScanMode", nullptr, 2, nullptr, &Settings::scanMode, nullptr, 0, 3},
    {"Server", "WaitTime", nullptr, 180, nullptr, &Settings::waitTime},
    {"SheCai", "Caption", kDefaultCaption, 0, &Settings::caption, nullptr},
    {"SheCai", "HourCtrlId", nullptr, 49, nullptr, &Settings::hourCtrlId},
    {"SheCai", "MinuteCtrlId", nullptr, 53, nullptr, &Settings::minuteCtrlId},
    // The bounds on memory (0: none). A request is at most 4 MiB (a card
    // with both photographs is about 70 KB), at most 100,000 codes wait to
    // be spent, and the queue holds at most 256 MiB.
    {"Server", "MaxRequestSize", nullptr, 4 << 20, nullptr, &Settings::maxRequestSize},
    {"Server", "MaxCodes", nullptr, 100000, nullptr, &Settings::maxCodes},
    {"Server", "MaxCacheSize", nullptr, 256 << 20, nullptr, &Settings::maxCacheSize},
    // Connections admitted at once, in all and from one address. Each may
    // hold about five requests and 2 MiB of replies: 32 of them bound what
    // clients can make the 32-bit build hold, and a desk has a handful.
    {"Server", "MaxConnections", nullptr, 32, nullptr, &Settings::maxConnections},
    {"Server", "MaxConnectionsPerAddress", nullptr, 16, nullptr,
     &Settings::maxConnectionsPerAddress},
    // A capture application that stops handling messages holds each clock
    // control's text up at most this long (milliseconds), not forever.
    {"SheCai", "ClockTimeout", nullptr, Settings::kDefaultClockTimeoutMs, nullptr,
     &Settings::clockTimeout},
    // The log is moved aside to "sock.log.1" before it passes 64 MiB (0 or
    // a negative value: no bound).
    {"Server", "MaxLogSize", nullptr, 64 << 20, nullptr, nullptr, &Settings::maxLogSize},
    // The log keeps each request whole, photographs included (about 70 KB a
    // card); 0 keeps their lengths alone.
    {"Server", "LogImages", nullptr, 1, nullptr, &Settings::logImages, nullptr, 0, 1},
    // CURVE security: unset, the endpoints speak plain text.
    {"Security", "CurveSecretKeyFile", "", 0, &Settings::curveSecretKeyFile, nullptr},
    {"Security", "CurveClientKeys", "", 0, &Settings::curveClientKeysFile, nullptr},
};

constexpr int64_t kLeastSize = int64_t{1} << 20;

// A size as an operator writes it: whole bytes, or a whole number followed
// by KB, MB or GB (1024-based, any letter case), in 64 bits. False for
// anything else, a number too great for 64 bits included.
bool parseSize(const std::string& text, int64_t* bytes) {
    size_t digits = 0;
    int64_t number = 0;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    for (; digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]));
         ++digits) {
        const int digit = text[digits] - '0';
        if (number > (kMax - digit) / 10) return false;
        number = number * 10 + digit;
    }
    if (digits == 0) return false;
    std::string unit;
    for (size_t i = digits; i < text.size(); ++i)
        unit += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    const int shift = unit.empty()   ? 0
                      : unit == "KB" ? 10
                      : unit == "MB" ? 20
                      : unit == "GB" ? 30
                                     : -1;
    if (shift < 0 || number > (kMax >> shift)) return false;
    *bytes = number << shift;
    return true;
}

// A result folder ends in a separator unless it is empty.
std::string asFolder(std::string path, char separator) {
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += separator;
    return path;
}

// The number an integer setting's whole text stands for, as the profile
// reader reads it: an optional sign, then decimal digits or "0x" and
// hexadecimal digits, and nothing else. *fits tells whether it is within
// 32 bits, where the reader would wrap it.
bool wholeNumber(const std::string& text, int64_t* value, bool* fits) {
    size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
    const bool hex = text.size() > i + 2 && text[i] == '0' && (text[i + 1] | 0x20) == 'x';
    const size_t first = hex ? i + 2 : i;
    if (first == text.size()) return false;
    int64_t number = 0;
    for (size_t d = first; d < text.size(); ++d) {
        const unsigned char c = static_cast<unsigned char>(text[d]);
        if (hex ? !std::isxdigit(c) : !std::isdigit(c)) return false;
        const int digit = std::isdigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
        number = std::min<int64_t>(number * (hex ? 16 : 10) + digit, int64_t{1} << 40);
    }
    *value = text[0] == '-' ? -number : number;
    *fits = *value >= INT_MIN && *value <= INT_MAX;
    return true;
}

// A size as an operator would write it: "64MB" rather than 67108864.
std::string sizeText(int64_t bytes) {
    for (const auto& [shift, unit] : {std::pair{30, "GB"}, {20, "MB"}, {10, "KB"}}) {
        if (bytes != 0 && bytes % (int64_t{1} << shift) == 0)
            return std::to_string(bytes >> shift) + unit;
    }
    return std::to_string(bytes);
}

// Key and section names are compared as the profile functions compare them.
bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// Reads the keys of one "Server.ini" and notes what is not read as written.
class IniReader {
  public:
    IniReader(Platform& platform, Settings* settings)
        : platform_(platform), path_(settings->iniPath), notes_(settings->notes) {}

    std::string text(const Setting& s) {
        return platform_.files().profileString(path_, s.section, s.key, s.textDefault,
                                               kProfileBufferSize);
    }
    int number(const Setting& s) {
        return platform_.files().profileInt(path_, s.section, s.key, s.intDefault);
    }
    int64_t size(const Setting& s);
    // Notes a text setting longer than the reader takes (used).
    void checkLength(const Setting& s, const std::string& used);
    // Notes an integer setting whose text is not the number read, or is
    // outside the setting's least to most.
    void checkInteger(const Setting& s, int used);
    // Notes the keys of the settings' sections, and the sections, that no
    // setting reads, and a key set twice.
    void checkUnread();

  private:
    std::string written(const Setting& s, size_t longest = kProfileBufferSize) {
        return platform_.files().profileString(path_, s.section, s.key, "", longest);
    }
    void checkSections(const std::vector<std::string>& sections);
    void checkKeys(const std::string& section);

    Platform& platform_;
    const std::string& path_;
    std::vector<SettingNote>& notes_;
};

void IniReader::checkLength(const Setting& s, const std::string& used) {
    constexpr size_t kLongerThanAnyUse = 4096;
    const std::string text = written(s, kLongerThanAnyUse);
    if (text.size() <= used.size()) return;
    notes_.push_back({s.key, std::string(s.key) + "=" + text + " in Server.ini is longer than " +
                                 std::to_string(kProfileBufferSize - 1) + " bytes: its first " +
                                 std::to_string(kProfileBufferSize - 1) + " used"});
}

void IniReader::checkInteger(const Setting& s, int used) {
    const std::string text = written(s);
    if (text.empty()) return;  // missing: the default
    int64_t number = 0;
    bool fits = false;
    const bool whole = wholeNumber(text, &number, &fits);
    if (whole && fits && number >= s.least && number <= s.most) return;
    const std::string range =
        s.least == INT_MIN && s.most == INT_MAX
            ? std::string()
            : " from " + std::to_string(s.least) + " to " + std::to_string(s.most);
    const std::string why = !whole  ? "not a whole number"
                            : !fits ? "too large a number"
                                    : "not" + range;
    notes_.push_back({s.key, std::string(s.key) + "=" + text + " in Server.ini is " + why + ": " +
                                 std::to_string(used) + " used; write a whole number" + range +
                                 ", digits only, as " + s.key + "=" +
                                 std::to_string(s.intDefault)});
}

void IniReader::checkUnread() {
    std::vector<std::string> sections;
    for (const Setting& s : kSettings) {
        bool listed = false;
        for (const std::string& section : sections) listed = listed || section == s.section;
        if (!listed) sections.push_back(s.section);
    }
    checkSections(sections);
    for (const std::string& section : sections) checkKeys(section);
}

void IniReader::checkSections(const std::vector<std::string>& sections) {
    const char* const kSections = "[Server], [SheCai] and [Security]";
    std::map<std::string, int> sectionsSeen;
    for (const std::string& name : platform_.files().profileNames(path_, "")) {
        std::string known;
        for (const std::string& section : sections)
            if (sameName(name, section)) known = section;
        const std::string shown = "[" + name + "]";
        if (known.empty())
            notes_.push_back({shown, shown +
                                         " in Server.ini is not a section the server "
                                         "reads: its keys are not read; the sections "
                                         "are " +
                                         std::string(kSections)});
        else if (++sectionsSeen[known] == 2)
            notes_.push_back({shown, shown + " comes again in Server.ini: only the keys "
                                             "of its first one are read"});
    }
}

void IniReader::checkKeys(const std::string& section) {
    std::map<std::string, int> keysSeen;
    for (const std::string& name : platform_.files().profileNames(path_, section)) {
        const Setting* known = nullptr;
        const Setting* elsewhere = nullptr;
        for (const Setting& s : kSettings) {
            if (!sameName(name, s.key)) continue;
            (s.section == section ? known : elsewhere) = &s;
        }
        const std::string place = " in [" + section + "] of Server.ini ";
        if (known != nullptr) {
            if (++keysSeen[known->key] == 2)
                notes_.push_back(
                    {known->key, name + place + "comes again: only the first is read"});
            continue;
        }
        notes_.push_back(
            {"[" + section + "] " + name,
             name + place + "is not a key the server reads" +
                 (elsewhere != nullptr ? ": it is read in [" + std::string(elsewhere->section) + "]"
                                       : ": it is not read (misspelt?)")});
    }
}

// A value that is not a size gives the default, one below 1 MiB (but 0) the
// least size, a negative one 0 (no bound), as older versions read it; each
// with a note that names the key, the value written and the value used.
int64_t IniReader::size(const Setting& s) {
    const int64_t fallback = s.intDefault;
    const std::string text = written(s);
    if (text.empty()) return fallback;  // missing, as an empty integer reads
    int64_t bytes = 0;
    const char* why = nullptr;
    if (text[0] == '-' && parseSize(text.substr(1), &bytes)) {
        why = "negative, which means no bound";
        bytes = 0;
    } else if (!parseSize(text, &bytes)) {
        why = "not a whole number of bytes, KB, MB or GB";
        bytes = fallback;
    } else if (bytes != 0 && bytes < kLeastSize) {
        why = "below 1 MB";
        bytes = kLeastSize;
    }
    if (why != nullptr)
        notes_.push_back({s.key, std::string(s.key) + "=" + text + " in Server.ini is " + why +
                                     ": " + std::to_string(bytes) +
                                     " used; write bytes, or a whole number and KB, MB or GB "
                                     "with no space, at least 1MB, or 0 for no bound, as " +
                                     s.key + "=" + sizeText(fallback)});
    return bytes;
}

}  // namespace

std::string executableFolder(Platform& platform) {
    std::string path = platform.process().executablePath();
    const size_t folderEnd = path.rfind(platform.files().pathSeparator());
    path.erase(folderEnd == std::string::npos ? 0 : folderEnd + 1);
    return path;
}

void readIniSettings(Platform& platform, Settings* settings) {
    settings->iniPath = executableFolder(platform) + "Server.ini";
    settings->iniFound = platform.files().fileExists(settings->iniPath);
    settings->notes.clear();
    IniReader ini(platform, settings);
    for (const Setting& s : kSettings) {
        if (s.text != nullptr)
            ini.checkLength(s, settings->*s.text = ini.text(s));
        else if (s.size != nullptr)
            settings->*s.size = ini.size(s);
        else
            ini.checkInteger(s, settings->*s.number = ini.number(s));
    }
    ini.checkUnread();
}

void readScanPaths(Platform& platform, Settings* settings) {
    std::unique_ptr<RegistryKey> key = platform.process().openMachineKey(kRegistryKey);
    std::string cmdPath, resultDir, resultJwDir;
    if (key) {
        key->queryString("ScanCmdPath", &cmdPath);
        key->queryString("ScanResult", &resultDir);
        key->queryString("ScanResult_jw", &resultJwDir);
    }
    const char separator = platform.files().pathSeparator();
    settings->scanCmdPath = cmdPath.empty() ? kDefaultScanCmdPath : cmdPath;
    settings->scanResultDir = asFolder(resultDir, separator);
    settings->scanResultJwDir = asFolder(resultJwDir, separator);
}

Settings readSettings(Platform& platform) {
    Settings settings;
    readIniSettings(platform, &settings);
    readScanPaths(platform, &settings);
    return settings;
}

std::string settingsReport(Platform& platform, const Settings& settings,
                           const std::string& logPath) {
    std::string report;
    // Values start in column 20, or two places past a longer name.
    auto line = [&](const std::string& name, const std::string& value) {
        report += name + std::string(std::max<size_t>(20, name.size() + 2) - name.size(), ' ') +
                  platform.process().terminalText(value) + "\n";
    };
    auto notesOf = [&](const std::string& key) {
        for (const SettingNote& note : settings.notes)
            if (note.key == key) line("note", note.text);
    };
    line("Server.ini", platform.files().hostPath(settings.iniPath) +
                           (settings.iniFound ? "" : " (missing: all defaults)"));
    for (const Setting& s : kSettings) {
        line(s.key, s.text != nullptr   ? settings.*s.text
                    : s.size != nullptr ? std::to_string(settings.*s.size)
                                        : std::to_string(settings.*s.number));
        notesOf(s.key);
    }
    for (const SettingNote& note : settings.notes) {
        bool beside = false;
        for (const Setting& s : kSettings) beside = beside || note.key == s.key;
        if (!beside) line("note", note.text);
    }
    line("ScanCmdPath", platform.files().hostPath(settings.scanCmdPath));
    line("ScanResult", platform.files().hostPath(settings.scanResultDir));
    line("ScanResult_jw", platform.files().hostPath(settings.scanResultJwDir));
    line("log", platform.files().hostPath(logPath));
    line("CURVE", settings.curveOn() ? "on" : "off");
    return report;
}

}  // namespace qrx
