// qrx-windesk: the desktop side on Windows, for the end-to-end tests under
// Wine. It opens the command file as the card-scanning application does
// (CreateFileA, no sharing), shows a capture window whose edit controls 49
// and 53 take the server's clock, shows a "#32770" prompt box titled "提示"
// and takes the records from the result folders named in the registry.
//
//   qrx-windesk window SECONDS [PROMPT-SECONDS [HANG-AT HANG-FOR]]
//                                                 capture window (and prompt box;
//                                                 PROMPT-SECONDS 0: none), which
//                                                 stops handling messages from
//                                                 HANG-AT for HANG-FOR seconds
//   qrx-windesk take COUNT TIMEOUT OUT            scan mode 2
//   qrx-windesk ask C|F TIMEOUT OUT               scan mode 1
//   qrx-windesk write TEXT | read | hold MS       the command file
//   qrx-windesk read-only FILE MS                 holds FILE as a reader that
//                                                 shares only reading (.NET's
//                                                 File.OpenRead, Excel)
//
// The window command writes the controls' texts, HH:MM, to clock.txt in the
// working folder while it runs.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// "社会信息采集系统" and "提示" in GBK.
const char kCaption[] = "\xC9\xE7\xBB\xE1\xD0\xC5\xCF\xA2\xB2\xC9\xBC\xAF\xCF\xB5\xCD\xB3";
const char kPromptTitle[] = "\xCC\xE1\xCA\xBE";

// A text value of the card-scanning application's key, in the 32-bit view.
std::string registryText(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvane", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return std::string();
    char value[1024] = {};
    DWORD size = sizeof(value) - 1;
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return value;
}

// The command file, opened with no sharing as the card-scanning application
// does; while the server holds it, the open is tried again.
class CommandFile {
  public:
    CommandFile() : path_(registryText("ScanCmdPath")) {
        if (path_.empty()) path_ = "scancmd.scc";
    }
    std::string read() const {
        HANDLE file = open();
        char buffer[256];
        DWORD got = 0;
        ReadFile(file, buffer, sizeof(buffer), &got, nullptr);
        CloseHandle(file);
        return std::string(buffer, got);
    }
    // Keeps the file open (and so shut to the server) for a while.
    void hold(int milliseconds) const {
        HANDLE file = open();
        Sleep(milliseconds);
        CloseHandle(file);
    }
    // Whether the file's size or write time differs from the last call's.
    // Asks for attributes only: unlike an open, that never shuts the server
    // out, so polling does not make the server drop a pending command.
    bool changed() {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data);
        const ULONGLONG stamp =
            (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
            data.ftLastWriteTime.dwLowDateTime;
        const bool differs = stamp != stamp_ || data.nFileSizeLow != size_;
        stamp_ = stamp;
        size_ = data.nFileSizeLow;
        return differs;
    }
    void write(const std::string& text) const {
        HANDLE file = open();
        DWORD written = 0;
        SetEndOfFile(file);
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }

  private:
    HANDLE open() const {
        for (;;) {
            HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) return file;
            Sleep(5);
        }
    }
    std::string path_;
    ULONGLONG stamp_ = 0;
    DWORD size_ = 0;
};

std::string textBetween(const std::string& text, const std::string& open,
                        const std::string& close) {
    size_t start = text.find(open);
    if (start == std::string::npos) return std::string();
    start += open.size();
    size_t end = text.find(close, start);
    return end == std::string::npos ? std::string() : text.substr(start, end - start);
}

std::string readWhole(const std::string& path) {
    std::string content;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return content;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, got);
    std::fclose(file);
    return content;
}

// Moves every record (with the two images it names) out of the result
// folders into out\ScanResult or out\ScanResult_jw, which may be on
// another volume; returns the failures.
int takeRecords(const std::string& out) {
    int failures = 0, taken = 0;
    const char* kinds[] = {"ScanResult", "ScanResult_jw"};
    for (const char* kind : kinds) {
        std::string folder = registryText(kind);
        if (folder.empty()) continue;
        if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
        std::string target = out + "\\" + kind + "\\";
        CreateDirectoryA(out.c_str(), nullptr);
        CreateDirectoryA(target.c_str(), nullptr);
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "*.xml").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            std::string record = folder + found.cFileName;
            std::string xml = readWhole(record);
            bool ok = xml.rfind("<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n", 0) == 0;
            for (const char* element : {"CARDIMAGE", "HEADIMAGE"}) {
                std::string image = textBetween(xml, std::string("<") + element + ">",
                                                std::string("</") + element + ">");
                std::string name = image.substr(image.find_last_of('\\') + 1);
                ok = MoveFileExA(image.c_str(), (target + name).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) &&
                     ok;
            }
            // The record last, and whole: from another volume a move is a
            // copy, so it lands under a name of its own first.
            const std::string landed = target + found.cFileName;
            ok = MoveFileExA(record.c_str(), (landed + ".part").c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) &&
                 MoveFileExA((landed + ".part").c_str(), landed.c_str(),
                             MOVEFILE_REPLACE_EXISTING) &&
                 ok;
            std::printf("took %s from %s%s\n", found.cFileName, folder.c_str(),
                        ok ? "" : " (error: not a complete record)");
            failures += ok ? 0 : 1;
            ++taken;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    if (taken == 0) std::printf("error: no record in the result folders\n");
    return taken == 0 ? 1 : failures;
}

