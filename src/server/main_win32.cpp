// The Windows entry: a GUI-subsystem program that never creates a window or
// a console. Its four arguments are ignored; there are no options.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/platform.h"
#include "server/server_main.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return qrx::serverMain(qrx::Platform::Default());
}
