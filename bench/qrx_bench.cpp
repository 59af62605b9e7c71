// qrx-bench: requests per second and latency of the scan server against the
// baselines it starts itself (a bare ZeroMQ REP echo, an echo that only
// parses each request with JsonCpp, a loop floor that does only what the
// server's loop and log must do for any request, and a keep floor that adds
// the parse and the kept bytes every accepted submission must cost), in
// rounds of interleaved runs: medians printed, and the server's ratio to its
// floor for each round, as median and spread; the cost of each step of a card
// submission, timed in this process; plus the hand-over rate in scan mode 2,
// the idle CPU use and the memory per queued record; and, beside a long queue
// whose result folder fails, what a worker's turn costs (in this process) and
// how long a code request waits (against the server). Prints figures; it
// asserts nothing. Usage: qrx-bench SCANSERVER [SECONDS-PER-RUN [ROUNDS [fault]]];
// with "fault", only the figures beside the failing folder.
// With --endpoint in place of SCANSERVER it times only one client's code
// requests, against a server already running there (set up by hand: a log
// that another program holds, or the Windows build under Wine).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "baseline_servers.h"
#include "bench_support.h"
#include "common/base64_encode.h"
#include "jsontext/styled_json.h"
#include "log/log.h"
#include "platform/platform_posix.h"
#include "processor/processor.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qrx::bench::codeOf;

struct Figures {
    double perSecond = 0;
    double p50Us = 0;
    double p99Us = 0;
};

// The server on a prefix of its own below home; otherFolder names the folder
// of records not of kind C ("ScanResult_jw"), beside "result" (kind C).
pid_t startServer(const std::string& binary, const fs::path& home, const std::string& settings,
                  const std::string& otherFolder = "result") {
    fs::create_directories(home / "bin");
    fs::create_directories(home / "prefix/scan/result");
    // The log folder, so that the server logs every request and reply as it
    // does where it is installed.
    fs::create_directories(home / "prefix/drive_c/qrx");
    fs::copy_file(binary, home / "bin/ScanServer", fs::copy_options::overwrite_existing);
    std::ofstream(home / "bin/Server.ini") << settings;
    std::ofstream(home / "prefix/registry.reg")
        << "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\r\n\"ScanCmdPath\"=\""
        << (home / "prefix/scan/scancmd.scc").string() << "\"\r\n\"ScanResult\"=\""
        << (home / "prefix/scan/result/").string() << "\"\r\n\"ScanResult_jw\"=\""
        << (home / "prefix/scan" / otherFolder / "").string() << "\"\r\n";
    pid_t pid = fork();
    if (pid == 0) {
        setenv("QRX_PREFIX", (home / "prefix").c_str(), 1);
        if (chdir(home.c_str()) != 0) _exit(99);
        execl((home / "bin/ScanServer").c_str(), "ScanServer", static_cast<char*>(nullptr));
        _exit(98);
    }
    return pid;
}

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// A REQ client for the figures: a missing reply ends the run.
class Client {
  public:
    Client(void* context, const std::string& endpoint) : peer_(context, ZMQ_REQ, endpoint, 20000) {}
    std::string request(const std::string& body) {
        std::string reply = peer_.exchange(body);
        if (reply.empty()) {
            std::fprintf(stderr, "qrx-bench: no reply within 20 s\n");
            std::exit(2);
        }
        return reply;
    }

  private:
    qrx::bench::Peer peer_;
};

// A context whose sockets are closed before it is ended.
struct Context {
    Context() : handle(zmq_ctx_new()) {}
    ~Context() { zmq_ctx_term(handle); }
    void* handle;
};

std::string submission(const std::string& code, const std::string& card, const std::string& head,
                       const char* kind = "C") {
    return "{\"type\":1,\"cardtype\":\"ID\",\"ScanCmd\":\"" + std::string(kind) + "\",\"code\":\"" +
           code + "\",\"name\":\"bench\",\"cardiamgedata\":\"" + card + "\",\"headiamgedata\":\"" +
           head + "\"}";
}

