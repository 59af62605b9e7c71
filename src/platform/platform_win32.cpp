// The platform on Windows: each operation is the Windows call its comment in
// platform.h names. Every HANDLE and registry key lives in an RAII holder.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// winsock2.h goes before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <objbase.h>
#include <shlwapi.h>
// clang-format on

#include "platform/platform_win32.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace qrx {
namespace {

// A kernel handle, closed on every path.
class UniqueHandle {
  public:
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() {
        if (valid()) CloseHandle(handle_);
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    // Closes now: false when CloseHandle fails (GetLastError() tells why).
    bool close() {
        const HANDLE handle = handle_;
        handle_ = nullptr;
        return CloseHandle(handle) != FALSE;
    }

  private:
    HANDLE handle_;
};

// A FindFirstFileA search, closed (FindClose) on every path.
class FindHandle {
  public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (valid()) FindClose(handle_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

class MutexClaim : public InstanceClaim {
  public:
    explicit MutexClaim(HANDLE mutex) : mutex_(mutex) {}

  private:
    UniqueHandle mutex_;
};

// The system's text for an error code, without its closing line end and
// full stop, and with the code.
std::string systemMessage(DWORD code) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    if (message.empty()) message = "system error";
    return message + " (error " + std::to_string(code) + ")";
}

// False, with the last error set, when a WriteFile failed or wrote nothing;
// a write of fewer bytes than asked goes on with the rest.
bool writeAll(HANDLE file, const char* data, size_t length) {
    while (length > 0) {
        DWORD written = 0;
        DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        if (!WriteFile(file, data, chunk, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

class Win32ExclusiveFile : public ExclusiveFile {
  public:
    explicit Win32ExclusiveFile(HANDLE file) : file_(file) {}
    bool readByte(char* byte) override {
        DWORD read = 0;
        return ReadFile(file_.get(), byte, 1, &read, nullptr) && read == 1;
    }
    bool rewrite(const char* data, size_t length, std::string* failure) override {
        if (SetFilePointer(file_.get(), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
            SetEndOfFile(file_.get()) && writeAll(file_.get(), data, length))
            return true;
        *failure = systemMessage(GetLastError());
        return false;
    }

  private:
    UniqueHandle file_;
};

class Win32RegistryKey : public RegistryKey {
  public:
    explicit Win32RegistryKey(HKEY key) : key_(key) {}
    ~Win32RegistryKey() override { RegCloseKey(key_); }

    // The value's bytes whatever its stored type, which is not examined: the
    // text is the bytes up to the first NUL, so a REG_DWORD 0x00636261 reads
    // "abc" and a REG_MULTI_SZ its first string. The buffer is zero-filled
    // with room for at least 256 bytes and always one NUL past the value, so
    // bytes with no terminator (REG_BINARY) end too. The size is asked first,
    // so a value longer than 255 bytes is read whole.
    bool queryString(const std::string& name, std::string* value) override {
        constexpr DWORD kLeastRoom = 256;
        DWORD size = 0;
        LONG status = RegQueryValueExA(key_, name.c_str(), nullptr, nullptr, nullptr, &size);
        while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
            std::vector<char> buffer(std::max(size + 1, kLeastRoom), '\0');
            DWORD got = static_cast<DWORD>(buffer.size() - 1);
            status = RegQueryValueExA(key_, name.c_str(), nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(buffer.data()), &got);
            if (status == ERROR_SUCCESS) {
                *value = std::string(buffer.data());  // up to the first NUL
                return true;
            }
            size = got;  // it grew in between: ask again
        }
        return false;
    }

  private:
    HKEY key_;
};

BOOL CALLBACK visitChild(HWND window, LPARAM context) {
    auto* visit = reinterpret_cast<const std::function<bool(WindowHandle)>*>(context);
    return (*visit)(reinterpret_cast<WindowHandle>(window)) ? TRUE : FALSE;
}

HWND asHwnd(WindowHandle window) {
    return reinterpret_cast<HWND>(window);
}

}  // namespace

char Win32Files::pathSeparator() const {
    return '\\';
}

std::string Win32Files::hostPath(const std::string& path) const {
    return path;
}

std::unique_ptr<ExclusiveFile> Win32Files::openExclusive(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32ExclusiveFile>(file);
}

int Win32Files::appendToFile(const std::string& path, const char* data, size_t length) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return static_cast<int>(HRESULT_FROM_WIN32(GetLastError()));
    SetFilePointer(file.get(), 0, nullptr, FILE_END);
    writeAll(file.get(), data, length);
    return 0;
}

// Shared as the C runtime's fopen shares: the desktop side may have the
// file open to read or write it while the server writes.
bool Win32Files::writeNewFile(const std::string& path, const char* data, size_t length,
                              std::string* failure) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid() && writeAll(file.get(), data, length) && FlushFileBuffers(file.get()) &&
        file.close())
        return true;
    *failure = systemMessage(GetLastError());
    return false;
}

bool Win32Files::canCutFile(const std::string& path, std::string* failure) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid()) return true;
    *failure = systemMessage(GetLastError());
    return false;
}

bool Win32Files::moveFile(const std::string& from, const std::string& to, std::string* failure) {
    if (MoveFileExA(from.c_str(), to.c_str(), 0)) return true;
    *failure = systemMessage(GetLastError());
    return false;
}

bool Win32Files::replaceFile(const std::string& from, const std::string& to, std::string* failure) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    *failure = systemMessage(GetLastError());
    return false;
}

