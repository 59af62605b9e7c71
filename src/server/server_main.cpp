#include "server/server_main.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "log/log.h"
#include "processor/processor.h"

namespace qrx {

int serverMain(Platform& platform, const std::vector<std::string>& arguments) {
    if (std::find(arguments.begin(), arguments.end(), kSettingsOption) != arguments.end()) {
        CProcessor processor(platform);
        std::fputs(processor.settingsReport().c_str(), stdout);
        return processor.settingNotes().empty() ? 0 : 1;
    }
    // Held for the life of the process: the name goes away with it.
    std::unique_ptr<InstanceClaim> claim = platform.claimSingleInstance(kInstanceName);
    if (!claim) return 1;
    logMessage(platform, LOG_LEVEL_INFO, "Server.cpp", __LINE__, "Server Start");
    CProcessor processor(platform);
    processor.init();
    // A shortcut or a launcher may pass something: the server starts all the
    // same, and the log says what it passed over.
    if (!arguments.empty()) {
        std::string ignored = "arguments ignored (the only one is --settings):";
        for (const std::string& argument : arguments) ignored += " \"" + argument + "\"";
        logMessage(platform, LOG_LEVEL_ERROR, "Server.cpp", __LINE__, ignored.c_str());
    }
    processor.run();
}

}  // namespace qrx