// Spends a fresh code on each of count submissions.
void queueRecords(Client& client, int count, const std::string& card, const std::string& head,
                  const char* kind = "C") {
    for (int i = 0; i < count; ++i)
        client.request(submission(codeOf(client.request("{\"type\":0}")), card, head, kind));
}

// A server of its own below home/name, on ipc endpoints named after it.
pid_t startNamed(const std::string& binary, const fs::path& home, const std::string& name,
                 const std::string& settings, std::string* endpoint,
                 const std::string& otherFolder = "result") {
    *endpoint = "ipc://" + (home / (name + ".ipc")).string();
    return startServer(binary, home / name,
                       "[Server]\nAddress=" + *endpoint + "\nAddressEx=ipc://" +
                           (home / (name + "-router.ipc")).string() + "\n" + settings,
                       otherFolder);
}

// Runs clients for the given time. Each first calls prepare (outside the
// clock: the run starts when every client is ready), then sends what next()
// gives it; only the exchanges of those requests are timed and counted.
// Replies that accepted() turns down are counted in refused.
template <typename Prepare, typename Next, typename Accepted>
Figures measure(const std::string& endpoint, int clients, double seconds, Prepare prepare,
                Next next, Accepted accepted, std::atomic<long>* refused) {
    void* context = zmq_ctx_new();
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<long> done{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    Clock::time_point deadline;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Client client(context, endpoint);
            prepare(client, c);
            ++ready;
            while (!go) std::this_thread::yield();
            while (Clock::now() < deadline) {
                const std::string& body = next(client, c);
                auto start = Clock::now();
                const std::string reply = client.request(body);
                latencies[c].push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                ++done;
                if (!accepted(reply)) ++*refused;
            }
        });
    }
    while (ready < clients) std::this_thread::yield();
    deadline = Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go = true;
    for (std::thread& t : threads) t.join();
    zmq_ctx_term(context);
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    Figures f;
    f.perSecond = done / seconds;
    if (!all.empty()) {
        f.p50Us = all[all.size() / 2];
        f.p99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return f;
}

// A client's card submissions: codes fetched before the run, each spent by
// writing it into the client's own copy of the submission text.
struct SubmissionSource {
    std::string body;
    size_t codeAt = 0;
    std::vector<std::string> codes;
    long fetchedInRun = 0;

    const std::string& next(Client& client) {
        std::string code;
        if (codes.empty()) {
            code = codeOf(client.request("{\"type\":0}"));
            ++fetchedInRun;
        } else {
            code = std::move(codes.back());
            codes.pop_back();
        }
        body.replace(codeAt, code.size(), code);
        return body;
    }
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double largest(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// Writes the command file as the desktop side does, under its lock.
void writeCommandFile(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
    flock(fd, LOCK_EX);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, bytes.data(), bytes.size(), 0) < 0)
        std::fprintf(stderr, "qrx-bench: cannot write %s\n", path.c_str());
    close(fd);
}

// The median of each figure over the rounds.
Figures medianOf(const std::vector<Figures>& runs) {
    std::vector<double> perSecond, p50, p99;
    for (const Figures& f : runs) {
        perSecond.push_back(f.perSecond);
        p50.push_back(f.p50Us);
        p99.push_back(f.p99Us);
    }
    return Figures{median(perSecond), median(p50), median(p99)};
}

void print(const char* what, const char* target, int clients, const Figures& f) {
    std::printf("  %-17s %-17s %d client(s): %6.0f req/s  p50 %5.0f us  p99 %5.0f us\n", what,
                target, clients, f.perSecond, f.p50Us, f.p99Us);
}

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = close + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / sysconf(_SC_CLK_TCK);
}

// What first touching fresh memory costs here, per 4 KB page: every record
// the queue keeps needs new pages, a cost the echoes never pay.
double pageFaultUs() {
    const size_t size = 32 << 20;
    void* area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return 0;
    volatile char* bytes = static_cast<char*>(area);
    auto start = Clock::now();
    for (size_t at = 0; at < size; at += 4096) bytes[at] = 1;
    double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    munmap(area, size);
    return us / (size / 4096);
}

