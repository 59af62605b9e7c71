// The contract tests' view of the POSIX stand-in: a prefix in the scratch
// folder, windows as folders below its desktop.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/platform_posix.h"
#include "platform_contract.h"

namespace qrx::contract {
namespace {

class FolderDesktop : public TestDesktop {
  public:
    explicit FolderDesktop(const std::string& prefix) : root_(prefix + "/desktop") {}

    void addTopWindow(const std::string& name, const std::string& title,
                      const char* className) override {
        std::string folder = root_ + "/" + name;
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/title", std::ios::binary) << title;
        if (className != nullptr) std::ofstream(folder + "/class") << className;
        folders_[name] = folder;
    }
    void addControl(const std::string& parent, const std::string& name, int id) override {
        std::string folder = folders_[parent] + "/" + name;
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/id") << id;
        folders_[name] = folder;
    }
    std::string textOf(const std::string& name) override {
        std::ifstream in(folders_[name] + "/text", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

  private:
    std::string root_;
    std::map<std::string, std::string> folders_;
};

}  // namespace

std::shared_ptr<Platform> platformFor(const std::string& folder) {
    return std::make_shared<PosixPlatform>(folder);
}

std::unique_ptr<TestDesktop> desktopFor(const std::string& folder) {
    return std::make_unique<FolderDesktop>(folder);
}

}  // namespace qrx::contract
