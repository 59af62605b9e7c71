// The platform on Windows, one class a subject: each call is the Windows
// call its comment in platform.h names (platform_win32.cpp). A test double
// on Windows derives from one and overrides only the calls it fakes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrx {

class Win32Files : public Files {
  public:
    char pathSeparator() const override;
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
};

class Win32Clock : public Clock {
  public:
    LocalTime localTime() override;
    int64_t monotonicMs() override;
    void sleepMs(int ms) override;
};

class Win32Desktop : public Desktop {
  public:
    WindowHandle findWindow(const char* className, const std::string& title) override;
    void forEachDescendant(WindowHandle parent,
                           const std::function<bool(WindowHandle)>& visit) override;
    int controlId(WindowHandle window) override;
    bool setWindowText(WindowHandle window, const std::string& text, int timeoutMs) override;
};

class Win32Network : public Network {
  public:
    std::string peerAddress(int64_t socket) override;
};

class Win32Process : public Process {
  public:
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
};

}  // namespace qrx
