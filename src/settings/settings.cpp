// Reading "Server.ini" and the registry key into a Settings value. Each
// key is read by the profile functions' rules, then its text is looked at
// again, so that a value not read as written gets a note beside it.
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

#include "settings/curve_keys.h"
#include "settings/ini_file.h"

namespace qrx {
namespace {

constexpr size_t kProfileBufferSize = 260;  // texts are cut to 259 bytes
constexpr const char kRegistryKey[] = "SOFTWARE\\Quorvane";
constexpr const char kDefaultScanCmdPath[] = "scancmd.scc";
// "社会信息采集系统" in GBK, compared as bytes against window titles.
constexpr const char kDefaultCaption[] =
    "\xC9\xE7\xBB\xE1\xD0\xC5\xCF\xA2\xB2\xC9\xBC\xAF\xCF\xB5\xCD\xB3";

// How a key of "Server.ini" is read.
enum class Kind {
    Text,    // bytes, cut to 259
    Number,  // as GetPrivateProfileIntA reads it, noted outside least to most
    Bound,   // a whole number from least to most; anything else the default
    Size,    // bytes, or a whole number and KB, MB or GB; from least to most,
             // anything else the default
};

// One key of "Server.ini": its kind, its default (textDefault for a text,
// else numberDefault) and the field it fills.
struct Setting {
    const char* section;
    const char* key;
    Kind kind;
    const char* textDefault;
    int64_t numberDefault;
    std::string Settings::*text;
    int Settings::*number;
    int64_t Settings::*size = nullptr;
    int64_t least = INT_MIN;
    int64_t most = INT_MAX;
    // A size: the least bound (a smaller one but 0 is raised to it), and
    // whether a negative size is the documented "no bound".
    int64_t leastBound = 0;
    bool negativeMeansNone = false;
};

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

// Read in this order.
const Setting kSettings[] = {
    {"Server", "Address", Kind::Text, "tcp://0.0.0.0:7106", 0, &Settings::address, nullptr},
    {"Server", "AddressEx", Kind::Text, "tcp://0.0.0.0:7107", 0, &Settings::addressEx, nullptr},
    {"Server", "ScanMode", Kind::Number, nullptr, 2, nullptr, &Settings::scanMode, nullptr, 0, 3},
    {"Server", "WaitTime", Kind::Number, nullptr, 180, nullptr, &Settings::waitTime},
    {"SheCai", "Caption", Kind::Text, kDefaultCaption, 0, &Settings::caption, nullptr},
    {"SheCai", "HourCtrlId", Kind::Number, nullptr, 49, nullptr, &Settings::hourCtrlId},
    {"SheCai", "MinuteCtrlId", Kind::Number, nullptr, 53, nullptr, &Settings::minuteCtrlId},
    // The bounds on memory (0: none). A request is at most 4 MiB (a card
    // with both photographs is about 70 KB), at most 100,000 codes wait to
    // be spent, and the queue holds at most 256 MiB.
    {"Server", "MaxRequestSize", Kind::Size, nullptr, 4 * kMiB, nullptr, nullptr,
     &Settings::maxRequestSize, 0},
    {"Server", "MaxCodes", Kind::Bound, nullptr, 100000, nullptr, &Settings::maxCodes, nullptr, 0},
    {"Server", "MaxCacheSize", Kind::Size, nullptr, 256 * kMiB, nullptr, nullptr,
     &Settings::maxCacheSize, 0},
    // Connections admitted at once, in all and from one address. Each may
    // hold about five requests and 2 MiB of replies: 32 of them bound what
    // clients can make the 32-bit build hold, and a desk has a handful.
    {"Server", "MaxConnections", Kind::Bound, nullptr, 32, nullptr, &Settings::maxConnections,
     nullptr, 0},
    {"Server", "MaxConnectionsPerAddress", Kind::Bound, nullptr, 16, nullptr,
     &Settings::maxConnectionsPerAddress, nullptr, 0},
    // A capture application that stops handling messages holds each clock
    // control's text up at most this long (milliseconds; 0: the default),
    // and never more than a minute.
    {"SheCai", "ClockTimeout", Kind::Bound, nullptr, Settings::kDefaultClockTimeoutMs, nullptr,
     &Settings::clockTimeout, nullptr, 0, 60000},
    // The log is moved aside to "sock.log.1" before it passes 64 MiB (0 or
    // a negative value: no bound).
    {"Server", "MaxLogSize", Kind::Size, nullptr, 64 * kMiB, nullptr, nullptr,
     &Settings::maxLogSize, 0, kInt64Max, kMiB, true},
    // The log keeps each request whole, photographs included (about 70 KB a
    // card); 0 keeps their lengths alone.
    {"Server", "LogImages", Kind::Number, nullptr, 1, nullptr, &Settings::logImages, nullptr, 0, 1},
    // CURVE security: unset, the endpoints speak plain text.
    {"Security", "CurveSecretKeyFile", Kind::Text, "", 0, &Settings::curveSecretKeyFile, nullptr},
    {"Security", "CurveClientKeys", Kind::Text, "", 0, &Settings::curveClientKeysFile, nullptr},
};

// A size as an operator writes it: whole bytes, or a whole number followed
// by KB, MB or GB (1024-based, any letter case), in 64 bits. False for
// anything else, a number too great for 64 bits included.
bool parseSize(const std::string& text, int64_t* bytes) {
    size_t digits = 0;
    int64_t number = 0;
    for (; digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]));
         ++digits) {
        const int digit = text[digits] - '0';
        if (number > (kInt64Max - digit) / 10) return false;
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
    if (shift < 0 || number > (kInt64Max >> shift)) return false;
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

// Whether text is valid UTF-8 and holds a character beyond ASCII.
bool utf8BeyondAscii(const std::string& text) {
    bool beyond = false;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80                   ? 1
                              : lead >= 0xC2 && lead < 0xE0 ? 2
                              : lead >= 0xE0 && lead < 0xF0 ? 3
                              : lead >= 0xF0 && lead < 0xF5 ? 4
                                                            : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        beyond = beyond || length > 1;
        i += length;
    }
    return beyond;
}

