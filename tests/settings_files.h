// Files of "Server.ini" that both builds must read alike: the POSIX suite
// reads them on the stand-in, the Win32 contract tests on Windows (or
// Wine), each through readIniSettings. Each row: the file's bytes, the
// ScanMode used, and every note, one a line.
#pragma once

#include <string>
#include <utility>

#include "settings/settings.h"

namespace qrx::test {

struct SettingsFile {
    const char* what;
    std::string bytes;
    int scanMode;
    std::string notes;
};

// The file in UTF-16LE with its mark, as Notepad saves "Unicode".
inline std::string utf16File(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

inline const SettingsFile kSettingsFiles[] = {
    {"keys and sections not read",
     "[Server]\r\nScanMode=3\r\nScanMod=1\r\nscanmode=2\r\n[SheCai]\r\nHourCtrlId=0x31\r\n"
     "[Sever]\r\nWaitTime=5\r\n",
     3,
     "[Sever] in Server.ini is not a section the server reads: its keys are not read; the "
     "sections are [Server], [SheCai] and [Security]\n"
     "ScanMod in [Server] of Server.ini is not a key the server reads: it is not read "
     "(misspelt?)\n"
     "scanmode in [Server] of Server.ini comes again: only the first is read\n"},
    {"a UTF-8 byte-order mark", "\xEF\xBB\xBF[Server]\r\nScanMode=1\r\n", 1,
     "Server.ini begins with a UTF-8 byte-order mark: read past it; save the file as ANSI "
     "(GBK), without the mark, as Windows programs read settings files\n"},
    {"UTF-16 with its mark", utf16File(u"[Server]\r\nScanMode=3\r\n"), 3, ""},
    {"UTF-16 with an odd last byte", utf16File(u"[Server]\r\nScanMode=3\r\n") + "\n", 3, ""},
    {"a key above every section", "ScanMode=1\r\n[Server]\r\nWaitTime=9\r\n", 2,
     "ScanMode in Server.ini is above every section header: it is not read; put it under its "
     "section, as [Server]\n"},
    {"a caption saved as UTF-8", "[SheCai]\r\nCaption=\xE9\x87\x87\xE9\x9B\x86\r\n", 2,
     "Caption=\xE9\x87\x87\xE9\x9B\x86 in Server.ini reads as UTF-8: saved as UTF-8? the "
     "capture program's title is matched as GBK, byte for byte, so this caption may find no "
     "window; used as written; save Server.ini as ANSI (GBK). What was compared: the value's "
     "bytes are valid UTF-8 beyond ASCII, which a GBK title rarely is\n"},
};

// What a build reads from the Server.ini beside its executable: the
// ScanMode used, and every note, one a line.
inline std::pair<int, std::string> readSettingsFile(Platform& platform) {
    Settings settings;
    readIniSettings(platform, &settings);
    std::string notes;
    for (const SettingNote& note : settings.notes) notes += note.text + "\n";
    return {settings.scanMode, notes};
}

}  // namespace qrx::test
