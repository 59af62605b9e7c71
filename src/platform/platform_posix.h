// The POSIX stand-in for the Windows machine the server is made for. All of
// it lives below one prefix folder (QRX_PREFIX, default ~/.qrx); the README
// documents the layout for users and desktop-side programs.
#pragma once

#include <memory>
#include <string>

#include "platform/desktop_posix.h"
#include "platform/platform.h"

namespace qrx {

class PosixPlatform : public Platform {
  public:
    explicit PosixPlatform(std::string prefix);

    std::string hostPath(const std::string& path) const override;

    std::unique_ptr<InstanceClaim> claimSingleInstance(const std::string& name) override;
    std::string executablePath() override;
    char pathSeparator() const override { return '/'; }
    std::string profileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& fallback,
                              size_t bufferSize) override;
    int profileInt(const std::string& file, const std::string& section, const std::string& key,
                   int fallback) override;
    std::vector<std::string> profileNames(const std::string& file,
                                          const std::string& section) override;
    std::unique_ptr<RegistryKey> openMachineKey(const std::string& subKey) override;
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
    int64_t fileSize(const std::string& path) override;
    bool copyFile(const std::string& from, const std::string& to, std::string* failure) override;
    void debugOutput(const char* text) override;
    void reportEvent(const std::string& source, EventType type, uint32_t id,
                     const std::string& text) override;
    std::string terminalText(const std::string& text) override;
    LocalTime localTime() override;
    int64_t monotonicMs() override;
    void releaseFreeMemory() override;
    uint32_t processId() override;
    uint32_t threadId() override;
    Guid newGuid() override;
    WindowHandle findWindow(const char* className, const std::string& title) override;
    void forEachDescendant(WindowHandle parent,
                           const std::function<bool(WindowHandle)>& visit) override;
    int controlId(WindowHandle window) override;
    bool setWindowText(WindowHandle window, const std::string& text, int timeoutMs) override;
    bool fileExists(const std::string& path) override;
    bool readFileContent(const std::string& path, std::string* content,
                         std::string* failure) override;
    std::string peerAddress(int64_t socket) override;

  private:
    bool readProfile(const std::string& file, const std::string& section, const std::string& key,
                     std::string* value);

    std::string prefix_;
    PosixDesktop desktop_;
};

}  // namespace qrx
