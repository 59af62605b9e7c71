#include "platform/platform_posix.h"

#include <dirent.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <netdb.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/iconv_text.h"
#include "platform/ini_profile.h"
#include "platform/path_mapping.h"
#include "platform/posix_files.h"
#include "platform/registry_export.h"

namespace qrx {
namespace {

// An owned file descriptor, closed on every path.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now: false when the close reports an error (errno set), as a
    // delayed write that no longer fits may.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// Writes every byte unless the file system refuses. False, with errno set,
// when it stopped short; a write that takes nothing counts as a full disk.
bool writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// An open file with an exclusive flock, held until destruction.
class LockedFile : public InstanceClaim, public ExclusiveFile {
  public:
    explicit LockedFile(int fd) : fd_(fd) {}

    bool readByte(char* byte) override { return read(fd_.get(), byte, 1) == 1; }
    bool rewrite(const char* data, size_t length, std::string* failure) override {
        if (lseek(fd_.get(), 0, SEEK_SET) == 0 && ftruncate(fd_.get(), 0) == 0 &&
            writeAll(fd_.get(), data, length))
            return true;
        *failure = std::strerror(errno);
        return false;
    }

  private:
    FileDescriptor fd_;
};

// Opens (creating) path and takes an exclusive non-blocking flock. Null with
// *held set when another opener holds the lock.
std::unique_ptr<LockedFile> openLocked(const std::string& path, bool* held) {
    *held = false;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    auto file = std::make_unique<LockedFile>(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *held = errno == EWOULDBLOCK;
        return nullptr;
    }
    return file;
}

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

}  // namespace

Platform& Platform::Default() {
    static PosixPlatform platform(posixPrefix());
    return platform;
}

PosixPlatform::PosixPlatform(std::string prefix)
    : prefix_(std::move(prefix)), desktop_(prefix_ + "/desktop") {}

std::string PosixPlatform::hostPath(const std::string& path) const {
    return mapToPosixPath(prefix_, path);
}

std::unique_ptr<InstanceClaim> PosixPlatform::claimSingleInstance(const std::string& name) {
    bool held = false;
    const std::string path = prefix_ + "/" + name + ".lock";
    std::unique_ptr<LockedFile> lock = openLocked(path, &held);
    if (lock) return lock;
    if (held) {
        // The log stays untouched; whoever started this copy sees why it ends.
        std::fprintf(stderr, "ScanServer: another copy is running: it holds %s\n", path.c_str());
        return nullptr;
    }
    return std::make_unique<InstanceClaim>();  // no lock file: go on as the first copy
}

std::string PosixPlatform::executablePath() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

bool PosixPlatform::readProfile(const std::string& file, const std::string& section,
                                const std::string& key, std::string* value) {
    std::string text;
    return readWholeFile(hostPath(file), &text) && findProfileValue(text, section, key, value);
}

std::string PosixPlatform::profileString(const std::string& file, const std::string& section,
                                         const std::string& key, const std::string& fallback,
                                         size_t bufferSize) {
    std::string value;
    if (!readProfile(file, section, key, &value)) value = fallback;
    if (bufferSize == 0) return std::string();
    return value.size() >= bufferSize ? value.substr(0, bufferSize - 1) : value;
}

int PosixPlatform::profileInt(const std::string& file, const std::string& section,
                              const std::string& key, int fallback) {
    std::string value;
    // As on Windows, an empty value reads like a missing one.
    if (!readProfile(file, section, key, &value) || value.empty()) return fallback;
    return parseProfileInt(value);
}

std::vector<std::string> PosixPlatform::profileNames(const std::string& file,
                                                     const std::string& section) {
    std::string text;
    if (!readWholeFile(hostPath(file), &text)) return {};
    return listProfileNames(text, section);
}

std::unique_ptr<RegistryKey> PosixPlatform::openMachineKey(const std::string& subKey) {
    std::string text;
    RegistryValues values;
    if (!readWholeFile(prefix_ + "/registry.reg", &text) ||
        !readRegistryExport(text, "HKEY_LOCAL_MACHINE\\" + subKey, &values))
        return nullptr;
    return std::make_unique<RegistryFileKey>(std::move(values));
}

std::unique_ptr<ExclusiveFile> PosixPlatform::openExclusive(const std::string& path) {
    bool held = false;
    return openLocked(hostPath(path), &held);
}

int PosixPlatform::appendToFile(const std::string& path, const char* data, size_t length) {
    FileDescriptor fd(
        open(hostPath(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (fd.get() < 0) return errno != 0 ? errno : -1;
    writeAll(fd.get(), data, length);
    return 0;
}

bool PosixPlatform::writeNewFile(const std::string& path, const char* data, size_t length,
                                 std::string* failure) {
    FileDescriptor fd(open(hostPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() >= 0 && writeAll(fd.get(), data, length) && fsync(fd.get()) == 0 && fd.close())
        return true;
    *failure = std::strerror(errno);
    return false;
}

// Without O_APPEND or O_TRUNC: an append-only file (chattr +a) refuses just
// this open, as it refuses the cut.
bool PosixPlatform::canCutFile(const std::string& path, std::string* failure) {
    FileDescriptor fd(open(hostPath(path).c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() >= 0) return true;
    *failure = std::strerror(errno);
    return false;
}

// A new name, then the old one gone: link fails when the new name exists,
// where rename would replace it.
bool PosixPlatform::moveFile(const std::string& from, const std::string& to, std::string* failure) {
    const std::string source = hostPath(from);
    if (link(source.c_str(), hostPath(to).c_str()) != 0) {
        *failure = std::strerror(errno);
        return false;
    }
    unlink(source.c_str());
    return true;
}

bool PosixPlatform::replaceFile(const std::string& from, const std::string& to,
                                std::string* failure) {
    if (rename(hostPath(from).c_str(), hostPath(to).c_str()) == 0) return true;
    *failure = std::strerror(errno);
    return false;
}

std::vector<std::string> PosixPlatform::filesEndingIn(const std::string& folder,
                                                      const std::string& ending) {
    std::vector<std::string> names;
    const std::string host = folder.empty() ? "./" : hostPath(folder);
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(host.c_str()), closedir);
    if (!listing) return names;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        struct stat info;
        if (name.size() >= ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0 &&
            stat((host + name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            names.push_back(name);
    }
    return names;
}

bool PosixPlatform::deleteFile(const std::string& path, std::string* failure) {
    if (unlink(hostPath(path).c_str()) == 0 || errno == ENOENT) return true;
    if (failure != nullptr) *failure = std::strerror(errno);
    return false;
}

int64_t PosixPlatform::fileSize(const std::string& path) {
    struct stat info;
    if (stat(hostPath(path).c_str(), &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool PosixPlatform::copyFile(const std::string& from, const std::string& to, std::string* failure) {
    FileDescriptor in(open(hostPath(from).c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        *failure = std::strerror(errno);
        return false;
    }
    FileDescriptor out(open(hostPath(to).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    char buffer[65536];
    for (ssize_t got = 0; out.get() >= 0;) {
        got = read(in.get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0 && out.close()) return true;
        if (got <= 0 || !writeAll(out.get(), buffer, static_cast<size_t>(got))) break;
    }
    *failure = std::strerror(errno);
    return false;
}

void PosixPlatform::debugOutput(const char* text) {
    std::fputs(text, stderr);
}

void PosixPlatform::reportEvent(const std::string& source, EventType type, uint32_t id,
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

std::string PosixPlatform::terminalText(const std::string& text) {
    std::string converted;
    size_t stoppedAt = 0;
    if (convertText("UTF-32LE", "UTF-8", text, &converted, &stoppedAt)) return text;
    if (convertText("UTF-8", "GBK", text, &converted, &stoppedAt)) return converted;
    return text;
}

LocalTime PosixPlatform::localTime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts;
    localtime_r(&now.tv_sec, &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return t;
}

int64_t PosixPlatform::monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Another C library's heap gives back what it can by itself.
void PosixPlatform::releaseFreeMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

uint32_t PosixPlatform::processId() {
    return static_cast<uint32_t>(getpid());
}

uint32_t PosixPlatform::threadId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

Guid PosixPlatform::newGuid() {
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

WindowHandle PosixPlatform::findWindow(const char* className, const std::string& title) {
    return desktop_.findWindow(className, title);
}

void PosixPlatform::forEachDescendant(WindowHandle parent,
                                      const std::function<bool(WindowHandle)>& visit) {
    desktop_.forEachDescendant(parent, visit);
}

int PosixPlatform::controlId(WindowHandle window) {
    return desktop_.controlId(window);
}

// The stand-in desktop's windows are folders: they cannot hang.
bool PosixPlatform::setWindowText(WindowHandle window, const std::string& text, int) {
    return desktop_.setWindowText(window, text);
}

bool PosixPlatform::fileExists(const std::string& path) {
    struct stat info;
    return !path.empty() && stat(hostPath(path).c_str(), &info) == 0;
}

bool PosixPlatform::readFileContent(const std::string& path, std::string* content,
                                    std::string* failure) {
    FileDescriptor fd(open(hostPath(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        *failure = std::strerror(errno);
        return false;
    }
    content->clear();
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd.get(), buffer, sizeof(buffer));
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            *failure = std::strerror(errno);  // a folder fails here: EISDIR
            return false;
        }
        content->append(buffer, static_cast<size_t>(got));
    }
}

std::string PosixPlatform::peerAddress(int64_t socket) {
    const int fd = static_cast<int>(socket);
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    char host[NI_MAXHOST];
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&address), size, host, sizeof(host), nullptr, 0,
                    NI_NUMERICHOST) != 0)
        return std::string();
    std::string text = host;
    // A local socket's peer is named by its credentials as well, as libzmq
    // names it.
    ucred peer{};
    socklen_t peerSize = sizeof(peer);
    if (address.ss_family == AF_UNIX &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0)
        text += ":" + std::to_string(peer.uid) + ":" + std::to_string(peer.gid) + ":" +
                std::to_string(peer.pid);
    return text;
}

}  // namespace qrx