// Times one card submission in this process, through the server's own
// request handler and log call: the parse alone (all the parse-only echo
// does), the whole handler (the parse, the image check and the styled
// rewrite kept in the queue) and the log line of the request. The records
// stay queued, so fresh memory is paid for as it is in the server.
void printSubmissionSteps(const fs::path& folder, const std::string& sample) {
    fs::create_directories(folder / "drive_c/qrx");
    qrx::PosixPlatform platform(folder.string());
    qrx::CProcessor processor(platform);
    const size_t codeAt = sample.find(std::string(36, 'x'));
    const int count = 300;
    std::vector<double> parse, handle, logRequest;
    for (int i = 0; i < count; ++i) {
        Json::Value issued;
        processor.handleRequest("{\"type\":0}", issued);
        std::string request = sample;
        request.replace(codeAt, 36, issued["code"].asString());
        auto t0 = Clock::now();
        Json::Value root;
        qrx::parseJson(request, &root);
        auto t1 = Clock::now();
        Json::Value reply;
        processor.handleRequest(request, reply);
        auto t2 = Clock::now();
        processor.log(qrx::LOG_LEVEL_INFO, __LINE__, request.c_str());
        auto t3 = Clock::now();
        auto us = [](Clock::time_point a, Clock::time_point b) {
            return std::chrono::duration<double, std::micro>(b - a).count();
        };
        parse.push_back(us(t0, t1));
        handle.push_back(us(t1, t2));
        logRequest.push_back(us(t2, t3));
    }
    if (processor.queue().size() != static_cast<size_t>(count)) {
        std::fprintf(stderr, "qrx-bench: the handler queued %zu of %d submissions\n",
                     processor.queue().size(), count);
        std::exit(2);
    }
    const double parseUs = median(parse), handleUs = median(handle);
    std::printf(
        "  one card submission, medians of %d in this process: parse %.0f us (the parse-only "
        "echo's work); request handler %.0f us, so %.0f us besides the parse (image check, styled "
        "rewrite kept in the queue); request logged (three writes) %.0f us\n",
        count, parseUs, handleUs, handleUs - parseUs, median(logRequest));
    std::printf("  fresh memory on this machine: %.2f us per 4 KB page first touched\n",
                pageFaultUs());
}

// One comparison: the server first, then its floor (the least any server
// with its loop, log and queue must do for these requests), then the echo
// the earlier figures were given against; the runs of every round.
struct Target {
    const char* label;
    std::string endpoint;
    bool spendsCodes;
};
struct Case {
    const char* what;
    int clients;
    double goal;  // of the server's rate over its floor's
    bool codeRequests;
    std::vector<Target> targets;
    std::vector<std::vector<Figures>> runs;
};

// The ratio of two targets' rates, round by round (each round runs them
// back to back): its median and its spread over the rounds. With byP50 set,
// the ratio of their median latencies instead, under's over over's, which
// stalls from other work on the machine move less than the rates.
struct Ratio {
    double median = 0, min = 0, max = 0;
};
Ratio ratioOf(const Case& c, size_t over, size_t under, bool byP50 = false) {
    std::vector<double> ratios;
    for (size_t r = 0; r < c.runs[over].size(); ++r) {
        const Figures& o = c.runs[over][r];
        const Figures& u = c.runs[under][r];
        if (!byP50 && u.perSecond > 0) ratios.push_back(o.perSecond / u.perSecond);
        if (byP50 && o.p50Us > 0) ratios.push_back(u.p50Us / o.p50Us);
    }
    if (ratios.empty()) return {};
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    return {(ratios[(n - 1) / 2] + ratios[n / 2]) / 2, ratios.front(), ratios.back()};
}
void printRatio(const char* over, const char* under, const Ratio& r) {
    std::printf("%s/%s %.2f (%.2f-%.2f)", over, under, r.median, r.min, r.max);
}