// Polls the command file until its first byte satisfies wanted. The file is
// opened only when it has changed: an open while the server's scan-mode-1
// worker looks for its "1" would make the server drop the command.
template <typename Wanted>
bool waitFor(CommandFile& file, DWORD deadline, Wanted wanted, std::string* answer) {
    for (bool first = true; GetTickCount() < deadline; first = false) {
        if (file.changed() || first) {
            *answer = file.read();
            if (!answer->empty() && wanted((*answer)[0])) return true;
        }
        Sleep(20);
    }
    return false;
}

int take(int count, int timeoutSeconds, const std::string& out) {
    CommandFile file;
    DWORD deadline = GetTickCount() + timeoutSeconds * 1000;
    int failures = 0;
    file.write("0");
    for (int taken = 0; taken < count; ++taken) {
        std::string answer;
        if (!waitFor(
                file, deadline, [](char c) { return c == '2'; }, &answer)) {
            std::printf("timed out after %d record(s)\n", taken);
            return 2;
        }
        std::printf("answer %s\n", answer.c_str());
        failures += takeRecords(out);
        if (taken + 1 < count) file.write("0");
    }
    return failures > 0 ? 1 : 0;
}

int ask(char letter, int timeoutSeconds, const std::string& out) {
    CommandFile file;
    DWORD deadline = GetTickCount() + timeoutSeconds * 1000;
    file.write(std::string(1, letter));
    std::string answer;
    if (!waitFor(
            file, deadline, [letter](char c) { return c != letter; }, &answer))
        return 2;
    if (answer == "1") {
        std::printf("answer 1\n");
        if (!waitFor(
                file, deadline, [](char c) { return c == '2' || c == '5'; }, &answer))
            return 2;
    }
    std::printf("answer %s\n", answer.c_str());
    if (answer[0] != '2') return 1;
    return takeRecords(out) > 0 ? 1 : 0;
}

std::wstring inAnsiCodePage(const char* text) {
    wchar_t wide[256] = {};
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 255);
    return wide;
}

// The names go in as the ANSI code page reads them, through the W call: the
// title is the same to the server's FindWindowA either way, and Wine 8's
// WoW64 mode turns a title of high bytes given to CreateWindowExA into "?"s.
HWND makeWindow(const char* className, const char* title, HWND parent, int id) {
    DWORD style = parent != nullptr ? WS_CHILD | WS_VISIBLE : WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    return CreateWindowExW(0, inAnsiCodePage(className).c_str(), inAnsiCodePage(title).c_str(),
                           style, 0, 0, parent ? 80 : 400, parent ? 24 : 200, parent,
                           parent ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

int showWindows(int seconds, int promptSeconds, int hangAt, int hangFor) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QrxCaptureWindow";
    RegisterClassA(&windowClass);
    HWND capture = makeWindow("QrxCaptureWindow", kCaption, nullptr, 0);
    HWND panel = makeWindow("STATIC", "", capture, 7);
    HWND hour = makeWindow("EDIT", "", panel, 49);  // a grandchild, as in real dialogs
    HWND minute = makeWindow("EDIT", "", capture, 53);
    HWND prompt = promptSeconds > 0 ? makeWindow("#32770", kPromptTitle, nullptr, 0) : nullptr;
    std::printf("windows shown\n");
    std::fflush(stdout);

    DWORD start = GetTickCount();
    while (GetTickCount() - start < static_cast<DWORD>(seconds) * 1000) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (prompt != nullptr &&
            GetTickCount() - start >= static_cast<DWORD>(promptSeconds) * 1000) {
            DestroyWindow(prompt);
            prompt = nullptr;
        }
        if (hangFor > 0 && GetTickCount() - start >= static_cast<DWORD>(hangAt) * 1000) {
            std::printf("hung\n");
            Sleep(static_cast<DWORD>(hangFor) * 1000);  // a capture application gone hung
            hangFor = 0;
            std::printf("recovered\n");
        }
        char hourText[16] = {}, minuteText[16] = {};
        GetWindowTextA(hour, hourText, sizeof(hourText));
        GetWindowTextA(minute, minuteText, sizeof(minuteText));
        std::string clock = std::string(hourText) + ":" + minuteText;
        if (FILE* file = std::fopen("clock.txt", "wb")) {
            std::fwrite(clock.data(), 1, clock.size(), file);
            std::fclose(file);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    DestroyWindow(capture);
    return 0;
}

// Keeps path open for a while as a reader that lets others only read it:
// nobody else may write, cut or rename it meanwhile.
int holdReadOnly(const char* path, int milliseconds) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %s: error %lu\n", path, GetLastError());
        return 1;
    }
    std::printf("holding %s\n", path);
    Sleep(static_cast<DWORD>(milliseconds));
    CloseHandle(file);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "window" && argc >= 3)
        return showWindows(std::atoi(argv[2]), argc >= 4 ? std::atoi(argv[3]) : 0,
                           argc >= 6 ? std::atoi(argv[4]) : 0, argc >= 6 ? std::atoi(argv[5]) : 0);
    if (command == "take" && argc == 5)
        return take(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    if (command == "ask" && argc == 5) return ask(argv[2][0], std::atoi(argv[3]), argv[4]);
    if (command == "write" && argc == 3) return CommandFile().write(argv[2]), 0;
    if (command == "read") return std::printf("%s\n", CommandFile().read().c_str()), 0;
    if (command == "hold" && argc == 3) return CommandFile().hold(std::atoi(argv[2])), 0;
    if (command == "read-only" && argc == 4) return holdReadOnly(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr,
                 "usage: qrx-windesk window SECONDS [PROMPT-SECONDS [HANG-AT HANG-FOR]] |"
                 " take COUNT TIMEOUT OUT |"
                 " ask C|F TIMEOUT OUT | write TEXT | read | hold MS | read-only FILE MS\n");
    return 3;
}
