// The POSIX entry: everything the server needs comes from "Server.ini"
// beside the executable and the prefix (QRX_PREFIX). Its options
// (--settings, --help, --version) print and exit; others are ignored.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "server/server_main.h"

int main(int argc, char** argv) {
    return qrx::serverMain(qrx::Platform::Default(),
                           std::vector<std::string>(argv + 1, argv + argc));
}
