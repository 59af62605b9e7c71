// What the platform contract tests need besides the Platform itself: a
// platform for a scratch folder and a way to put windows on its desktop.
// Each platform build provides these (contract_support_posix.cpp here,
// win32/contract_support_win32.cpp on Windows).
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace qrx::contract {

// The platform under test, for scratch files in folder. Shared, so that
// the parts it is made of go with it, whatever type owns them.
std::shared_ptr<Platform> platformFor(const std::string& folder);

// Windows of the desktop under test, removed when it is destroyed.
class TestDesktop {
  public:
    virtual ~TestDesktop() = default;
    // A top-level window; class null means the platform's ordinary one.
    virtual void addTopWindow(const std::string& name, const std::string& title,
                              const char* className) = 0;
    // A control with id below the window or control called parent.
    virtual void addControl(const std::string& parent, const std::string& name, int id) = 0;
    // The text a control holds now.
    virtual std::string textOf(const std::string& name) = 0;
};
std::unique_ptr<TestDesktop> desktopFor(const std::string& folder);

}  // namespace qrx::contract