// Reads the keys of one "Server.ini" text and notes what is not read as
// written.
class IniReader {
  public:
    IniReader(const std::string& text, std::vector<SettingNote>& notes)
        : text_(text), notes_(notes) {}

    void read(const Setting& s, Settings* settings);
    // Notes the keys above the first section, the keys of the settings'
    // sections and the sections that no setting reads, and a key or
    // section given twice.
    void checkUnread();

  private:
    // The value written for s, as its text stands; empty when missing.
    std::string written(const Setting& s) const {
        std::string value;
        findProfileValue(text_, s.section, s.key, &value);
        return value;
    }
    void note(const Setting& s, const std::string& text) { notes_.push_back({s.key, text}); }
    std::string text(const Setting& s);
    int integer(const Setting& s);
    int64_t size(const Setting& s);
    void checkSections(const std::vector<std::string>& sections);
    void checkKeys(const std::string& section);

    const std::string& text_;
    std::vector<SettingNote>& notes_;
};

void IniReader::read(const Setting& s, Settings* settings) {
    switch (s.kind) {
        case Kind::Text:
            settings->*s.text = text(s);
            break;
        case Kind::Number:
        case Kind::Bound:
            settings->*s.number = integer(s);
            break;
        case Kind::Size:
            settings->*s.size = size(s);
            break;
    }
}

// Cut to 259 bytes, as the profile functions' 260-byte buffer holds; a
// caption that reads as UTF-8 was most likely saved so, and matches no GBK
// window title.
std::string IniReader::text(const Setting& s) {
    std::string value;
    if (!findProfileValue(text_, s.section, s.key, &value)) return s.textDefault;
    const std::string key = s.key;
    const size_t most = kProfileBufferSize - 1;
    if (value.size() > most) {
        note(s, key + "=" + value + " in Server.ini is longer than " + std::to_string(most) +
                    " bytes: its first " + std::to_string(most) + " used");
        value.resize(most);
    }
    if (key == "Caption" && utf8BeyondAscii(value))
        note(s, key + "=" + value +
                    " in Server.ini reads as UTF-8: saved as UTF-8? the capture program's title "
                    "is matched as GBK, byte for byte, so this caption may find no window; used "
                    "as written; save Server.ini as ANSI (GBK). What was compared: the value's "
                    "bytes are valid UTF-8 beyond ASCII, which a GBK title rarely is");
    return value;
}

