// The POSIX entry: everything the server needs comes from "Server.ini"
// beside the executable and the prefix (QRX_PREFIX). Its one option,
// --settings, prints the settings it would use.
#include <string>

#include "platform/platform.h"
#include "server/server_main.h"

int main(int argc, char** argv) {
    std::string options;
    for (int i = 1; i < argc; ++i) options += (i > 1 ? " " : "") + std::string(argv[i]);
    return qrx::serverMain(qrx::Platform::Default(), options);
}
