// The POSIX entry: no options, no console of its own; everything it needs
// comes from "Server.ini" beside the executable and the prefix (QRX_PREFIX).
#include "platform/platform.h"
#include "server/server_main.h"

int main() {
    return qrx::serverMain(qrx::Platform::Default());
}
