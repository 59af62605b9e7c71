// Shared helpers of the tests: temporary folders, whole-file reads and
// writes, fake platform parts (clock, files, desktop, process) and small
// ZeroMQ clients.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../bench/bench_support.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "processor/request_loop.h"

namespace qrx::test {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// The card-scanning application's registry key, in the export file the
// POSIX stand-in reads it from: values are export lines, such as
// "\"ScanResult\"=\"d:\\\\scan\"\r\n".
void writeRegistry(const std::string& exportFile, const std::string& values);
// The values of a desk that is set up: the command file and both result
// folders in folder.
std::string deskRegistryValues(const std::string& folder);
bool exists(const std::string& path);
// Whether path is a folder with nothing in it.
bool isEmptyDir(const std::string& path);
void makeDirs(const std::string& path);

// The stand-in's clock, held at the times a test sets.
struct FakeClock : PosixClock {
    std::optional<LocalTime> wallTime;  // unset: the real one
    std::optional<int64_t> monotonic;   // milliseconds; unset: the real one
    int64_t stepMs = 0;                 // each read of a set monotonic clock moves it on so far

    LocalTime localTime() override { return wallTime ? *wallTime : PosixClock::localTime(); }
    int64_t monotonicMs() override {
        if (!monotonic) return PosixClock::monotonicMs();
        *monotonic += stepMs;
        return *monotonic - stepMs;
    }
};

// The stand-in's files, recording each log write and failing the calls a
// test chooses.
struct FakeFiles : PosixFiles {
    using PosixFiles::PosixFiles;

    bool failFileChecks = false;  // fileExists throws, as a failing system call might
    int writesBeforeThrow = -1;   // this many more writeNewFile calls pass, then one throws
    int replacesBeforeFail = -1;  // this many more replaceFile calls pass, then one fails
    // The rewrites of the command file, counted from 1, that fail after
    // cutting it (a scanner or a share holding it for a moment).
    std::set<int> failingCommandWrites;
    int commandWrites = 0;
    std::vector<std::string> appends;  // every append, in order
    int exclusiveOpens = 0;
    // A disk that fills up: this many more writes, renames and announcements
    // in the command file ("2…") succeed, then each fails, a write after half
    // its bytes. Below 0: never full. (A failed rename also stands for a
    // file another program holds; the one-byte answers still fit.)
    int writesBeforeFull = -1;
    // Whether the disk takes one more write (counting it down).
    bool roomForWrite();
    // Files other programs hold open, by the path the server names: none is
    // replaced, moved away or deleted meanwhile, and each hold keeps out what
    // the one before does and more.
    enum class Hold {
        Renames,  // a reader sharing reading and writing
        Maps,     // a mapping: nor written anew or cut, though canCutFile passes
        Cuts,     // and canCutFile fails too (a reader sharing only reading)
    };
    std::map<std::string, Hold> held;
    bool keptOut(const std::string& path, Hold least, std::string* failure);
    bool copiesFail = false;  // a copy runs out of room halfway
    // Each file call: "append", "size", "check" (canCutFile), "replace",
    // "copy", "write", "delete".
    std::vector<std::string> calls;
    bool deletesHeld = false;  // every file that stands is held against removing it

    bool fileExists(const std::string& path) override;
    int appendToFile(const std::string& path, const char* data, size_t length) override;
    bool writeNewFile(const std::string& path, const char* data, size_t length,
                      std::string* failure) override;
    bool moveFile(const std::string& from, const std::string& to, std::string* failure) override;
    bool replaceFile(const std::string& from, const std::string& to, std::string* failure) override;
    bool canCutFile(const std::string& path, std::string* failure) override;
    bool copyFile(const std::string& from, const std::string& to, std::string* failure) override;
    int64_t fileSize(const std::string& path) override;
    bool deleteFile(const std::string& path, std::string* failure) override;
    std::unique_ptr<ExclusiveFile> openExclusive(const std::string& path) override;
};

// An in-memory desktop that records the texts sent to its windows.
struct FakeDesktop : Desktop {
    struct Window {
        std::string className;
        std::string title;
        int id = 0;
        WindowHandle parent = 0;
        std::string text;
    };
    std::vector<Window> windows;  // handle = index + 1
    int findWindowCalls = 0;
    std::vector<std::pair<WindowHandle, std::string>> textsSent;
    std::vector<int> textTimeouts;  // the timeout of each text sent
    bool hung = false;              // every window's application is hung
    bool textThrows = false;        // setting a text throws, as running out of memory might
    WindowHandle addWindow(const std::string& title, const std::string& className,
                           WindowHandle parent = 0, int id = 0);

