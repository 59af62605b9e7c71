// Everything the scan server takes from the operating system goes through
// Platform. The server's logic sees values ("opened", "not found", a byte),
// never errno or GetLastError(). The calls are grouped by subject: files,
// the clock, the desktop, the network and the process. Each call names the
// Windows call it stands for; platform_win32.cpp makes exactly that call,
// platform_posix.cpp is the stand-in documented in the README. A test
// double implements one subject, or derives from the stand-in's class for
// it and overrides only what it fakes; the test then assembles a Platform
// from the real parts and its fakes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qrx {

// Local wall-clock time, as GetLocalTime gives it.
struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// A moment as both clocks tell it: the monotonic milliseconds, by which an
// age is measured (the clock is the machine's, so another process on it
// measures the same), and the wall clock, by which it is written down.
// tickMs < 0: no moment.
struct Moment {
    int64_t tickMs = -1;
    LocalTime local;
    bool known() const { return tickMs >= 0; }
};

// The layout of a Windows GUID: one 32-bit field, two 16-bit fields and eight
// bytes in their stored order.
struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};

// The kind of an entry of the system's event log: EVENTLOG_ERROR_TYPE,
// EVENTLOG_WARNING_TYPE, EVENTLOG_INFORMATION_TYPE.
enum class EventType { Error, Warning, Information };

// An opaque top-level or child window (HWND). 0 is "no window".
using WindowHandle = std::uintptr_t;

// A process-lifetime claim on the single-instance name. Dropping it releases
// the name; the server keeps it until the process ends.
class InstanceClaim {
  public:
    virtual ~InstanceClaim() = default;
};

// One exclusive open of a file (CreateFileA with share mode 0, OPEN_ALWAYS).
// The file is closed when the holder is destroyed.
class ExclusiveFile {
  public:
    virtual ~ExclusiveFile() = default;
    // ReadFile of one byte from the current position (the start, right after
    // the open). Returns false at end of file or on a failed read.
    virtual bool readByte(char* byte) = 0;
    // SetFilePointer(0, FILE_BEGIN), SetEndOfFile, WriteFile of all bytes.
    // True when every byte was written; otherwise false, with *failure set
    // to the system's words for why (the file may then be cut short).
    virtual bool rewrite(const char* data, size_t length, std::string* failure) = 0;
};

// How a started program ended.
struct ProgramEnd {
    // GetExitCodeProcess (0xC0000005 for an access violation); on POSIX the
    // exit status, or 128 and the signal that ended it.
    uint32_t code = 0;
    // For a person: "exit code 2", "exit code 0xC0000005", "signal 9".
    std::string said;
};

// A program started by Process::startProgram. Destroying the holder leaves
// the program running.
class ChildProcess {
  public:
    virtual ~ChildProcess() = default;
    // Its process id.
    virtual uint32_t id() const = 0;
    // WaitForSingleObject(process, 0), GetExitCodeProcess: whether it has
    // ended, and if so how.
    virtual bool ended(ProgramEnd* end) = 0;
    // Asks it to stop as a person would: WM_CLOSE to its stop window (the
    // POSIX stand-in: SIGTERM).
    virtual void askToStop() = 0;
    // TerminateProcess (SIGKILL).
    virtual void kill() = 0;
};

// An open registry key (RegOpenKeyExA with KEY_QUERY_VALUE). Closed
// (RegCloseKey) when the holder is destroyed.
class RegistryKey {
  public:
    virtual ~RegistryKey() = default;
    // RegQueryValueExA of a value of any stored type (the type is not
    // examined): *value gets its bytes up to the first NUL, the whole value
    // even when longer than 255 bytes, and true is returned; false when the
    // value is absent. On Windows a REG_DWORD 0x00636261 reads "abc", a
    // REG_MULTI_SZ its first string. The POSIX stand-in's registry file holds
    // only text values (registry_export.h).
    virtual bool queryString(const std::string& name, std::string* value) = 0;
};

// Files, the folders they are in, and the settings files read from them.
class Files {
  public:
    virtual ~Files() = default;

    // The separator between a folder and a file name: '\\' on Windows.
    virtual char pathSeparator() const = 0;

