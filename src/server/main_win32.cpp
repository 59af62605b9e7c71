// The Windows entry: a GUI-subsystem program that never creates a window or
// a console. Its options (--settings, --status, --help, --version) print and
// exit; others are ignored.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <shellapi.h>
// clang-format on

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "server/server_main.h"

namespace {

// The arguments as Windows programs split them (quotes, spaces), without the
// program's name, each in the ANSI code page the server's texts are in.
std::vector<std::string> commandLineArguments() {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (split == nullptr) return arguments;
    for (int i = 1; i < count; ++i) {
        int size = WideCharToMultiByte(CP_ACP, 0, split[i], -1, nullptr, 0, nullptr, nullptr);
        std::string argument(size > 0 ? static_cast<size_t>(size) : 1, '\0');
        WideCharToMultiByte(CP_ACP, 0, split[i], -1, &argument[0], size, nullptr, nullptr);
        argument.resize(argument.size() - 1);  // the terminator
        arguments.push_back(argument);
    }
    LocalFree(split);
    return arguments;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::vector<std::string> arguments = commandLineArguments();
    // With an option there is something to print. Standard output goes
    // where the starter sent it (a pipe, a file); left unset, as it is for a
    // program without a console, it goes to the console of the command
    // prompt that started it. Either way the texts are printed in the code
    // page of that console (Process::terminalText), which "| more" shows
    // them in too.
    if (qrx::printsAndExits(arguments)) {
        const bool unset = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_UNKNOWN;
        if (AttachConsole(ATTACH_PARENT_PROCESS) && unset) {
            std::freopen("CONOUT$", "w", stdout);
            std::freopen("CONOUT$", "w", stderr);
        }
    }
    return qrx::serverMain(qrx::Platform::Default(), arguments);
}