    WindowHandle findWindow(const char* className, const std::string& title) override;
    void forEachDescendant(WindowHandle parent,
                           const std::function<bool(WindowHandle)>& visit) override;
    int controlId(WindowHandle window) override { return windows[window - 1].id; }
    bool setWindowText(WindowHandle window, const std::string& text, int timeoutMs) override;
};

// The stand-in's process with a chosen executable path, its events recorded
// instead of written to standard error, and its heap left alone.
struct FakeProcess : PosixProcess {
    using PosixProcess::PosixProcess;

    std::string exePath;  // empty: the real one
    struct ReportedEvent {
        EventType type;
        uint32_t id;
        std::string text;
    };
    std::vector<ReportedEvent> events;  // every event reported, in order
    int memoryReleases = 0;             // releaseFreeMemory calls; none reach the heap

    std::string executablePath() override {
        return exePath.empty() ? PosixProcess::executablePath() : exePath;
    }
    void reportEvent(const std::string&, EventType type, uint32_t id,
                     const std::string& text) override {
        events.push_back({type, id, text});
    }
    void releaseFreeMemory() override { ++memoryReleases; }
};

// The POSIX stand-in on a temporary prefix with a fake clock, files, desktop
// and process, and its real network. It stands wherever a Platform is asked
// for.
struct FakePlatform {
    explicit FakePlatform(PosixPlatform& real)
        : files(real.prefix()),
          process(real.prefix()),
          platform(files, clock, desktop, real.network(), process) {}
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;
    operator Platform&() { return platform; }

    FakeFiles files;
    FakeClock clock;
    FakeDesktop desktop;
    FakeProcess process;
    Platform platform;
};

LocalTime makeTime(int year, int month, int day, int hour, int minute, int second, int ms);

// The keys a CURVE client connects with, in Z85.
struct CurveClient {
    std::string serverPublic;
    std::string clientPublic;
    std::string clientSecret;
};
// A fresh key pair, as {public, secret} in Z85.
std::pair<std::string, std::string> curveKeyPair();

// A ZeroMQ client socket of its own context; with curve, a CURVE client.
class ZmqClient {
  public:
    // sendHwm: the messages it holds before a send waits (0: libzmq's default).
    ZmqClient(int type, const std::string& endpoint,
              const std::optional<CurveClient>& curve = std::nullopt, int sendHwm = 0);
    ~ZmqClient();
    // False when the message could not go (with ZMQ_DONTWAIT: the queue is full).
    bool send(const std::vector<std::string>& frames, int flags = 0);
    void send(const std::string& body) { send(std::vector<std::string>{body}); }
    // The frames of the next message, or nothing within timeoutMs.
    std::optional<std::vector<std::string>> receive(int timeoutMs = 5000);
    // REQ convenience: sends body and returns the one reply frame ("" when
    // nothing came back in time).
    std::string request(const std::string& body, int timeoutMs = 5000);

  private:
    void* context_;
    void* socket_;
};

// The code of a code request's reply: the one the benchmarks use.
using bench::codeOf;
std::string submissionReply(const std::string& codeJson, int result, const std::string& msg);

// One turn of loop with a short wait (a record is queued for it, and taken
// back after), in which the connections opened before it, with nothing sent
// yet, finish their handshakes: the loop's gate admits each one.
void admitConnections(RequestLoop& loop, CProcessor& processor);

}  // namespace qrx::test