// One run against one target. Submissions to the server spend codes fetched
// before the run starts, enough for it at well above the rates seen; a
// client that runs out fetches the rest inside the run, and that is counted.
Figures runOnce(const Case& c, const Target& target, double seconds, const std::string& sample,
                long* fetchedInRun, long* refused) {
    const std::string codeRequest = "{\"type\":0}";
    const long codesEach = static_cast<long>(seconds * 3000 / c.clients) + 500;
    std::vector<SubmissionSource> sources(c.clients);
    auto prepare = [&](Client& client, int k) {
        sources[k].body = sample;
        sources[k].codeAt = sample.find(std::string(36, 'x'));
        if (!target.spendsCodes) return;
        for (long i = 0; i < codesEach; ++i)
            sources[k].codes.push_back(codeOf(client.request(codeRequest)));
    };
    auto next = [&](Client& client, int k) -> const std::string& {
        if (c.codeRequests) return codeRequest;
        return target.spendsCodes ? sources[k].next(client) : sample;
    };
    // The server's submissions must all be accepted, or the figures would be
    // of refusals, which keep nothing.
    auto accepted = [&](const std::string& reply) {
        return c.codeRequests || !target.spendsCodes ||
               reply.find("\"result\" : 0") != std::string::npos;
    };
    std::atomic<long> refusedHere{0};
    Figures figures =
        measure(target.endpoint, c.clients, seconds, prepare, next, accepted, &refusedHere);
    *refused += refusedHere;
    for (const SubmissionSource& source : sources) *fetchedInRun += source.fetchedInRun;
    return figures;
}

// Requests per second and latency of the server and its baselines, in
// rounds of interleaved runs, medians printed with the ratios.
void printRequestFigures(const std::string& binary, const fs::path& home, double seconds,
                         int rounds, const std::string& sample) {
    // Scan mode 0: the figures are of the request path alone (the hand-over
    // is measured on its own). The queue is not drained there, and its
    // default bound (256 MiB, about 3 700 of these records) would be reached
    // within the first rounds and every later submission refused: no bound,
    // as the keep floor has none.
    std::string serverEndpoint;
    pid_t server =
        startNamed(binary, home, "server", "ScanMode=0\nMaxCacheSize=0\n", &serverEndpoint);
    auto ipc = [&](const char* name) { return "ipc://" + (home / name).string(); };
    std::vector<pid_t> baselines = {
        qrx::bench::startEcho(ipc("bare.ipc"), false),
        qrx::bench::startEcho(ipc("parse.ipc"), true),
        qrx::bench::startLoopFloor(ipc("floor.ipc"), ipc("floor-router.ipc"),
                                   (home / "floor.log").string()),
        qrx::bench::startKeepFloor(ipc("keep.ipc"), ipc("keep-router.ipc"),
                                   (home / "keep.log").string())};
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<Case> cases;
    for (int clients : {1, 4}) {
        cases.push_back({"code requests",
                         clients,
                         0.9,
                         true,
                         {{"ScanServer", serverEndpoint, false},
                          {"loop floor", ipc("floor.ipc"), false},
                          {"bare echo", ipc("bare.ipc"), false}},
                         {}});
    }
    for (int clients : {1, 4}) {
        cases.push_back({"card submissions",
                         clients,
                         0.8,
                         false,
                         {{"ScanServer", serverEndpoint, true},
                          {"keep floor", ipc("keep.ipc"), false},
                          {"parse-only echo", ipc("parse.ipc"), false}},
                         {}});
    }
    std::printf(
        "qrx-bench: %d round(s) of %.1f s runs, medians; submissions of %zu bytes "
        "(40 KB + 10 KB images); ratios of rates within each round: median (min-max)\n",
        rounds, seconds, sample.size());
    long fetchedInRun = 0, refused = 0;
    for (int round = 0; round < rounds; ++round) {
        for (Case& c : cases) {
            c.runs.resize(c.targets.size());
            for (size_t t = 0; t < c.targets.size(); ++t)
                c.runs[t].push_back(
                    runOnce(c, c.targets[t], seconds, sample, &fetchedInRun, &refused));
        }
    }
    for (const Case& c : cases) {
        std::vector<Figures> medians;
        for (size_t t = 0; t < c.targets.size(); ++t) {
            medians.push_back(medianOf(c.runs[t]));
            print(c.what, c.targets[t].label, c.clients, medians.back());
        }
        std::printf("  %-17s ", "");
        printRatio("server", c.targets[1].label, ratioOf(c, 0, 1));
        std::printf(" target %.2f; ", c.goal);
        printRatio("server", c.targets[2].label, ratioOf(c, 0, 2));
        std::printf("; ");
        printRatio(c.targets[1].label, c.targets[2].label, ratioOf(c, 1, 2));
        std::printf("\n  %-17s by p50 latency: ", "");
        printRatio("server", c.targets[1].label, ratioOf(c, 0, 1, true));
        std::printf("\n");
    }
    if (fetchedInRun > 0)
        std::printf("  (%ld submissions fetched their code inside the run)\n", fetchedInRun);
    if (refused > 0)
        std::printf(
            "  (%ld submissions were refused by the server: its figures are not all of "
            "accepted ones)\n",
            refused);
    stop(server);
    for (pid_t pid : baselines) stop(pid);
}