// The pattern also matches short (8.3) names, so each long name is
// checked for the ending again.
std::vector<std::string> Win32Files::filesEndingIn(const std::string& folder,
                                                   const std::string& ending) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    FindHandle search(FindFirstFileA((folder + "*" + ending).c_str(), &found));
    if (!search.valid()) return names;
    do {
        const std::string name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            name.size() >= ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
            names.push_back(name);
    } while (FindNextFileA(search.get(), &found));
    return names;
}

bool Win32Files::deleteFile(const std::string& path, std::string* failure) {
    if (DeleteFileA(path.c_str())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (failure != nullptr) *failure = systemMessage(error);
    return false;
}

int64_t Win32Files::fileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Not CopyFileA: its open of from shares less than the server's own
// appends do, so a viewer that keeps the rename out could keep it out too.
bool Win32Files::copyFile(const std::string& from, const std::string& to, std::string* failure) {
    UniqueHandle in(CreateFileA(from.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (in.valid()) {
        UniqueHandle out(CreateFileA(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        char buffer[65536];
        DWORD got = 0;
        while (out.valid() && ReadFile(in.get(), buffer, sizeof(buffer), &got, nullptr)) {
            if (got == 0 && out.close()) return true;
            if (got == 0 || !writeAll(out.get(), buffer, got)) break;
        }
    }
    *failure = systemMessage(GetLastError());
    return false;
}

bool Win32Files::fileExists(const std::string& path) {
    return !path.empty() && PathFileExistsA(path.c_str()) != FALSE;
}

bool Win32Files::readFileContent(const std::string& path, std::string* content,
                                 std::string* failure) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        *failure = systemMessage(GetLastError());
        return false;
    }
    content->clear();
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) {
            *failure = systemMessage(GetLastError());
            return false;
        }
        if (got == 0) return true;
        content->append(buffer, got);
    }
}

LocalTime Win32Clock::localTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    LocalTime t;
    t.year = now.wYear;
    t.month = now.wMonth;
    t.day = now.wDay;
    t.hour = now.wHour;
    t.minute = now.wMinute;
    t.second = now.wSecond;
    t.millisecond = now.wMilliseconds;
    return t;
}

int64_t Win32Clock::monotonicMs() {
    return static_cast<int64_t>(GetTickCount64());
}