    // Where a configured path lives on this machine: on Windows the path
    // itself.
    virtual std::string hostPath(const std::string& path) const = 0;

    // PathFileExistsA: false for an empty path.
    virtual bool fileExists(const std::string& path) = 0;

    // GetFileAttributesExA: the file's size in bytes, or -1 when it cannot be
    // read (a missing file among others).
    virtual int64_t fileSize(const std::string& path) = 0;

    // CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
    // NULL, OPEN_EXISTING, ...), ReadFile to the end, CloseHandle: *content
    // gets every byte. False when the file cannot be opened or read, with
    // *failure set to the system's words for why.
    virtual bool readFileContent(const std::string& path, std::string* content,
                                 std::string* failure) = 0;

    // CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
    // FILE_ATTRIBUTE_NORMAL, NULL). Null when the file is held by another
    // opener or cannot be opened or created.
    virtual std::unique_ptr<ExclusiveFile> openExclusive(const std::string& path) = 0;

    // CreateFileA with shared reading and writing and OPEN_ALWAYS, then
    // SetFilePointer to the end, WriteFile, CloseHandle. Returns 0, or a
    // non-zero code made from the system error of a failed open (the bytes
    // are then lost). The folder is never created.
    virtual int appendToFile(const std::string& path, const char* data, size_t length) = 0;

    // CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
    // NULL, CREATE_ALWAYS, ...), WriteFile of all bytes, FlushFileBuffers,
    // CloseHandle: the file is created or cut to zero length, shared as fopen
    // shares it, so another opener that lets others read and write may hold
    // it meanwhile. True only when every byte was written, flushed to the
    // disk and the file closed; otherwise false, with
    // *failure set to the system's words for why (a missing folder, no right
    // to write, an opener that shares less, a full disk). A file that was
    // created but not written whole is left as it is: the caller removes it.
    // The folder is never created.
    virtual bool writeNewFile(const std::string& path, const char* data, size_t length,
                              std::string* failure) = 0;

    // CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
    // NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL), CloseHandle: whether
    // writeNewFile could open the file to cut it, found without changing it.
    // False, with *failure set, when it cannot: another opener shares no
    // writing, the file may not be written (no right to, read-only, on POSIX
    // an append-only file) or is missing. A program that maps the file does
    // not stop this open; only the cut itself then fails.
    virtual bool canCutFile(const std::string& path, std::string* failure) = 0;

    // MoveFileExA(from, to, 0): renames a file within its folder. A file of
    // the new name is never replaced: that is a failure, as is another
    // program holding the file open. False, with *failure set, when it
    // cannot be done.
    virtual bool moveFile(const std::string& from, const std::string& to, std::string* failure) = 0;

    // MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING): as moveFile, but a
    // file of the new name is replaced.
    virtual bool replaceFile(const std::string& from, const std::string& to,
                             std::string* failure) = 0;

    // FindFirstFileA(folder + "*" + ending), FindNextFileA, FindClose: the
    // names (without the folder) of the files in folder whose names end in
    // ending. folder is empty (the working folder) or ends in a separator.
    // Empty when the folder cannot be read.
    virtual std::vector<std::string> filesEndingIn(const std::string& folder,
                                                   const std::string& ending) = 0;

    // DeleteFileA. True when the file is gone: removed now, or not there to
    // begin with. False, with *failure set (when given) to the system's words
    // for why, when it stands: another program holds it without sharing
    // delete, or there is no right to remove it. (The default argument is
    // this declaration's only: overrides name both parameters.)
    virtual bool deleteFile(const std::string& path, std::string* failure = nullptr) = 0;

    // Copies a file, replacing a file of the new name: CreateFileA(from,
    // GENERIC_READ, sharing reading, writing and deleting, OPEN_EXISTING),
    // to opened as writeNewFile opens it, ReadFile and WriteFile to the end,
    // CloseHandle. So it works beside a reader that keeps a rename out. False,
    // with *failure set, when it cannot be done; the file of the new name may
    // then hold part of the copy.
    virtual bool copyFile(const std::string& from, const std::string& to, std::string* failure) = 0;
};

