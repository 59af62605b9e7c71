#include "platform/posix_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace qrx {

bool readWholeFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileDescriptor::close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
}

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

bool LockedFile::readByte(char* byte) {
    return read(fd_.get(), byte, 1) == 1;
}

bool LockedFile::rewrite(const char* data, size_t length, std::string* failure) {
    if (lseek(fd_.get(), 0, SEEK_SET) == 0 && ftruncate(fd_.get(), 0) == 0 &&
        writeAll(fd_.get(), data, length))
        return true;
    *failure = std::strerror(errno);
    return false;
}

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

}  // namespace qrx
