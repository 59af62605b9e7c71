// The contract tests' view of Windows: the real platform, real windows
// (an ordinary window class of our own, EDIT and STATIC controls).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <map>
#include <vector>

#include "platform_contract.h"

namespace qrx::contract {
namespace {

constexpr const char kWindowClass[] = "QrxContractWindow";

class Win32Desktop : public TestDesktop {
  public:
    Win32Desktop() {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kWindowClass;
        RegisterClassA(&windowClass);  // fails harmlessly when already registered
    }
    ~Win32Desktop() override {
        for (HWND window : topLevel_) DestroyWindow(window);
    }

    void addTopWindow(const std::string& name, const std::string& title,
                      const char* className) override {
        HWND window = CreateWindowExA(0, className != nullptr ? className : kWindowClass,
                                      title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                                      nullptr, GetModuleHandleA(nullptr), nullptr);
        windows_[name] = window;
        topLevel_.push_back(window);
    }
    void addControl(const std::string& parent, const std::string& name, int id) override {
        windows_[name] = CreateWindowExA(
            0, "EDIT", "", WS_CHILD | WS_VISIBLE, 0, 0, 60, 20, windows_[parent],
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
    }
    std::string textOf(const std::string& name) override {
        char text[256] = {};
        GetWindowTextA(windows_[name], text, sizeof(text));
        return text;
    }

  private:
    std::map<std::string, HWND> windows_;
    std::vector<HWND> topLevel_;
};

}  // namespace

std::shared_ptr<Platform> platformFor(const std::string&) {
    return std::make_shared<Platform>(Platform::Default());
}

std::unique_ptr<TestDesktop> desktopFor(const std::string&) {
    return std::make_unique<Win32Desktop>();
}

}  // namespace qrx::contract