// An integer, an empty value as a missing one. A value not whole, or
// outside least to most, is noted: a Number then is what
// GetPrivateProfileIntA reads of it, a Bound (the server's own, which never
// falls back to "no bound") its default.
int IniReader::integer(const Setting& s) {
    const std::string text = written(s);
    const int fallback = static_cast<int>(s.numberDefault);
    if (text.empty()) return fallback;
    int64_t number = 0;
    bool fits = false;
    const bool whole = wholeNumber(text, &number, &fits);
    if (whole && fits && number >= s.least && number <= s.most) return static_cast<int>(number);
    const bool bound = s.kind == Kind::Bound;
    const int used = bound ? fallback : parseProfileInt(text);
    const std::string range =
        s.least == INT_MIN && s.most == INT_MAX
            ? std::string()
            : " from " + std::to_string(s.least) + " to " + std::to_string(s.most);
    const std::string why = !whole            ? "not a whole number"
                            : !fits && !bound ? "too large a number"
                                              : "not" + range;
    note(s, std::string(s.key) + "=" + text + " in Server.ini is " + why + ": " +
                std::to_string(used) + " used; write a whole number" + range +
                ", digits only, as " + s.key + "=" + std::to_string(fallback));
    return used;
}

// What is not a size, or is past the setting's most, gives the default; a
// size below the least bound (but 0) the least bound. A negative size is
// "no bound" where that is documented (a remark), else the default.
int64_t IniReader::size(const Setting& s) {
    const int64_t fallback = s.numberDefault;
    const std::string text = written(s);
    if (text.empty()) return fallback;  // missing, as an empty integer reads
    int64_t bytes = 0;
    std::string why;
    if (text[0] == '-' && parseSize(text.substr(1), &bytes)) {
        if (s.negativeMeansNone) {
            notes_.push_back({s.key,
                              std::string(s.key) + "=" + text +
                                  " in Server.ini is negative, which means no bound: 0 used",
                              true});
            return 0;
        }
        why = "negative";
        bytes = fallback;
    } else if (!parseSize(text, &bytes)) {
        why = "not a whole number of bytes, KB, MB or GB";
        bytes = fallback;
    } else if (bytes > s.most) {
        why = "more than " + std::to_string(s.most) + " bytes";
        bytes = fallback;
    } else if (bytes != 0 && bytes < s.leastBound) {
        why = "below " + sizeText(s.leastBound);
        bytes = s.leastBound;
    }
    if (why.empty()) return bytes;
    const std::string range = s.leastBound > 0 ? "at least " + sizeText(s.leastBound)
                                               : "at most " + std::to_string(s.most) + " bytes";
    note(s, std::string(s.key) + "=" + text + " in Server.ini is " + why + ": " +
                std::to_string(bytes) +
                " used; write bytes, or a whole number and KB, MB or GB with no space, " + range +
                ", or 0 for no bound, as " + s.key + "=" + sizeText(fallback));
    return bytes;
}

void IniReader::checkUnread() {
    for (const std::string& name : listKeysAboveSections(text_))
        notes_.push_back({"[]", name + " in Server.ini is above every section header: it is "
                                       "not read; put it under its section, as [Server]"});
    std::vector<std::string> sections;
    for (const Setting& s : kSettings)
        if (std::find(sections.begin(), sections.end(), s.section) == sections.end())
            sections.push_back(s.section);
    checkSections(sections);
    for (const std::string& section : sections) checkKeys(section);
}

