#include "soak/desk.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "soak/cards.h"

namespace qrx::soak {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPoll = std::chrono::milliseconds(5);
// A read now and then even when the file's size and time look the same.
constexpr auto kReadAnyway = std::chrono::milliseconds(250);
// Scan mode 1 answers a command within 30 s; past this the desk asks again.
constexpr auto kStall = std::chrono::seconds(45);

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The command file's size and time, to notice a change without opening it.
std::pair<long long, long long> stampOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return {-1, -1};
    return {static_cast<long long>(info.st_size),
            static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
}

// Polls until done() holds or the seconds have passed; the last answer.
bool waitUntil(const std::function<bool()>& done, double seconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(seconds));
    while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(kPoll);
    return done();
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

ActionResult runAction(const std::string& actions, const std::vector<std::string>& args) {
    std::string command = quoted(actions);
    for (const std::string& arg : args) command += " " + quoted(arg);
    ActionResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

int checkTaken(const std::string& outFolder, Ledger& ledger) {
    int checked = 0;
    for (const char* folder : {"ScanResult", "ScanResult_jw"}) {
        std::error_code error;
        std::vector<fs::path> records;
        for (const auto& entry : fs::directory_iterator(fs::path(outFolder) / folder, error))
            if (entry.path().extension() == ".xml") records.push_back(entry.path());
        for (const fs::path& record : records) {
            const fs::path base = record.parent_path() / record.stem();
            const fs::path card = base.string() + ".jpg", head = base.string() + "_head.jpg";
            const std::string xml = readAll(record);
            const std::string id = recordId(xml);
            const char kind = ledger.kindOf(id);
            std::string problem;
            if (kind != 0)
                problem = recordProblem(makeCard(id, kind), xml,
                                        std::string(folder) == "ScanResult" ? 'C' : 'F',
                                        readAll(card), readAll(head));
            ledger.arrived(id, problem);
            for (const fs::path& file : {record, card, head}) fs::remove(file, error);
            ++checked;
        }
    }
    return checked;
}

void PosixDesk::start(int scanMode) {
    stop();
    stop_ = false;
    taken_ = emptyAnswers_ = stalls_ = 0;
    thread_ = std::thread(scanMode == 1 ? &PosixDesk::scanMode1 : &PosixDesk::scanMode2, this);
}

std::string PosixDesk::stop() {
    if (!thread_.joinable()) return std::string();
    stop_ = true;
    thread_.join();
    return "desk: " + std::to_string(taken_) + " records taken, " + std::to_string(emptyAnswers_) +
           " answers with no record, " + std::to_string(stalls_) +
           " commands asked again after 45 s";
}

bool PosixDesk::pause(double seconds) {
    pauseAsked_ = true;
    return waitUntil([this] { return paused_.load(); }, seconds);
}

void PosixDesk::resume() {
    pauseAsked_ = false;
    while (paused_) std::this_thread::sleep_for(kPoll);
}

void PosixDesk::holdStill() {
    if (!pauseAsked_) return;
    paused_ = true;
    while (pauseAsked_ && !stop_) std::this_thread::sleep_for(kPoll);
    paused_ = false;
}

std::string PosixDesk::waitWhile(const std::string& unwanted, bool pausable,
                                 Clock::time_point until) {
    auto stamp = stampOf(paths_.commandFile);
    std::string content = file_.read();
    Clock::time_point lastRead = Clock::now();
    while (content == unwanted && !stop_ && !(pausable && pauseAsked_) && Clock::now() < until) {
        std::this_thread::sleep_for(kPoll);
        const auto now = stampOf(paths_.commandFile);
        if (now == stamp && Clock::now() - lastRead < kReadAnyway) continue;
        stamp = now;
        content = file_.read();
        lastRead = Clock::now();
    }
    return content;
}

void PosixDesk::take() {
    const std::vector<desk::TakenRecord> records = desk::takeRecords(platform_, paths_, outFolder_);
    if (records.empty()) ++emptyAnswers_;
    taken_ += static_cast<int>(records.size());
    checkTaken(outFolder_, ledger_);
}

// Ready ("0"), then each announced record taken, and ready again.
void PosixDesk::scanMode2() {
    file_.write("0");
    while (!stop_) {
        const std::string content = waitWhile("0", true, Clock::time_point::max());
        if (!content.empty() && content[0] == '2') {
            take();
            holdStill();
            file_.write("0");
        } else if (pauseAsked_) {
            // Not ready any more: the server writes nothing until "0" again.
            if (file_.replaceIf("0", "P")) {
                holdStill();
                file_.write("0");
            }
        } else if (content != "0") {
            file_.write("0");
        }
    }
}

// C and F asked in turn; each answered "1", then "2" with a record or "5".
void PosixDesk::scanMode1() {
    char letter = 'C';
    int fives = 0;
    while (!stop_) {
        holdStill();
        const std::string asked(1, letter);
        file_.write(asked);
        const Clock::time_point until = Clock::now() + kStall;
        std::string content = asked;
        while (!stop_ && (content == asked || content == "1") && Clock::now() < until)
            content = waitWhile(content, false, until);
        if (stop_) break;
        if (!content.empty() && content[0] == '2') {
            take();
            fives = 0;
        } else if (content == "5") {
            // Two "5"s in a row: nothing of either kind is queued just now.
            if (++fives >= 2) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else {
            ++stalls_;
        }
        letter = letter == 'C' ? 'F' : 'C';
    }
}

void WineDesk::start(int scanMode) {
    stop();
    std::error_code error;
    for (const char* name : {"stop", "pause", "paused"})
        fs::remove(fs::path(control_) / name, error);
    runAction(actions_, {"desk-start", std::to_string(scanMode)});
    running_ = true;
    checker_ = std::thread([this] {
        while (running_) {
            if (checkTaken(outFolder_, ledger_) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        checkTaken(outFolder_, ledger_);
    });
}

std::string WineDesk::stop() {
    if (!checker_.joinable()) return std::string();
    std::ofstream(fs::path(control_) / "stop") << "stop\n";
    const ActionResult result = runAction(actions_, {"desk-stop"});
    running_ = false;
    checker_.join();
    return result.output;
}

bool WineDesk::pause(double seconds) {
    std::ofstream(fs::path(control_) / "pause") << "pause\n";
    const fs::path paused = fs::path(control_) / "paused";
    return waitUntil([&paused] { return fs::exists(paused); }, seconds);
}

void WineDesk::resume() {
    std::error_code error;
    fs::remove(fs::path(control_) / "pause", error);
    const fs::path paused = fs::path(control_) / "paused";
    waitUntil([&paused] { return !fs::exists(paused); }, 10);
}

}  // namespace qrx::soak