void Win32Clock::sleepMs(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

WindowHandle Win32Desktop::findWindow(const char* className, const std::string& title) {
    return reinterpret_cast<WindowHandle>(FindWindowA(className, title.c_str()));
}

void Win32Desktop::forEachDescendant(WindowHandle parent,
                                     const std::function<bool(WindowHandle)>& visit) {
    EnumChildWindows(asHwnd(parent), visitChild, reinterpret_cast<LPARAM>(&visit));
}

int Win32Desktop::controlId(WindowHandle window) {
    return GetDlgCtrlID(asHwnd(window));
}

bool Win32Desktop::setWindowText(WindowHandle window, const std::string& text, int timeoutMs) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(
               asHwnd(window), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
               SMTO_ABORTIFHUNG | SMTO_BLOCK, static_cast<UINT>(timeoutMs), &result) != 0;
}

// Winsock is started: the handle comes from libzmq, whose context starts it.
std::string Win32Network::peerAddress(int64_t socket) {
    sockaddr_storage address{};
    int size = sizeof(address);
    char host[NI_MAXHOST];
    if (getpeername(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&address), &size) !=
            0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof(host), nullptr, 0,
                    NI_NUMERICHOST) != 0)
        return std::string();
    return host;
}

std::unique_ptr<InstanceClaim> Win32Process::claimSingleInstance(const std::string& name) {
    for (int tries = 1;; ++tries) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return std::make_unique<MutexClaim>(mutex);  // a failed creation starts all the same
        if (mutex != nullptr) CloseHandle(mutex);
        if (tries == kClaimTries) return nullptr;
        Sleep(kClaimWaitMs);
    }
}

bool Win32Process::instanceHeld(const std::string& name) {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // another user's
    CloseHandle(mutex);
    return true;
}

bool Win32Process::processRuns(uint32_t id) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // another user's
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return runs;
}

std::string Win32Process::executablePath() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

// The server reads the card-scanning application's key in the 32-bit
// view, where a 32-bit build reads by default.
std::unique_ptr<RegistryKey> Win32Process::openMachineKey(const std::string& subKey) {
    REGSAM access = KEY_QUERY_VALUE;
    if (sizeof(void*) == 8) access |= KEY_WOW64_32KEY;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, access, &key) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<Win32RegistryKey>(key);
}

void Win32Process::debugOutput(const char* text) {
    OutputDebugStringA(text);
}

void Win32Process::reportEvent(const std::string& source, EventType type, uint32_t id,
                               const std::string& text) {
    HANDLE log = RegisterEventSourceA(nullptr, source.c_str());
    if (log == nullptr) return;
    const WORD kind = type == EventType::Error     ? EVENTLOG_ERROR_TYPE
                      : type == EventType::Warning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
    const char* strings[] = {text.c_str()};
    ReportEventA(log, kind, 0, id, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
}

// A process without a console (the server's, unless the entry attached
// it to its starter's) has nothing to convert to.
std::string Win32Process::terminalText(const std::string& text) {
    const UINT console = GetConsoleWindow() != nullptr ? GetConsoleOutputCP() : 0;
    if (console == 0 || console == GetACP() || text.empty()) return text;
    const int size = static_cast<int>(text.size());
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    if (wideLength <= 0) return text;
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, &wide[0], wideLength);
    const int length =
        WideCharToMultiByte(console, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return text;
    std::string shown(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(console, 0, wide.data(), wideLength, &shown[0], length, nullptr, nullptr);
    return shown;
}

std::string Win32Process::ansiFromUtf16(const std::string& utf16) {
    const int units = static_cast<int>(utf16.size() / 2);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    for (int i = 0; i < units; ++i)
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(utf16[2 * i]) |
                                       static_cast<unsigned char>(utf16[2 * i + 1]) << 8);
    const int length =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string ansi(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), units, &ansi[0], length, nullptr, nullptr);
    return ansi;
}

std::string Win32Process::currentFolder() {
    char folder[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, folder);
    return length > 0 && length < MAX_PATH ? std::string(folder, length) : std::string();
}

void Win32Process::releaseFreeMemory() {
    _heapmin();
}