// The wall clock and the clock intervals are measured by.
class Clock {
  public:
    virtual ~Clock() = default;

    // GetLocalTime: the wall clock, for times that are written down (record
    // stamps, log lines, the capture window's clock). A time sync can step
    // it either way.
    virtual LocalTime localTime() = 0;

    // GetTickCount64: milliseconds since the system started, from a clock
    // that a change of the wall clock does not move. Every interval the
    // server measures is taken from it.
    virtual int64_t monotonicMs() = 0;

    // Sleep: waits ms milliseconds.
    virtual void sleepMs(int ms) = 0;

    // Now, by both clocks.
    Moment now() { return Moment{monotonicMs(), localTime()}; }
};

// The desktop's windows: the capture window and its controls.
class Desktop {
  public:
    virtual ~Desktop() = default;

    // FindWindowA(className, title): a top-level window whose title is equal
    // byte for byte and, when className is not null, whose class is equal.
    // 0 when there is none.
    virtual WindowHandle findWindow(const char* className, const std::string& title) = 0;

    // EnumChildWindows(parent, ...): calls visit for every descendant, the
    // children of children included, while visit returns true.
    virtual void forEachDescendant(WindowHandle parent,
                                   const std::function<bool(WindowHandle)>& visit) = 0;

    // GetDlgCtrlID: the control identifier, 0 when it has none.
    virtual int controlId(WindowHandle window) = 0;

    // SendMessageTimeoutA(window, WM_SETTEXT, 0, text, SMTO_ABORTIFHUNG |
    // SMTO_BLOCK, timeoutMs): false when the window's application did not
    // handle it within timeoutMs, is hung, or the window is gone.
    virtual bool setWindowText(WindowHandle window, const std::string& text, int timeoutMs) = 0;
};

// What the messaging library does not tell of its connections.
class Network {
  public:
    virtual ~Network() = default;

    // getpeername and getnameinfo(NI_NUMERICHOST) on a connected socket that
    // the messaging library reports by its handle: the peer's address as
    // text, written as the library writes it in its handshake checks (an
    // IPv4 address such as "127.0.0.1"; on the POSIX stand-in a local
    // socket's peer is "localhost:UID:GID:PID"). Empty when the socket is
    // not connected, or is closed. The socket is only read.
    virtual std::string peerAddress(int64_t socket) = 0;
};

// The running process and the machine it runs on: its single-instance
// claim, its executable, the registry, the debugger and event log, its
// terminal, its heap and its ids.
class Process {
  public:
    virtual ~Process() = default;

    // CreateMutexA(NULL, FALSE, name). Returns null when the name is already
    // held by another process (GetLastError() == ERROR_ALREADY_EXISTS) and
    // still is after kClaimTries tries kClaimWaitMs apart: a look at it
    // (instanceHeld, from --status) holds it a moment, and must not keep a
    // starting copy out. Any other outcome, a failed creation included,
    // returns a claim (possibly empty) and counts as the first copy.
    static constexpr int kClaimTries = 10;
    static constexpr int kClaimWaitMs = 50;
    virtual std::unique_ptr<InstanceClaim> claimSingleInstance(const std::string& name) = 0;

    // Whether a process holds the single-instance name, found without
    // claiming it: OpenMutexA(SYNCHRONIZE, FALSE, name) succeeds (the
    // handle is closed at once). The POSIX stand-in: the name's lock file is
    // locked by a process.
    virtual bool instanceHeld(const std::string& name) = 0;

    // Whether process id runs: OpenProcess and GetExitCodeProcess gives
    // STILL_ACTIVE (POSIX: kill(id, 0) finds it).
    virtual bool processRuns(uint32_t id) = 0;

    // GetModuleFileNameA(NULL, ...): full path of the running executable.
    virtual std::string executablePath() = 0;

    // RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, ...).
    // Null when the key cannot be opened.
    virtual std::unique_ptr<RegistryKey> openMachineKey(const std::string& subKey) = 0;

    // OutputDebugStringA.
    virtual void debugOutput(const char* text) = 0;

