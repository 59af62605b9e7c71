#include "server/server_main.h"

#include <memory>

#include "log/log.h"
#include "processor/processor.h"

namespace qrx {

int serverMain(Platform& platform) {
    // Held for the life of the process: the name goes away with it.
    std::unique_ptr<InstanceClaim> claim = platform.claimSingleInstance(kInstanceName);
    if (!claim) return 1;
    logMessage(platform, LOG_LEVEL_INFO, "Server.cpp", __LINE__, "Server Start");
    CProcessor processor(platform);
    processor.init();
    processor.run();
}

}  // namespace qrx