void IniReader::checkSections(const std::vector<std::string>& sections) {
    const char* const kSections = "[Server], [SheCai] and [Security]";
    std::map<std::string, int> sectionsSeen;
    for (const std::string& name : listProfileNames(text_, "")) {
        std::string known;
        for (const std::string& section : sections)
            if (sameProfileName(name, section)) known = section;
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
    for (const std::string& name : listProfileNames(text_, section)) {
        const Setting* known = nullptr;
        const Setting* elsewhere = nullptr;
        for (const Setting& s : kSettings) {
            if (!sameProfileName(name, s.key)) continue;
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

// The text of "Server.ini" as the profile functions take it, but past a
// UTF-8 byte-order mark, which they would take for part of the first line.
std::string iniText(Platform& platform, Settings* settings) {
    settings->iniFound = platform.files().fileExists(settings->iniPath);
    std::string bytes, failure;
    if (!settings->iniFound) return bytes;
    if (!platform.files().readFileContent(settings->iniPath, &bytes, &failure)) {
        settings->notes.push_back(
            {"Server.ini", "Server.ini cannot be read (" + failure + "): all defaults used"});
        return std::string();
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        settings->notes.push_back(
            {"Server.ini",
             "Server.ini begins with a UTF-8 byte-order mark: read past it; save "
             "the file as ANSI (GBK), without the mark, as Windows programs read "
             "settings files"});
        return bytes.substr(3);
    }
    if (bytes.compare(0, 2, "\xFF\xFE") != 0) return bytes;
    std::string text = platform.process().ansiFromUtf16(bytes.substr(2));
    if (text.empty() && bytes.size() > 3)
        settings->notes.push_back({"Server.ini",
                                   "Server.ini is saved as UTF-16 and cannot be "
                                   "read in the system's code page: all defaults "
                                   "used; save it as ANSI (GBK)"});
    return text;
}

// In scan modes 1 to 3 the command file and the records need the registry
// key's paths: without them they go to the working folder (at a desk the
// system folder).
void noteMissingPaths(Platform& platform, Settings* settings, bool keyOpened,
                      const std::string& cmdPath, const std::string& resultDir,
                      const std::string& resultJwDir) {
    if (settings->scanMode < 1 || settings->scanMode > 3) return;
    const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kRegistryKey;
    const std::string working =
        "the working folder, " + platform.files().hostPath(platform.process().currentFolder());
    if (!keyOpened) {
        settings->notes.push_back(
            {"ScanCmdPath", key + " cannot be opened (32-bit view): the command file is " +
                                kDefaultScanCmdPath + " and every record is written in " + working +
                                "; the card-scanning application's setup writes the key"});
        return;
    }
    const struct {
        const char* name;
        const std::string& value;
        std::string instead;
    } values[] = {
        {"ScanCmdPath", cmdPath,
         std::string("the command file is ") + kDefaultScanCmdPath + " in " + working},
        {"ScanResult", resultDir, "records of kind C are written in " + working},
        {"ScanResult_jw", resultJwDir, "records of the other kinds are written in " + working},
    };
    for (const auto& v : values)
        if (v.value.empty())
            settings->notes.push_back({v.name, std::string(v.name) + " in " + key +
                                                   " is missing or empty: " + v.instead});
}

}  // namespace

bool Settings::hasNotes() const {
    return std::any_of(notes.begin(), notes.end(),
                       [](const SettingNote& note) { return !note.remark; });
}

std::string executableFolder(Platform& platform) {
    std::string path = platform.process().executablePath();
    const size_t folderEnd = path.rfind(platform.files().pathSeparator());
    path.erase(folderEnd == std::string::npos ? 0 : folderEnd + 1);
    return path;
}

void readIniSettings(Platform& platform, Settings* settings) {
    settings->iniPath = executableFolder(platform) + "Server.ini";
    settings->notes.clear();
    const std::string text = iniText(platform, settings);
    IniReader ini(text, settings->notes);
    for (const Setting& s : kSettings) ini.read(s, settings);
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
    noteMissingPaths(platform, settings, key != nullptr, cmdPath, resultDir, resultJwDir);
}

Settings readSettings(Platform& platform) {
    Settings settings;
    readIniSettings(platform, &settings);
    readScanPaths(platform, &settings);
    CurveKeys keys;
    std::string failure;
    if (!readCurveKeys(platform, settings, &keys, &failure))
        settings.notes.push_back({"CURVE", failure + ": a start stops on it, with exit status 2"});
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
    // The notes shown beside a line; with an empty key, those beside none.
    const char* const kBesideALine[] = {"Server.ini", "ScanCmdPath", "ScanResult", "ScanResult_jw",
                                        "CURVE"};
    auto besideALine = [&](const std::string& key) {
        bool beside = std::find(std::begin(kBesideALine), std::end(kBesideALine), key) !=
                      std::end(kBesideALine);
        for (const Setting& s : kSettings) beside = beside || key == s.key;
        return beside;
    };
    auto notesOf = [&](const std::string& key) {
        for (const SettingNote& note : settings.notes)
            if (key.empty() ? !besideALine(note.key) : note.key == key)
                line(note.remark ? "remark" : "note", note.text);
    };
    auto show = [&](const std::string& name, const std::string& value) {
        line(name, value);
        notesOf(name);
    };
    show("Server.ini", platform.files().hostPath(settings.iniPath) +
                           (settings.iniFound ? "" : " (missing: all defaults)"));
    for (const Setting& s : kSettings)
        show(s.key, s.kind == Kind::Text   ? settings.*s.text
                    : s.kind == Kind::Size ? std::to_string(settings.*s.size)
                                           : std::to_string(settings.*s.number));
    notesOf("");
    show("ScanCmdPath", platform.files().hostPath(settings.scanCmdPath));
    show("ScanResult", platform.files().hostPath(settings.scanResultDir));
    show("ScanResult_jw", platform.files().hostPath(settings.scanResultJwDir));
    line("log", platform.files().hostPath(logPath));
    show("CURVE", settings.curveOn() ? "on" : "off");
    return report;
}

}  // namespace qrx
