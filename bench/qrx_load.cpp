// qrx-load: several clients at once on both endpoints (REQ on the reply
// endpoint, DEALER and REQ on the router endpoint) ask for codes and submit
// records with a 40 KB card image and a 10 KB head image, while qrx-desk
// takes the records in scan mode 2. After each round it checks that every
// request got its reply and every accepted record came out exactly once, in
// the folder of its kind, with its images byte for byte; and it prints the
// server's resident memory once the round has drained.
// Usage: qrx-load SCANSERVER QRX-DESK ROUNDS RECORDS-PER-ROUND
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/base64_encode.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The images of record id, made again from the id when checking.
std::string imageOf(const std::string& id, size_t size) {
    std::mt19937 random(static_cast<unsigned>(std::hash<std::string>()(id) + size));
    std::string bytes = id + ":";
    while (bytes.size() < size) bytes.push_back(static_cast<char>(random()));
    return bytes;
}

pid_t spawn(const std::vector<std::string>& argv, const fs::path& cwd, const fs::path& prefix,
            const fs::path& output) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    setenv("QRX_PREFIX", prefix.c_str(), 1);
    if (chdir(cwd.c_str()) != 0) _exit(99);
    if (!output.empty() && (!freopen(output.c_str(), "w", stdout) || dup2(1, 2) < 0)) _exit(97);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(98);
}

struct Tally {
    std::atomic<int> accepted{0};
    std::atomic<int> failures{0};
};

void submitAll(void* context, int type, const std::string& endpoint, const std::string& tag,
               int count, Tally* tally) {
    qrx::bench::Peer peer(context, type, endpoint);
    for (int i = 0; i < count; ++i) {
        std::string codeReply = peer.exchange("{\"type\":0}");
        size_t at = codeReply.find("\"code\" : \"");
        if (at == std::string::npos) {
            ++tally->failures;
            continue;
        }
        std::string code = codeReply.substr(at + 10, 36);
        std::string id = tag + "-" + std::to_string(i);
        std::string kind = i % 2 == 0 ? "C" : "F";
        std::string reply = peer.exchange(
            "{\"type\":1,\"cardtype\":\"ID\",\"ScanCmd\":\"" + kind + id + "\",\"code\":\"" + code +
            "\",\"name\":\"" + id + "\",\"chinese_name\":\"" + id + "\",\"cardiamgedata\":\"" +
            qrx::base64Encode(imageOf(id, 40 * 1024)) + "\",\"headiamgedata\":\"" +
            qrx::base64Encode(imageOf(id, 10 * 1024)) + "\"}");
        if (reply.find("\"result\" : 0") != std::string::npos)
            ++tally->accepted;
        else
            ++tally->failures;
    }
}