// Idle CPU use, memory per issued code and per queued record; scan mode 2
// with no desktop side, so records stay queued.
void printIdleAndMemory(const std::string& binary, const fs::path& home, const std::string& card,
                        const std::string& head) {
    const std::string codeRequest = "{\"type\":0}";
    std::string idleEndpoint;
    pid_t server = startNamed(binary, home, "idle", "", &idleEndpoint);
    {
        Context context;
        Client client(context.handle, idleEndpoint);
        client.request(codeRequest);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        double cpuBefore = cpuSeconds(server);
        std::this_thread::sleep_for(std::chrono::seconds(6));
        double idle = (cpuSeconds(server) - cpuBefore) / 6 * 100;
        // A flood of code requests: codes never spent stay until the end.
        const int codes = 20000;
        long beforeCodes = qrx::bench::residentKb(server);
        for (int i = 0; i < codes; ++i) client.request(codeRequest);
        long afterCodes = qrx::bench::residentKb(server);
        std::printf("  memory per issued, unspent code: %.0f bytes (RSS %ld -> %ld KB over %d)\n",
                    1024.0 * (afterCodes - beforeCodes) / codes, beforeCodes, afterCodes, codes);
        long before = qrx::bench::residentKb(server);
        const int records = 500;
        queueRecords(client, records, card, head);
        long after = qrx::bench::residentKb(server);
        std::printf("  idle CPU use (empty cache, 3 s turns): %.3f %% of one core\n", idle);
        std::printf(
            "  memory per queued record (%zu-byte request): %.1f KB (RSS %ld -> %ld KB over %d)\n",
            submission(std::string(36, 'x'), card, head).size(), double(after - before) / records,
            before, after, records);
    }
    stop(server);
}

