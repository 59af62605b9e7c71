// The POSIX stand-in for the Windows machine the server is made for. All of
// it lives below one prefix folder (QRX_PREFIX, default ~/.qrx); the README
// documents the layout for users and desktop-side programs. One class a
// subject, so that a test double can derive from one and override only the
// calls it fakes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/desktop_posix.h"
#include "platform/platform.h"

namespace qrx {

// Paths are mapped below the prefix (path_mapping.h).
class PosixFiles : public Files {
  public:
    explicit PosixFiles(std::string prefix) : prefix_(std::move(prefix)) {}

    char pathSeparator() const override { return '/'; }
    std::string hostPath(const std::string& path) const override;
    bool fileExists(const std::string& path) override;
    int64_t fileSize(const std::string& path) override;
    bool readFileContent(const std::string& path, std::string* content,
                         std::string* failure) override;
    std::unique_ptr<ExclusiveFile> openExclusive(const std::string& path) override;
    int appendToFile(const std::string& path, const char* data, size_t length) override;
    bool writeNewFile(const std::string& path, const char* data, size_t length,
                      std::string* failure) override;
    bool canCutFile(const std::string& path, std::string* failure) override;
    bool moveFile(const std::string& from, const std::string& to, std::string* failure) override;
    bool replaceFile(const std::string& from, const std::string& to, std::string* failure) override;
    std::vector<std::string> filesEndingIn(const std::string& folder,
                                           const std::string& ending) override;
    bool deleteFile(const std::string& path, std::string* failure) override;
    bool copyFile(const std::string& from, const std::string& to, std::string* failure) override;

  private:
    std::string prefix_;
};

class PosixClock : public Clock {
  public:
    LocalTime localTime() override;
    int64_t monotonicMs() override;
    void sleepMs(int ms) override;
};

class PosixNetwork : public Network {
  public:
    std::string peerAddress(int64_t socket) override;
};

// The single-instance lock file and the registry file live in the prefix.
class PosixProcess : public Process {
  public:
    explicit PosixProcess(std::string prefix) : prefix_(std::move(prefix)) {}

    std::unique_ptr<InstanceClaim> claimSingleInstance(const std::string& name) override;
    bool instanceHeld(const std::string& name) override;
    bool processRuns(uint32_t id) override;
    std::string executablePath() override;
    std::unique_ptr<RegistryKey> openMachineKey(const std::string& subKey) override;
    void debugOutput(const char* text) override;
    void reportEvent(const std::string& source, EventType type, uint32_t id,
                     const std::string& text) override;
    std::string terminalText(const std::string& text) override;
    std::string ansiFromUtf16(const std::string& utf16) override;
    std::string currentFolder() override;
    std::unique_ptr<ChildProcess> startProgram(const std::string& path,
                                               const std::vector<std::string>& arguments,
                                               std::string* failure) override;
    void releaseFreeMemory() override;
    uint32_t processId() override;
    uint32_t threadId() override;
    Guid newGuid() override;
    void watchForStop(std::function<void(const std::string&)> stop) override;
    void takeStopRequests() override;

  private:
    std::string prefix_;
    std::function<void(const std::string&)> stop_;
};

// The stand-in's parts on one prefix; a base of PosixPlatform, so that they
// are built before the Platform that refers to them.
struct PosixParts {
    explicit PosixParts(const std::string& prefix);

    PosixFiles posixFiles;
    PosixClock posixClock;
    PosixDesktop posixDesktop;
    PosixNetwork posixNetwork;
    PosixProcess posixProcess;
};

// The whole stand-in on one prefix: a Platform that owns its parts.
class PosixPlatform : private PosixParts, public Platform {
  public:
    explicit PosixPlatform(const std::string& prefix)
        : PosixParts(prefix),
          Platform(posixFiles, posixClock, posixDesktop, posixNetwork, posixProcess),
          prefix_(prefix) {}
    PosixPlatform(const PosixPlatform&) = delete;
    PosixPlatform& operator=(const PosixPlatform&) = delete;

    const std::string& prefix() const { return prefix_; }

  private:
    std::string prefix_;
};

}  // namespace qrx