uint32_t Win32Process::processId() {
    return GetCurrentProcessId();
}

uint32_t Win32Process::threadId() {
    return GetCurrentThreadId();
}

Guid Win32Process::newGuid() {
    GUID created = {};
    CoCreateGuid(&created);  // its status is not examined
    Guid guid;
    guid.data1 = created.Data1;
    guid.data2 = created.Data2;
    guid.data3 = created.Data3;
    for (int i = 0; i < 8; ++i) guid.data4[i] = created.Data4[i];
    return guid;
}

namespace {

// The stop watcher's hidden window and whom it tells.
constexpr const char kStopWindowClass[] = "QRXScanServerStop";
std::function<void(const std::string&)> stopWatcher;

LRESULT CALLBACK stopWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const char* why = message == WM_CLOSE ? "a close of its window"
                      : message == WM_QUERYENDSESSION
                          ? ((lParam & ENDSESSION_LOGOFF) != 0 ? "a logoff" : "a shutdown")
                          : nullptr;
    if (why != nullptr && stopWatcher) stopWatcher(why);
    if (message == WM_QUERYENDSESSION) return TRUE;
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void Win32Process::watchForStop(std::function<void(const std::string&)> stop) {
    stopWatcher = std::move(stop);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = stopWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kStopWindowClass;
    RegisterClassA(&windowClass);
    // Top-level, so that closes and the end of the session reach it; never
    // shown. Without it the server is only ever ended, unheard.
    CreateWindowExA(0, kStopWindowClass, "QRX Scan Server", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                    nullptr, windowClass.hInstance, nullptr);
}

void Win32Process::takeStopRequests() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

namespace {

// One argument as CommandLineToArgvW splits it back: quoted when it holds a
// space, a tab or a quote, with the backslashes before a quote doubled.
std::string quotedArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

class Win32Child : public ChildProcess {
  public:
    explicit Win32Child(const PROCESS_INFORMATION& info)
        : process_(info.hProcess), id_(info.dwProcessId) {
        CloseHandle(info.hThread);
    }
    uint32_t id() const override { return id_; }
    bool ended(ProgramEnd* end) override {
        DWORD code = 0;
        if (WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_.get(), &code))
            return false;
        char said[32];
        std::snprintf(said, sizeof said, code > 0xFFFF ? "exit code 0x%08lX" : "exit code %lu",
                      static_cast<unsigned long>(code));
        end->code = code;
        end->said = said;
        return true;
    }
    // Its stop window, as taskkill without /F finds it.
    void askToStop() override { EnumWindows(closeStopWindow, static_cast<LPARAM>(id_)); }
    void kill() override { TerminateProcess(process_.get(), 1); }

  private:
    static BOOL CALLBACK closeStopWindow(HWND window, LPARAM processId) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        char name[64] = {};
        GetClassNameA(window, name, sizeof name);
        if (owner == static_cast<DWORD>(processId) && std::strcmp(name, kStopWindowClass) == 0)
            PostMessageA(window, WM_CLOSE, 0, 0);
        return TRUE;
    }

    UniqueHandle process_;
    DWORD id_;
};

}  // namespace

std::unique_ptr<ChildProcess> Win32Process::startProgram(const std::string& path,
                                                         const std::vector<std::string>& arguments,
                                                         std::string* failure) {
    std::string commandLine = quotedArgument(path);
    for (const std::string& argument : arguments) commandLine += " " + quotedArgument(argument);
    // A crash must end the program, not wait on a dialog nobody sees at a
    // desk: the error mode is inherited by the program started.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        *failure = systemMessage(GetLastError());
        return nullptr;
    }
    return std::make_unique<Win32Child>(info);
}

Platform& Platform::Default() {
    static Win32Files files;
    static Win32Clock clock;
    static Win32Desktop desktop;
    static Win32Network network;
    static Win32Process process;
    static Platform platform(files, clock, desktop, network, process);
    return platform;
}

}  // namespace qrx