// Records handed over per second in scan mode 2 to a desktop side that
// answers at once.
void printHandOver(const std::string& binary, const fs::path& home, const std::string& card,
                   const std::string& head) {
    std::string handEndpoint;
    pid_t server = startNamed(binary, home, "hand", "", &handEndpoint);
    {
        Context context;
        Client client(context.handle, handEndpoint);
        const int records = 50;
        queueRecords(client, records, card, head);
        const std::string cmd = (home / "hand/prefix/scan/scancmd.scc").string();
        const fs::path results = home / "hand/prefix/scan/result";
        auto start = Clock::now();
        int taken = 0;
        while (taken < records && Clock::now() - start < std::chrono::seconds(120)) {
            int fd = open(cmd.c_str(), O_RDWR | O_CREAT, 0666);
            flock(fd, LOCK_EX);
            char first = 0;
            if (read(fd, &first, 1) != 1 || first != '0') {
                if (first == '2' || first == 0) {
                    for (const auto& entry : fs::directory_iterator(results)) {
                        if (entry.path().extension() == ".xml") ++taken;
                        fs::remove(entry.path());
                    }
                    if (ftruncate(fd, 0) == 0 && pwrite(fd, "0", 1, 0) == 1) {
                    }
                }
            }
            close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf(
            "  scan mode 2 hand-over: %d records in %.1f s = %.1f records/s "
            "(idle turns of 200 ms set the pace)\n",
            taken, elapsed, taken / elapsed);
    }
    stop(server);
}

// One client's code requests against a running server: each round's
// figures, then their medians.
void printCodeFigures(const std::string& endpoint, double seconds, int rounds) {
    const std::string codeRequest = "{\"type\":0}";
    std::vector<Figures> runs;
    std::atomic<long> refused{0};
    for (int round = 0; round < rounds; ++round) {
        runs.push_back(measure(
            endpoint, 1, seconds, [](Client&, int) {},
            [&](Client&, int) -> const std::string& { return codeRequest; },
            [](const std::string& reply) { return !codeOf(reply).empty(); }, &refused));
        print("code requests", ("round " + std::to_string(round + 1)).c_str(), 1, runs.back());
    }
    print("code requests", "median", 1, medianOf(runs));
    if (refused > 0) std::printf("  (%ld replies held no code)\n", refused.load());
}

// The POSIX stand-in with a clock that stands still until moved, so that
// the turns timed fall where the test puts them, not where the machine's
// pace puts them.
class HeldClock : public qrx::PosixClock {
  public:
    HeldClock() : nowMs_(PosixClock::monotonicMs()) {}
    int64_t monotonicMs() override { return nowMs_; }
    void advance(int64_t ms) { nowMs_ += ms; }

  private:
    int64_t nowMs_;
};

// What a scan-mode-2 turn costs, in this process, beside count queued cards
// of the sample's size, all of one folder that cannot be written (a plain
// file in its place), with the desktop side asking ("0"): the first turn
// tries the oldest card and fails; then the turns while the folder waits for
// its retry are timed, and the turn of the retry (the clock moved on 5 s).
void printTurnCost(const fs::path& folder, int count, const std::string& card,
                   const std::string& head) {
    fs::create_directories(folder / "result");
    std::ofstream(folder / "result_jw") << "not a folder";
    qrx::PosixPlatform posix(folder.string());
    HeldClock clock;
    qrx::Platform platform(posix.files(), clock, posix.desktop(), posix.network(), posix.process());
    qrx::Settings settings;
    settings.scanCmdPath = (folder / "scancmd.scc").string();
    settings.scanResultDir = (folder / "result/").string();
    settings.scanResultJwDir = (folder / "result_jw/").string();
    qrx::CProcessor processor(platform, settings);
    const std::string sample = submission(std::string(36, 'x'), card, head, "F");
    const size_t codeAt = sample.find(std::string(36, 'x'));
    for (int i = 0; i < count; ++i) {
        Json::Value issued, reply;
        processor.handleRequest("{\"type\":0}", issued);
        std::string request = sample;
        request.replace(codeAt, 36, issued["code"].asString());
        processor.handleRequest(request, reply);
    }
    std::ofstream(folder / "scancmd.scc") << "0";
    auto timedTurn = [&] {
        auto start = Clock::now();
        processor.processCache2();
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    };
    const double first = timedTurn();
    std::vector<double> waiting;
    for (int i = 0; i < 20; ++i) waiting.push_back(timedTurn());
    clock.advance(5000);
    const double retry = timedTurn();
    std::printf(
        "  a scan-mode-2 turn beside %zu queued cards of %zu bytes whose folder fails, in this "
        "process: the failing try %.0f us; while the folder waits, median %.1f us, slowest %.1f "
        "us (20 turns); the retry %.0f us\n",
        processor.queue().size(), sample.size(), first, median(waiting), largest(waiting), retry);
}

// Code requests beside count queued cards of the sample's size whose result
// folder cannot be written (a plain file in its place), against the server
// in scan mode 2: with an idle desktop side (the command file holds its last
// answer) and with the desktop side asking for a record ("0"), so that each
// turn looks for a card it may hand over. Rounds of seconds each,
// alternating; the median and slowest code request of each.
void printFolderFault(const std::string& binary, const fs::path& home, int count,
                      const std::string& card, const std::string& head, double seconds,
                      int rounds) {
    std::string endpoint;
    pid_t server = startNamed(binary, home, "fault", "", &endpoint, "result_jw");
    std::ofstream(home / "fault/prefix/scan/result_jw") << "not a folder";
    const std::string cmd = (home / "fault/prefix/scan/scancmd.scc").string();
    std::vector<double> idle, asking;
    {
        Context context;
        Client client(context.handle, endpoint);
        queueRecords(client, count, card, head, "F");
        const std::string codeRequest = "{\"type\":0}";
        for (int round = 0; round < rounds; ++round) {
            for (bool ask : {false, true}) {
                writeCommandFile(cmd, ask ? "0" : "2F");
                std::vector<double>& times = ask ? asking : idle;
                const Clock::time_point end =
                    Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
                while (Clock::now() < end) {
                    auto start = Clock::now();
                    client.request(codeRequest);
                    times.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                }
            }
        }
    }
    stop(server);
    std::printf(
        "  code requests beside %d queued cards of %zu bytes whose folder fails, %d round(s) of "
        "%.1f s each:\n"
        "    desktop side idle:   %zu requests, median %.2f ms, slowest %.2f ms\n"
        "    desktop side asking: %zu requests, median %.2f ms, slowest %.2f ms\n"
        "    bound (twice idle + 20 ms): median %.2f ms, slowest %.2f ms\n",
        count, submission(std::string(36, 'x'), card, head, "F").size(), rounds, seconds,
        idle.size(), median(idle), largest(idle), asking.size(), median(asking), largest(asking),
        2 * median(idle) + 20, 2 * largest(idle) + 20);
}

}  // namespace

