// The stand-in's process: its lock file and registry file in the prefix,
// standard error for the debugger and the event log.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
// After a C library header, which defines __GLIBC__.
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/iconv_text.h"
#include "platform/platform_posix.h"
#include "platform/posix_files.h"
#include "platform/registry_export.h"

namespace qrx {
namespace {

class RegistryFileKey : public RegistryKey {
  public:
    explicit RegistryFileKey(RegistryValues values) : values_(std::move(values)) {}
    bool queryString(const std::string& name, std::string* value) override {
        auto found = values_.find(lowerCase(name));
        if (found == values_.end()) return false;
        *value = found->second;
        return true;
    }

  private:
    RegistryValues values_;
};

// The signal that asked the process to end, 0 while none has.
volatile sig_atomic_t stopSignal = 0;

void noteStopSignal(int signal) {
    stopSignal = signal;
}

}  // namespace

void PosixProcess::watchForStop(std::function<void(const std::string&)> stop) {
    stop_ = std::move(stop);
    struct sigaction action = {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM}) sigaction(signal, &action, nullptr);
}

void PosixProcess::takeStopRequests() {
    if (stopSignal == 0 || !stop_) return;
    stop_(stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
}

std::unique_ptr<InstanceClaim> PosixProcess::claimSingleInstance(const std::string& name) {
    bool held = false;
    const std::string path = prefix_ + "/" + name + ".lock";
    for (int tries = 1;; ++tries) {
        std::unique_ptr<LockedFile> lock = openLocked(path, &held);
        if (lock) return lock;
        if (!held || tries == kClaimTries) break;
        usleep(kClaimWaitMs * 1000);
    }
    if (held) {
        // The log stays untouched; whoever started this copy sees why it ends.
        std::fprintf(stderr, "ScanServer: another copy is running: it holds %s\n", path.c_str());
        return nullptr;
    }
    return std::make_unique<InstanceClaim>();  // no lock file: go on as the first copy
}

bool PosixProcess::instanceHeld(const std::string& name) {
    const int fd = open((prefix_ + "/" + name + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // A shared lock for as long as it takes to be had, as the Win32 check
    // holds its handle.
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

bool PosixProcess::processRuns(uint32_t id) {
    return id != 0 && (kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM);
}

std::string PosixProcess::executablePath() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::unique_ptr<RegistryKey> PosixProcess::openMachineKey(const std::string& subKey) {
    std::string text;
    RegistryValues values;
    if (!readWholeFile(prefix_ + "/registry.reg", &text) ||
        !readRegistryExport(text, "HKEY_LOCAL_MACHINE\\" + subKey, &values))
        return nullptr;
    return std::make_unique<RegistryFileKey>(std::move(values));
}

void PosixProcess::debugOutput(const char* text) {
    std::fputs(text, stderr);
}

void PosixProcess::reportEvent(const std::string& source, EventType type, uint32_t id,
                               const std::string& text) {
    const char* kind = type == EventType::Error     ? "error"
                       : type == EventType::Warning ? "warning"
                                                    : "information";
    // One write, so that the line is whole beside other writers.
    const std::string line =
        source + ": " + kind + " " + std::to_string(id) + ": " + terminalText(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string PosixProcess::terminalText(const std::string& text) {
    std::string converted;
    size_t stoppedAt = 0;
    if (convertText("UTF-32LE", "UTF-8", text, &converted, &stoppedAt)) return text;
    if (convertText("UTF-8", "GBK", text, &converted, &stoppedAt)) return converted;
    return text;
}

std::string PosixProcess::ansiFromUtf16(const std::string& utf16) {
    std::string ansi;
    size_t stoppedAt = 0;
    const std::string whole = utf16.substr(0, utf16.size() & ~size_t{1});
    if (convertText("GBK//TRANSLIT", "UTF-16LE", whole, &ansi, &stoppedAt)) return ansi;
    return std::string();
}

std::string PosixProcess::currentFolder() {
    char folder[PATH_MAX] = {};
    return getcwd(folder, sizeof folder) != nullptr ? folder : std::string();
}

namespace {

class PosixChild : public ChildProcess {
  public:
    explicit PosixChild(pid_t pid) : pid_(pid) {}
    uint32_t id() const override { return static_cast<uint32_t>(pid_); }
    bool ended(ProgramEnd* end) override {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        if (WIFSIGNALED(status)) {
            end->code = 128 + static_cast<uint32_t>(WTERMSIG(status));
            end->said = "signal " + std::to_string(WTERMSIG(status));
        } else {
            end->code = static_cast<uint32_t>(WEXITSTATUS(status));
            end->said = "exit code " + std::to_string(end->code);
        }
        return true;
    }
    void askToStop() override { ::kill(pid_, SIGTERM); }
    void kill() override { ::kill(pid_, SIGKILL); }

  private:
    pid_t pid_;
};

}  // namespace

std::unique_ptr<ChildProcess> PosixProcess::startProgram(const std::string& path,
                                                         const std::vector<std::string>& arguments,
                                                         std::string* failure) {
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The exec's failure comes back through a pipe that the exec closes.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *failure = std::strerror(errno);
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // The child starts with the default signal dispositions it needs to stop.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        execv(path.c_str(), argv.data());
        const int error = errno;
        ssize_t written = write(report[1], &error, sizeof error);
        (void)written;
        _exit(127);
    }
    close(report[1]);
    int error = pid < 0 ? errno : 0;
    if (pid > 0 && read(report[0], &error, sizeof error) != static_cast<ssize_t>(sizeof error))
        error = 0;
    close(report[0]);
    if (error != 0) {
        if (pid > 0) waitpid(pid, nullptr, 0);
        *failure = std::strerror(error);
        return nullptr;
    }
    return std::make_unique<PosixChild>(pid);
}

// Another C library's heap gives back what it can by itself.
void PosixProcess::releaseFreeMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

uint32_t PosixProcess::processId() {
    return static_cast<uint32_t>(getpid());
}

uint32_t PosixProcess::threadId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

Guid PosixProcess::newGuid() {
    uint8_t bytes[16] = {};
    size_t got = 0;
    while (got < sizeof(bytes)) {
        ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) got += static_cast<size_t>(n);
    }
    Guid guid;
    guid.data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                 static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    guid.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    // Version 4 (random) in the top bits of data3, RFC 4122 variant in data4[0].
    guid.data3 = static_cast<uint16_t>(((bytes[6] << 8 | bytes[7]) & 0x0fff) | 0x4000);
    for (int i = 0; i < 8; ++i) guid.data4[i] = bytes[8 + i];
    guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3f) | 0x80);
    return guid;
}

}  // namespace qrx
