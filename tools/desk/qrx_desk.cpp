// qrx-desk: plays the card-scanning application and the capture application
// on the POSIX stand-in desktop, for tests, the demo and desktop-program
// authors. See --help.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/tool_main.h"
#include "desk/desk_side.h"
#include "platform/path_mapping.h"

namespace {

using namespace qrx;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: qrx-desk [options] COMMAND\n"
    "\n"
    "commands:\n"
    "  take           scan mode 2: write \"0\", wait for an answer \"2...\", check and take\n"
    "                 the record with its images into --out, and write \"0\" again for\n"
    "                 each further record; stops after --count records, leaving the\n"
    "                 last \"2...\" in the file\n"
    "  ask C|F        scan mode 1: write the letter, print the answers \"1\", then\n"
    "                 \"2...\" (and take the record into --out) or \"5\"\n"
    "  capture-window show the capture window (--caption, --hour-id, --minute-id)\n"
    "  close-capture  close it\n"
    "  clock          print the capture window's hour and minute texts, HH:MM\n"
    "  prompt open|close   show or close the prompt box (class #32770, title in GBK)\n"
    "  hold MS        hold the command file locked for MS milliseconds\n"
    "  write TEXT     write TEXT into the command file\n"
    "  read           print the command file\n"
    "\n"
    "options:\n"
    "  --prefix DIR     the machine folder (default $QRX_PREFIX, else ~/.qrx)\n"
    "  --cmd PATH       the command file (default: registry value ScanCmdPath)\n"
    "  --result DIR     result folder C (default: registry value ScanResult)\n"
    "  --result-jw DIR  result folder F (default: registry value ScanResult_jw)\n"
    "  --out DIR        where taken records go, in ScanResult/ and ScanResult_jw/\n"
    "                   (default <prefix>/taken)\n"
    "  --count N        records to take before stopping (default 1)\n"
    "  --timeout S      give up after S seconds (default 60)\n"
    "\n"
    "exit status: 0 done; 1 answer \"5\" (ask) or a record failed its checks;\n"
    "2 timed out; 3 bad options.\n";

struct Options {
    std::vector<std::string> words;
    std::string prefix = posixPrefix();
    std::string cmd, result, resultJw, out, caption;
    int count = 1;
    int timeoutSeconds = 60;
    int hourId = 49;
    int minuteId = 53;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    o.words = readOptions(argc, argv,
                          {{"--prefix", into(o.prefix)},
                           {"--cmd", into(o.cmd)},
                           {"--result", into(o.result)},
                           {"--result-jw", into(o.resultJw)},
                           {"--out", into(o.out)},
                           {"--caption", into(o.caption)},
                           {"--count", into(o.count)},
                           {"--timeout", into(o.timeoutSeconds)},
                           {"--hour-id", into(o.hourId)},
                           {"--minute-id", into(o.minuteId)}});
    if (o.words.empty()) throw UsageError{"no command given"};
    if (o.out.empty()) o.out = o.prefix + "/taken";
    return o;
}

class Desk {
  public:
    explicit Desk(const Options& options)
        : options_(options),
          platform_(options.prefix),
          paths_(desk::readDeskPaths(platform_, options.cmd, options.result, options.resultJw)),
          file_(paths_.commandFile),
          deadline_(Clock::now() + std::chrono::seconds(options.timeoutSeconds)) {}

    int take() {
        int taken = 0, failed = 0;
        // A record announced before we started is taken first.
        std::string announced = file_.read();
        if (!announced.empty() && announced[0] == '2' && desk::recordsWaiting(paths_)) {
            failed += report(announced);
            ++taken;
        }
        if (taken < options_.count) file_.write("0");
        while (taken < options_.count) {
            std::string answer;
            if (!waitFor([](char c) { return c == '2'; }, &answer)) return timedOut(taken);
            failed += report(answer);
            ++taken;
            if (taken < options_.count) file_.write("0");
        }
        return failed > 0 ? 1 : 0;
    }

    int ask(char letter) {
        file_.write(std::string(1, letter));
        std::string answer;
        if (!waitFor([letter](char c) { return c != letter; }, &answer)) return timedOut(0);
        if (answer == "1") {
            say("answer 1");
            if (!waitFor([](char c) { return c == '2' || c == '5'; }, &answer)) return timedOut(0);
        }
        if (answer[0] == '2') return report(answer) > 0 ? 1 : 0;
        say("answer " + answer);
        return 1;
    }

    const desk::CommandFile& file() const { return file_; }
    bool knowsResultFolders() const {
        return !paths_.resultFolders[0].empty() || !paths_.resultFolders[1].empty();
    }

  private:
    // Polls the command file until its first byte is wanted.
    template <typename Wanted>
    bool waitFor(Wanted wanted, std::string* answer) {
        while (Clock::now() < deadline_) {
            *answer = file_.read();
            if (!answer->empty() && wanted((*answer)[0])) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Prints the answer and the records taken for it; returns the failures.
    int report(const std::string& answer) {
        say("answer " + answer);
        std::vector<desk::TakenRecord> records = desk::takeRecords(platform_, paths_, options_.out);
        int failures = records.empty() ? 1 : 0;
        if (records.empty())
            say("error: answer " + answer + " but no record in the result folders");
        for (const desk::TakenRecord& record : records) {
            say("took " + record.record + " from " + record.folder);
            for (const std::string& problem : record.problems) say("error: " + problem);
            failures += record.problems.empty() ? 0 : 1;
        }
        return failures;
    }

    int timedOut(int taken) {
        std::cerr << "qrx-desk: timed out after " << options_.timeoutSeconds << " s with " << taken
                  << " record(s) taken; the command file holds \"" << file_.read() << "\"\n";
        return 2;
    }

    static void say(const std::string& line) { std::cout << line << std::endl; }

    const Options& options_;
    PosixPlatform platform_;
    desk::DeskPaths paths_;
    desk::CommandFile file_;
    Clock::time_point deadline_;
};

int run(const Options& o) {
    const std::string& command = o.words[0];
    const std::string argument = o.words.size() > 1 ? o.words[1] : "";
    if (command == "capture-window") {
        std::cout << desk::showCaptureWindow(o.prefix, o.caption, o.hourId, o.minuteId) << "\n";
        return 0;
    }
    if (command == "close-capture") return desk::closeWindow(o.prefix, "capture"), 0;
    if (command == "clock") return std::cout << desk::captureClock(o.prefix) << "\n", 0;
    if (command == "prompt" && argument == "open") return desk::openPromptBox(o.prefix), 0;
    if (command == "prompt" && argument == "close") return desk::closeWindow(o.prefix, "prompt"), 0;

    Desk desk(o);
    if ((command == "take" || command == "ask") && !desk.knowsResultFolders())
        throw UsageError{"no result folder: set ScanResult and ScanResult_jw in " + o.prefix +
                         "/registry.reg, or give --result and --result-jw"};
    if (command == "take") return desk.take();
    if (command == "ask" && (argument == "C" || argument == "F")) return desk.ask(argument[0]);
    if (command == "hold" && !argument.empty())
        return desk.file().hold(std::atoi(argument.c_str())), 0;
    if (command == "write" && o.words.size() == 2) return desk.file().write(argument), 0;
    if (command == "read") return std::cout << desk.file().read() << "\n", 0;
    throw UsageError{"cannot understand the command " + command};
}

}  // namespace

int main(int argc, char** argv) {
    return qrx::toolMain("qrx-desk", kUsage, [&] { return run(parseOptions(argc, argv)); });
}
