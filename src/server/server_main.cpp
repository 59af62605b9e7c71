#include "server/server_main.h"

#include <cstdio>
#include <memory>

#include "log/log.h"
#include "processor/processor.h"

namespace qrx {

int serverMain(Platform& platform, const std::string& options) {
    if (options == kSettingsOption) {
        std::fputs(CProcessor(platform).settingsReport().c_str(), stdout);
        return 0;
    }
    if (!options.empty()) {
        std::fprintf(stderr, "ScanServer: unknown option \"%s\"; the only one is %s\n",
                     options.c_str(), kSettingsOption);
        return kExitBadOption;
    }
    // Held for the life of the process: the name goes away with it.
    std::unique_ptr<InstanceClaim> claim = platform.claimSingleInstance(kInstanceName);
    if (!claim) return 1;
    logMessage(platform, LOG_LEVEL_INFO, "Server.cpp", __LINE__, "Server Start");
    CProcessor processor(platform);
    processor.init();
    processor.run();
}

}  // namespace qrx