// Checks the records taken in one round; returns the number of problems.
int checkRound(const fs::path& taken, int expected) {
    std::map<std::string, int> seen;
    int problems = 0;
    for (const char* folder : {"ScanResult", "ScanResult_jw"}) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(taken / folder, error)) {
            if (entry.path().extension() != ".xml") continue;
            std::string xml = readAll(entry.path());
            size_t start = xml.find("<CHINESE_NAME>");
            std::string element = start == std::string::npos ? "NAME" : "CHINESE_NAME";
            start = xml.find("<" + element + ">") + element.size() + 2;
            std::string id = xml.substr(start, xml.find("</", start) - start);
            ++seen[id];
            // The C kind has NAME, the other CHINESE_NAME; each in its own folder.
            bool isC = element == "NAME";
            if (isC != (std::string(folder) == "ScanResult")) ++problems;
            std::string stem = entry.path().stem().string();
            if (readAll(taken / folder / (stem + ".jpg")) != imageOf(id, 40 * 1024) ||
                readAll(taken / folder / (stem + "_head.jpg")) != imageOf(id, 10 * 1024)) {
                std::printf("  record %s: images differ\n", id.c_str());
                ++problems;
            }
        }
    }
    for (const auto& [id, count] : seen) {
        if (count != 1) {
            std::printf("  record %s came out %d times\n", id.c_str(), count);
            ++problems;
        }
    }
    if (static_cast<int>(seen.size()) != expected) {
        std::printf("  %zu records came out, %d were accepted\n", seen.size(), expected);
        ++problems;
    }
    return problems;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: qrx-load SCANSERVER QRX-DESK ROUNDS RECORDS-PER-ROUND\n");
        return 3;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int rounds = std::atoi(argv[3]), perRound = std::atoi(argv[4]);
    char pattern[] = "/tmp/qrx-load-XXXXXX";
    const fs::path home = mkdtemp(pattern);
    const fs::path prefix = home / "prefix";
    for (const char* sub :
         {"bin", "prefix/drive_c/qrx", "prefix/scan/result", "prefix/scan/result_jw"})
        fs::create_directories(home / sub);
    fs::copy_file(fs::absolute(argv[1]), home / "bin/ScanServer");
    const std::string reply = "ipc://" + (home / "reply.ipc").string();
    const std::string router = "ipc://" + (home / "router.ipc").string();
    std::ofstream(home / "bin/Server.ini")
        << "[Server]\nAddress=" << reply << "\nAddressEx=" << router << "\n";
    std::ofstream(prefix / "registry.reg")
        << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\n\"ScanCmdPath\"=\""
        << (prefix / "scan/scancmd.scc").string() << "\"\n\"ScanResult\"=\""
        << (prefix / "scan/result/").string() << "\"\n\"ScanResult_jw\"=\""
        << (prefix / "scan/result_jw/").string() << "\"\n";
    pid_t server = spawn({(home / "bin/ScanServer").string()}, home, prefix, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    int problems = 0;
    long firstRss = 0, lastRss = 0;
    for (int round = 1; round <= rounds; ++round) {
        const fs::path taken = home / ("taken-" + std::to_string(round));
        pid_t desk = spawn(
            {fs::absolute(argv[2]).string(), "--prefix", prefix.string(), "--out", taken.string(),
             "take", "--count", std::to_string(perRound), "--timeout", "1800"},
            home, prefix, home / ("desk-" + std::to_string(round) + ".out"));
        Tally tally;
        void* context = zmq_ctx_new();
        const int each = perRound / 3;
        const std::string tag = "r" + std::to_string(round);
        std::thread a(submitAll, context, ZMQ_REQ, reply, tag + "-req", each, &tally);
        std::thread b(submitAll, context, ZMQ_DEALER, router, tag + "-dealer", each, &tally);
        std::thread c(submitAll, context, ZMQ_REQ, router, tag + "-reqrouter", perRound - 2 * each,
                      &tally);
        a.join();
        b.join();
        c.join();
        zmq_ctx_term(context);
        int status = 0;
        waitpid(desk, &status, 0);
        int roundProblems = tally.failures + checkRound(taken, tally.accepted);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::printf("  qrx-desk: %s\n",
                        readAll(home / ("desk-" + std::to_string(round) + ".out")).c_str());
            ++roundProblems;
        }
        lastRss = qrx::bench::residentKb(server);
        if (round == 2) firstRss = lastRss;  // the first round fills the allocator's pools
        std::printf(
            "round %d: %d accepted, %d unanswered or refused, %d problems; server RSS "
            "after drain %ld KB\n",
            round, tally.accepted.load(), tally.failures.load(), roundProblems, lastRss);
        problems += roundProblems;
        fs::remove_all(taken);
    }
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    const double growth = firstRss > 0 ? 100.0 * (lastRss - firstRss) / firstRss : 0.0;
    std::printf("RSS after the second round %ld KB, after the last %ld KB (%+.1f %%)\n", firstRss,
                lastRss, growth);
    // Drained rounds leave nothing behind: past the first round, memory may
    // wobble, not climb.
    if (rounds > 2 && growth > 10.0) {
        std::printf("  memory grew over the rounds\n");
        ++problems;
    }
    fs::remove_all(home);
    std::printf("%s\n", problems == 0 ? "load: every record exactly once, byte for byte"
                                      : "load: PROBLEMS FOUND");
    return problems == 0 ? 0 : 1;
}
