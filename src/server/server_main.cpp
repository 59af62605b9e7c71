#include "server/server_main.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "base/version.h"
#include "log/log.h"
#include "processor/processor.h"
#include "processor/status_file.h"
#include "server/status_report.h"
#include "server/watcher.h"
#include "settings/settings.h"

namespace qrx {
namespace {

bool given(const std::vector<std::string>& arguments, const char* option) {
    return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
}

// --help, or a short form of it that Windows and POSIX users type.
bool helpAsked(const std::vector<std::string>& arguments) {
    return given(arguments, kHelpOption) || given(arguments, "-h") || given(arguments, "-?") ||
           given(arguments, "/?");
}

std::string usage(Platform& platform) {
    return std::string(
               "Usage: ScanServer [--settings | --status [--json] | --watch | --help | --version]\n"
               "\n"
               "The QRX card scan server. Without an option it serves card clients on\n"
               "two ZeroMQ endpoints and hands their cards to the desk's programs, until\n"
               "it is ended; one copy runs at a time. It reads Server.ini beside it and\n"
               "logs to ") +
           platform.process().terminalText(platform.files().hostPath(logConfig().path)) +
           ", when that folder exists.\n"
           "\n"
           "  --settings  print the settings a start would use, with a note beside each\n"
           "              value not read as written; exit status 1 when there is a note\n"
           "  --status    print whether the server runs and how it fares: its queue,\n"
           "              its folders, the command file, connections and the log;\n"
           "              with --json for a monitoring script. Exit status 0 running\n"
           "              and well, 1 running with a fault, 3 not running\n"
           "  --watch     start the server and start it again whenever it ends\n"
           "              abnormally (a crash); what the logon entry runs\n"
           "  --help      print this text (also -h, -? and /?)\n"
           "  --version   print the version\n"
           "\n"
           "Any other argument is ignored, and named in the log.\n";
}

}  // namespace

bool printsAndExits(const std::vector<std::string>& arguments) {
    return helpAsked(arguments) || given(arguments, kVersionOption) ||
           given(arguments, kSettingsOption) || given(arguments, kStatusOption);
}

int serverMain(Platform& platform, const std::vector<std::string>& arguments) {
    if (helpAsked(arguments)) {
        std::fputs(usage(platform).c_str(), stdout);
        return 0;
    }
    if (given(arguments, kVersionOption)) {
        std::printf("QRX Scan Server %s\n", serverVersion());
        return 0;
    }
    if (given(arguments, kSettingsOption)) {
        const Settings settings = readSettings(platform);
        std::fputs(settingsReport(platform, settings, logConfig().path).c_str(), stdout);
        return settings.hasNotes() ? 1 : 0;
    }
    if (given(arguments, kStatusOption))
        return printStatus(platform, statusFilePath(logConfig().path),
                           given(arguments, kJsonOption));
    if (given(arguments, kWatchOption)) {
        std::vector<std::string> serverArguments;
        for (const std::string& argument : arguments)
            if (argument != kWatchOption) serverArguments.push_back(argument);
        return watchServer(platform, serverArguments);
    }
    // Held for the life of the process: the name goes away with it.
    std::unique_ptr<InstanceClaim> claim = platform.process().claimSingleInstance(kInstanceName);
    if (!claim) return 1;
    // The last copy's status file goes: until this one writes its own,
    // --status says it runs with no status yet, whatever became of the
    // process id the old file names.
    platform.files().deleteFile(statusFilePath(logConfig().path));
    logMessage(platform, LOG_LEVEL_INFO, "Server.cpp", __LINE__, "Server Start");
    CProcessor processor(platform);
    processor.init();
    // A shortcut or a launcher may pass something: the server starts all the
    // same, and the log says what it passed over.
    if (!arguments.empty()) {
        std::string ignored =
            "arguments ignored (the options are --settings, --status, --watch, --help and "
            "--version):";
        for (const std::string& argument : arguments) ignored += " \"" + argument + "\"";
        logMessage(platform, LOG_LEVEL_ERROR, "Server.cpp", __LINE__, ignored.c_str());
    }
    processor.run();
}

}  // namespace qrx
