// Small file helpers the POSIX stand-in's parts share.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace qrx {

// Reads the whole file at a host path. Returns false when it cannot be
// opened.
bool readWholeFile(const std::string& path, std::string* content);

// An owned file descriptor, closed on every path.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now: false when the close reports an error (errno set), as a
    // delayed write that no longer fits may.
    bool close();

  private:
    int fd_;
};

// Writes every byte unless the file system refuses. False, with errno set,
// when it stopped short; a write that takes nothing counts as a full disk.
bool writeAll(int fd, const char* data, size_t length);

// An open file with an exclusive flock, held until destruction: the command
// file's holder and the single-instance claim.
class LockedFile : public InstanceClaim, public ExclusiveFile {
  public:
    explicit LockedFile(int fd) : fd_(fd) {}

    bool readByte(char* byte) override;
    bool rewrite(const char* data, size_t length, std::string* failure) override;

  private:
    FileDescriptor fd_;
};

// Opens (creating) path and takes an exclusive non-blocking flock. Null with
// *held set when another opener holds the lock.
std::unique_ptr<LockedFile> openLocked(const std::string& path, bool* held);

}  // namespace qrx