int main(int argc, char** argv) {
    const bool running = argc > 2 && std::string(argv[1]) == "--endpoint";
    const int first = running ? 2 : 1;  // the endpoint or the server
    if (argc < 2 || (std::string(argv[1]) == "--endpoint" && !running)) {
        std::fprintf(stderr,
                     "usage: qrx-bench SCANSERVER [SECONDS-PER-RUN [ROUNDS [fault]]]\n"
                     "       qrx-bench --endpoint ENDPOINT [SECONDS-PER-RUN [ROUNDS]]\n");
        return 3;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double seconds = argc > first + 1 ? std::atof(argv[first + 1]) : 2.0;
    const int rounds = argc > first + 2 ? std::max(1, std::atoi(argv[first + 2])) : 5;
    if (running) {
        printCodeFigures(argv[first], seconds, rounds);
        return 0;
    }
    const std::string binary = argv[first];
    const bool faultOnly = argc > 4 && std::string(argv[4]) == "fault";
    char pattern[] = "/tmp/qrx-bench-XXXXXX";
    const fs::path home = mkdtemp(pattern);

    std::mt19937 random(7);
    std::string cardBytes(40 * 1024, '\0'), headBytes(10 * 1024, '\0');
    for (char& c : cardBytes) c = static_cast<char>(random());
    for (char& c : headBytes) c = static_cast<char>(random());
    const std::string card = qrx::base64Encode(cardBytes), head = qrx::base64Encode(headBytes);
    const std::string codeMark(36, 'x');
    const std::string sample = submission(codeMark, card, head);

    if (!faultOnly) {
        printRequestFigures(binary, home, seconds, rounds, sample);
        printSubmissionSteps(home / "steps", sample);
        printIdleAndMemory(binary, home, card, head);
        printHandOver(binary, home, card, head);
    }

    // Cards of about 190 KB, as desks send them with a full-size photograph.
    std::string bigCardBytes(132 * 1024, '\0'), bigHeadBytes(10 * 1024, '\0');
    for (char& c : bigCardBytes) c = static_cast<char>(random());
    for (char& c : bigHeadBytes) c = static_cast<char>(random());
    const std::string bigCard = qrx::base64Encode(bigCardBytes);
    const std::string bigHead = qrx::base64Encode(bigHeadBytes);
    printTurnCost(home / "turn", 1500, bigCard, bigHead);
    printFolderFault(binary, home, 800, bigCard, bigHead, 5 * seconds, rounds);
    fs::remove_all(home);
    return 0;
}