    // RegisterEventSourceA(NULL, source), ReportEventA(type, category 0, id,
    // no user, the one string text, no data), DeregisterEventSource: an entry
    // of the Application log, which Event Viewer shows as message id of the
    // message file registered for source, with text for its %1. Whether it
    // was written is not reported. The POSIX stand-in writes
    // "source: <error|warning|information> id: text" as one line to standard
    // error.
    virtual void reportEvent(const std::string& source, EventType type, uint32_t id,
                             const std::string& text) = 0;

    // text, in the system's code page (GBK on the desk PCs), as the terminal
    // that standard output goes to shows it: on Windows converted to the
    // code page of the console the process is attached to
    // (GetConsoleOutputCP), unchanged without one. The POSIX stand-in's
    // terminals show UTF-8: a text that is valid UTF-8 is unchanged (the
    // host's own paths), any other is converted from GBK.
    virtual std::string terminalText(const std::string& text) = 0;

    // UTF-16LE text (without its mark) in the system's code page, as the
    // profile functions read a settings file that begins with FF FE:
    // WideCharToMultiByte(CP_ACP, ...), a character the code page lacks
    // given as "?", an odd last byte dropped. Empty when the text cannot be
    // converted (the POSIX stand-in, whose code page is GBK: an unpaired
    // surrogate).
    virtual std::string ansiFromUtf16(const std::string& utf16) = 0;

    // GetCurrentDirectoryA: the working folder, where a bare file name is
    // found.
    virtual std::string currentFolder() = 0;

    // CreateProcessA of path with arguments (quoted as Windows splits
    // them), no handles inherited, in this process's working folder and
    // environment, after SetErrorMode(SEM_FAILCRITICALERRORS |
    // SEM_NOGPFAULTERRORBOX), which it inherits: a crash ends it without a
    // dialog (the POSIX stand-in: fork and execv). Null when it cannot
    // be started, with *failure set to the system's words for why.
    virtual std::unique_ptr<ChildProcess> startProgram(const std::string& path,
                                                       const std::vector<std::string>& arguments,
                                                       std::string* failure) = 0;

    // Asks the heap to give its free memory back to the system: glibc's
    // malloc_trim(0), the C runtime's _heapmin on Windows. glibc keeps
    // blocks freed below one still in use, so without it a drained queue
    // leaves the process near its largest size so far. What _heapmin
    // gives back on Windows has not been measured.
    virtual void releaseFreeMemory() = 0;

    // GetCurrentProcessId, GetCurrentThreadId.
    virtual uint32_t processId() = 0;
    virtual uint32_t threadId() = 0;

    // CoCreateGuid.
    virtual Guid newGuid() = 0;

    // From now on, a request to end the process is passed to stop, with a
    // few words that name it, on the serving thread: on POSIX SIGINT or
    // SIGTERM (sigaction, without SA_RESTART, so that a wait for requests
    // ends at once); on Windows a WM_CLOSE to the server's hidden top-level
    // window (what "taskkill" without /f and Task Manager's "End task"
    // send), or WM_QUERYENDSESSION, a logoff or a shutdown. stop is not
    // expected to return.
    virtual void watchForStop(std::function<void(const std::string&)> stop) = 0;
    // Passes on the requests that came since the last call; called once a
    // turn. On Windows it dispatches the hidden window's messages
    // (PeekMessageA, DispatchMessageA), and stop is called from within them.
    virtual void takeStopRequests() = 0;
};

// One part of each subject: what a piece of the server is handed. It owns
// none of them; whoever assembles it keeps the parts alive while it is in
// use. Copying it copies the references.
class Platform {
  public:
    Platform(Files& files, Clock& clock, Desktop& desktop, Network& network, Process& process)
        : files_(&files),
          clock_(&clock),
          desktop_(&desktop),
          network_(&network),
          process_(&process) {}

    // The platform this build runs on (POSIX stand-in or Win32).
    static Platform& Default();

    Files& files() const { return *files_; }
    Clock& clock() const { return *clock_; }
    Desktop& desktop() const { return *desktop_; }
    Network& network() const { return *network_; }
    Process& process() const { return *process_; }

  private:
    Files* files_;
    Clock* clock_;
    Desktop* desktop_;
    Network* network_;
    Process* process_;
};

}  // namespace qrx
