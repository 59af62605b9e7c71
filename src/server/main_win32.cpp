// The Windows entry: a GUI-subsystem program that never creates a window or
// a console. Its one option, --settings, prints the settings it would use.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"
#include "server/server_main.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    // With an option there is something to print. Standard output goes where
    // the starter sent it (a pipe, a file); left unset, as it is for a
    // program without a console, it goes to the console of the command
    // prompt that started it.
    if (commandLine[0] != '\0' &&
        GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_UNKNOWN &&
        AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
    return qrx::serverMain(qrx::Platform::Default(), commandLine);
}
