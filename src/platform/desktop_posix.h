// The desktop of the POSIX stand-in: <prefix>/desktop/. Each folder directly
// below it is a top-level window, each folder below a window (at any depth)
// a descendant. A window's folder may hold "title" (its title's bytes),
// "class" (its class name), "id" (its control identifier in decimal, 0 when
// missing) and "text" (its text, replaced by a set-text).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qrx {

class PosixDesktop : public Desktop {
  public:
    explicit PosixDesktop(std::string root) : root_(std::move(root)) {}

    WindowHandle findWindow(const char* className, const std::string& title) override;
    void forEachDescendant(WindowHandle parent,
                           const std::function<bool(WindowHandle)>& visit) override;
    int controlId(WindowHandle window) override;
    bool setWindowText(WindowHandle window, const std::string& text, int timeoutMs) override;

  private:
    // Handles stand for folders; the same folder always gets the same handle.
    WindowHandle handleOf(const std::string& folder);
    const std::string* folderOf(WindowHandle window) const;

    std::string root_;
    std::map<std::string, WindowHandle> handles_;
    std::vector<std::string> folders_;  // folders_[handle - 1]
};

}  // namespace qrx
