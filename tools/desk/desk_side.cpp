#include "desk/desk_side.h"

#include <fcntl.h>
#include <sys/file.h>
#include <tinyxml.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

namespace qrx::desk {
namespace fs = std::filesystem;
namespace {

// "社会信息采集系统" and "提示" in GBK.
constexpr const char kDefaultCaption[] =
    "\xC9\xE7\xBB\xE1\xD0\xC5\xCF\xA2\xB2\xC9\xBC\xAF\xCF\xB5\xCD\xB3";
constexpr const char kPromptTitle[] = "\xCC\xE1\xCA\xBE";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// The command file opened and locked, released on every path.
class LockedCommandFile {
  public:
    explicit LockedCommandFile(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        if (fd_ >= 0) flock(fd_, LOCK_EX);  // the server holds it only for moments
    }
    ~LockedCommandFile() {
        if (fd_ >= 0) close(fd_);  // closing releases the lock
    }
    int fd() const { return fd_; }

  private:
    int fd_;
};

std::string registryValue(PosixPlatform& platform, const char* name) {
    std::unique_ptr<RegistryKey> key = platform.process().openMachineKey("SOFTWARE\\Quorvane");
    std::string value;
    if (key) key->queryString(name, &value);
    return value;
}

// Problems of one record file; empty when it is as the desktop side expects.
std::vector<std::string> checkRecord(PosixPlatform& platform, const std::string& bytes,
                                     std::vector<std::string>* images) {
    std::vector<std::string> problems;
    if (bytes.rfind("<?xml version=\"1.0\" encoding=\"gb2312\" ?>\r\n", 0) != 0)
        problems.push_back("no gb2312 declaration line");
    for (size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', at + 1)) {
        if (at == 0 || bytes[at - 1] != '\r') {
            problems.push_back("a line does not end in CR LF");
            break;
        }
    }
    TiXmlDocument document;
    document.Parse(bytes.c_str(), nullptr, TIXML_ENCODING_LEGACY);
    const TiXmlElement* root = document.RootElement();
    if (document.Error() || root == nullptr || root->ValueStr() != "SCAN_INFO") {
        problems.push_back("not a SCAN_INFO document");
        return problems;
    }
    for (const char* element : {"CARDIMAGE", "HEADIMAGE"}) {
        const TiXmlElement* child = root->FirstChildElement(element);
        const char* path = child != nullptr ? child->GetText() : nullptr;
        if (path == nullptr || !platform.files().fileExists(path))
            problems.push_back(std::string(element) + " names no image file");
        else
            images->push_back(platform.files().hostPath(path));
    }
    return problems;
}

// A base name for a record's files in folder that no earlier record took:
// two records of one second, taken one after the other, keep both.
std::string freeBaseName(const std::string& folder, const std::string& stamp) {
    std::string base = stamp;
    for (int n = 1; fs::exists(folder + "/" + base + ".xml"); ++n)
        base = stamp + "-" + std::to_string(n);
    return base;
}

void moveTo(const std::string& file, const fs::path& target) {
    std::error_code error;
    fs::rename(file, target, error);
    if (error) {  // another file system
        fs::copy_file(file, target, fs::copy_options::overwrite_existing);
        fs::remove(file);
    }
}

}  // namespace

DeskPaths readDeskPaths(PosixPlatform& platform, const std::string& commandOverride,
                        const std::string& resultOverride, const std::string& resultJwOverride) {
    DeskPaths paths;
    std::string command =
        commandOverride.empty() ? registryValue(platform, "ScanCmdPath") : commandOverride;
    paths.commandFile = platform.files().hostPath(command.empty() ? "scancmd.scc" : command);
    for (const auto& [given, name] :
         {std::pair{resultOverride, "ScanResult"}, std::pair{resultJwOverride, "ScanResult_jw"}}) {
        std::string folder = given.empty() ? registryValue(platform, name) : given;
        paths.resultFolders.push_back(folder.empty() ? std::string()
                                                     : platform.files().hostPath(folder));
    }
    return paths;
}

std::string CommandFile::read() const {
    LockedCommandFile file(path_);
    std::string content;
    char buffer[256];
    ssize_t n;
    while (file.fd() >= 0 && (n = ::read(file.fd(), buffer, sizeof(buffer))) > 0)
        content.append(buffer, static_cast<size_t>(n));
    return content;
}

void CommandFile::write(const std::string& content) const {
    LockedCommandFile file(path_);
    if (file.fd() < 0 || ftruncate(file.fd(), 0) != 0) return;
    if (::write(file.fd(), content.data(), content.size()) < 0) return;
}

void CommandFile::hold(int milliseconds) const {
    LockedCommandFile file(path_);
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool recordsWaiting(const DeskPaths& paths) {
    for (const std::string& folder : paths.resultFolders) {
        std::error_code error;
        if (folder.empty()) continue;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            if (entry.path().extension() == ".xml") return true;
        }
    }
    return false;
}

std::vector<TakenRecord> takeRecords(PosixPlatform& platform, const DeskPaths& paths,
                                     const std::string& outFolder) {
    std::vector<TakenRecord> taken;
    // The two folders may hold records of the same second: keep them apart.
    const char* const kSubFolders[] = {"ScanResult", "ScanResult_jw"};
    for (size_t i = 0; i < paths.resultFolders.size(); ++i) {
        const std::string& folder = paths.resultFolders[i];
        if (folder.empty()) continue;
        const std::string target = outFolder + "/" + kSubFolders[i % 2];
        fs::create_directories(target);
        std::vector<std::string> records;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            if (entry.path().extension() == ".xml") records.push_back(entry.path().string());
        }
        std::sort(records.begin(), records.end());
        for (const std::string& record : records) {
            std::vector<std::string> images;
            TakenRecord result{fs::path(record).filename().string(), folder, {}};
            result.problems = checkRecord(platform, readAll(record), &images);
            const std::string stamp = fs::path(record).stem().string();
            const std::string base = target + "/" + freeBaseName(target, stamp);
            for (const std::string& image : images) {
                std::string name = fs::path(image).filename().string();
                moveTo(image,
                       base + (name.size() > stamp.size() ? name.substr(stamp.size()) : name));
            }
            moveTo(record, base + ".xml");  // removing the record tells the server it was taken
            taken.push_back(result);
        }
    }
    return taken;
}

std::string showCaptureWindow(const std::string& prefix, const std::string& caption, int hourId,
                              int minuteId) {
    const std::string window = prefix + "/desktop/capture";
    fs::create_directories(window + "/hour");
    fs::create_directories(window + "/fields/minute");  // a grandchild, as in real dialogs
    writeAll(window + "/title", caption.empty() ? kDefaultCaption : caption);
    writeAll(window + "/hour/id", std::to_string(hourId));
    writeAll(window + "/fields/minute/id", std::to_string(minuteId));
    return window;
}

void closeWindow(const std::string& prefix, const std::string& name) {
    fs::remove_all(prefix + "/desktop/" + name);
}

std::string captureClock(const std::string& prefix) {
    const std::string window = prefix + "/desktop/capture";
    std::string hour = readAll(window + "/hour/text"),
                minute = readAll(window + "/fields/minute/text");
    return (hour.empty() ? "--" : hour) + ":" + (minute.empty() ? "--" : minute);
}

void openPromptBox(const std::string& prefix) {
    const std::string window = prefix + "/desktop/prompt";
    fs::create_directories(window);
    writeAll(window + "/class", "#32770");
    writeAll(window + "/title", kPromptTitle);
}

}  // namespace qrx::desk
