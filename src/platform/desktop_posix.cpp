#include "platform/desktop_posix.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "platform/posix_files.h"

namespace qrx {
namespace {

// The sub-folders of folder, sorted by name so visits are repeatable.
std::vector<std::string> subFolders(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info;
        std::string path = folder + "/" + name;
        if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) names.push_back(path);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Depth first, a window before its own children. Returns false once visit
// asked to stop.
bool visitTree(const std::string& folder, const std::function<bool(const std::string&)>& visit) {
    for (const std::string& child : subFolders(folder)) {
        if (!visit(child) || !visitTree(child, visit)) return false;
    }
    return true;
}

}  // namespace

WindowHandle PosixDesktop::findWindow(const char* className, const std::string& title) {
    for (const std::string& folder : subFolders(root_)) {
        std::string windowTitle, windowClass;
        readWholeFile(folder + "/title", &windowTitle);
        if (windowTitle != title) continue;
        if (className != nullptr) {
            readWholeFile(folder + "/class", &windowClass);
            if (windowClass != className) continue;
        }
        return handleOf(folder);
    }
    return 0;
}

void PosixDesktop::forEachDescendant(WindowHandle parent,
                                     const std::function<bool(WindowHandle)>& visit) {
    const std::string* folder = folderOf(parent);
    if (folder == nullptr) return;
    std::string start = *folder;  // handleOf may grow folders_ during the visit
    visitTree(start, [&](const std::string& child) { return visit(handleOf(child)); });
}

int PosixDesktop::controlId(WindowHandle window) {
    const std::string* folder = folderOf(window);
    std::string id;
    if (folder == nullptr || !readWholeFile(*folder + "/id", &id)) return 0;
    return std::atoi(id.c_str());
}

// The stand-in desktop's windows are folders: they cannot hang.
bool PosixDesktop::setWindowText(WindowHandle window, const std::string& text, int) {
    const std::string* folder = folderOf(window);
    if (folder == nullptr) return false;
    std::ofstream out(*folder + "/text", std::ios::binary | std::ios::trunc);
    out << text;
    return true;
}

WindowHandle PosixDesktop::handleOf(const std::string& folder) {
    auto found = handles_.find(folder);
    if (found != handles_.end()) return found->second;
    folders_.push_back(folder);
    WindowHandle handle = folders_.size();
    handles_.emplace(folder, handle);
    return handle;
}

const std::string* PosixDesktop::folderOf(WindowHandle window) const {
    if (window == 0 || window > folders_.size()) return nullptr;
    return &folders_[window - 1];
}

}  // namespace qrx
