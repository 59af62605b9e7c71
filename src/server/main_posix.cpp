// The POSIX entry: everything the server needs comes from "Server.ini"
// beside the executable and the prefix (QRX_PREFIX). Its options
// (--settings, --help, --version) print and exit; others are ignored.
#include <signal.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "server/server_main.h"

int main(int argc, char** argv) {
    // Events go to standard error: one that nobody reads any more (a closed
    // pipe, a terminal gone) fails the write, and must not end the server.
    signal(SIGPIPE, SIG_IGN);
    return qrx::serverMain(qrx::Platform::Default(),
                           std::vector<std::string>(argv + 1, argv + argc));
}
