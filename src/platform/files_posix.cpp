// The stand-in's files: each path is mapped below the prefix first.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/path_mapping.h"
#include "platform/platform_posix.h"
#include "platform/posix_files.h"

namespace qrx {

std::string PosixFiles::hostPath(const std::string& path) const {
    return mapToPosixPath(prefix_, path);
}

std::unique_ptr<ExclusiveFile> PosixFiles::openExclusive(const std::string& path) {
    bool held = false;
    return openLocked(hostPath(path), &held);
}

int PosixFiles::appendToFile(const std::string& path, const char* data, size_t length) {
    FileDescriptor fd(
        open(hostPath(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (fd.get() < 0) return errno != 0 ? errno : -1;
    writeAll(fd.get(), data, length);
    return 0;
}

bool PosixFiles::writeNewFile(const std::string& path, const char* data, size_t length,
                              std::string* failure) {
    FileDescriptor fd(open(hostPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() >= 0 && writeAll(fd.get(), data, length) && fsync(fd.get()) == 0 && fd.close())
        return true;
    *failure = std::strerror(errno);
    return false;
}

// Without O_APPEND or O_TRUNC: an append-only file (chattr +a) refuses just
// this open, as it refuses the cut.
bool PosixFiles::canCutFile(const std::string& path, std::string* failure) {
    FileDescriptor fd(open(hostPath(path).c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() >= 0) return true;
    *failure = std::strerror(errno);
    return false;
}

// A new name, then the old one gone: link fails when the new name exists,
// where rename would replace it.
bool PosixFiles::moveFile(const std::string& from, const std::string& to, std::string* failure) {
    const std::string source = hostPath(from);
    if (link(source.c_str(), hostPath(to).c_str()) != 0) {
        *failure = std::strerror(errno);
        return false;
    }
    unlink(source.c_str());
    return true;
}

bool PosixFiles::replaceFile(const std::string& from, const std::string& to, std::string* failure) {
    if (rename(hostPath(from).c_str(), hostPath(to).c_str()) == 0) return true;
    *failure = std::strerror(errno);
    return false;
}

std::vector<std::string> PosixFiles::filesEndingIn(const std::string& folder,
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

bool PosixFiles::deleteFile(const std::string& path, std::string* failure) {
    if (unlink(hostPath(path).c_str()) == 0 || errno == ENOENT) return true;
    if (failure != nullptr) *failure = std::strerror(errno);
    return false;
}

int64_t PosixFiles::fileSize(const std::string& path) {
    struct stat info;
    if (stat(hostPath(path).c_str(), &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool PosixFiles::copyFile(const std::string& from, const std::string& to, std::string* failure) {
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

bool PosixFiles::fileExists(const std::string& path) {
    struct stat info;
    return !path.empty() && stat(hostPath(path).c_str(), &info) == 0;
}

bool PosixFiles::readFileContent(const std::string& path, std::string* content,
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

}  // namespace qrx
