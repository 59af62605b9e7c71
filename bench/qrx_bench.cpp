// qrx-bench: requests per second and latency of the scan server against two
// baselines it starts itself (a bare ZeroMQ REP echo, and an echo that only
// parses each request with JsonCpp), plus the hand-over rate in scan mode 2,
// the idle CPU use and the memory per queued record. Prints figures; it
// asserts nothing. Usage: qrx-bench SCANSERVER [SECONDS-PER-RUN]
#include <fcntl.h>
#include <json/reader.h>
#include <signal.h>
#include <sys/file.h>
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

#include "bench_support.h"
#include "common/base64_encode.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Figures {
    double perSecond = 0;
    double p50Us = 0;
    double p99Us = 0;
};

// A REP echo in a child process: with parse set, each request is read once
// with JsonCpp's Reader before its bytes are sent back.
pid_t startEcho(const std::string& endpoint, bool parse) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_REP);
    zmq_bind(socket, endpoint.c_str());
    for (;;) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, socket, 0) < 0) _exit(1);
        if (parse) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            Json::Reader reader;
#pragma GCC diagnostic pop
            Json::Value root;
            const char* data = static_cast<const char*>(zmq_msg_data(&msg));
            reader.parse(data, data + zmq_msg_size(&msg), root);
        }
        zmq_msg_send(&msg, socket, 0);
    }
}

pid_t startServer(const std::string& binary, const fs::path& home, const std::string& settings) {
    fs::create_directories(home / "bin");
    fs::create_directories(home / "prefix/scan/result");
    fs::copy_file(binary, home / "bin/ScanServer", fs::copy_options::overwrite_existing);
    std::ofstream(home / "bin/Server.ini") << settings;
    std::ofstream(home / "prefix/registry.reg")
        << "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\r\n\"ScanCmdPath\"=\""
        << (home / "prefix/scan/scancmd.scc").string() << "\"\r\n\"ScanResult\"=\""
        << (home / "prefix/scan/result/").string() << "\"\r\n\"ScanResult_jw\"=\""
        << (home / "prefix/scan/result/").string() << "\"\r\n";
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

std::string codeOf(const std::string& reply) {
    size_t at = reply.find("\"code\" : \"");
    return at == std::string::npos ? std::string() : reply.substr(at + 10, 36);
}

std::string submission(const std::string& code, const std::string& card, const std::string& head) {
    return "{\"type\":1,\"cardtype\":\"ID\",\"ScanCmd\":\"C\",\"code\":\"" + code +
           "\",\"name\":\"bench\",\"cardiamgedata\":\"" + card + "\",\"headiamgedata\":\"" + head +
           "\"}";
}

// Spends a fresh code on each of count submissions.
void queueRecords(Client& client, int count, const std::string& card, const std::string& head) {
    for (int i = 0; i < count; ++i)
        client.request(submission(codeOf(client.request("{\"type\":0}")), card, head));
}

// A server of its own below home/name, on ipc endpoints named after it.
pid_t startNamed(const std::string& binary, const fs::path& home, const std::string& name,
                 const std::string& settings, std::string* endpoint) {
    *endpoint = "ipc://" + (home / (name + ".ipc")).string();
    return startServer(binary, home / name,
                       "[Server]\nAddress=" + *endpoint + "\nAddressEx=ipc://" +
                           (home / (name + "-router.ipc")).string() + "\n" + settings);
}

// Runs clients for the given time; each sends what next() gives it.
template <typename Next>
Figures measure(const std::string& endpoint, int clients, double seconds, Next next) {
    void* context = zmq_ctx_new();
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<long> done{0};
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Client client(context, endpoint);
            for (long i = 0; Clock::now() < deadline; ++i) {
                std::string body = next(client, c, i);
                auto start = Clock::now();
                client.request(body);
                latencies[c].push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                ++done;
            }
        });
    }
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

void print(const char* what, const char* target, int clients, const Figures& f) {
    std::printf("  %-22s %-16s %2d client(s): %9.0f req/s  p50 %7.0f us  p99 %7.0f us\n", what,
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qrx-bench SCANSERVER [SECONDS-PER-RUN]\n");
        return 3;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string binary = argv[1];
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    char pattern[] = "/tmp/qrx-bench-XXXXXX";
    const fs::path home = mkdtemp(pattern);
    const std::string bareEndpoint = "ipc://" + (home / "bare.ipc").string();
    const std::string parseEndpoint = "ipc://" + (home / "parse.ipc").string();

    std::mt19937 random(7);
    std::string cardBytes(40 * 1024, '\0'), headBytes(10 * 1024, '\0');
    for (char& c : cardBytes) c = static_cast<char>(random());
    for (char& c : headBytes) c = static_cast<char>(random());
    const std::string card = qrx::base64Encode(cardBytes), head = qrx::base64Encode(headBytes);
    const std::string sample = submission(std::string(36, 'x'), card, head);

    // Scan mode 0: the figures are of the request path alone (the hand-over
    // is measured below).
    std::string serverEndpoint;
    pid_t server = startNamed(binary, home, "server", "ScanMode=0\n", &serverEndpoint);
    pid_t bare = startEcho(bareEndpoint, false);
    pid_t parsed = startEcho(parseEndpoint, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::printf("qrx-bench: %.1f s per run, submissions of %zu bytes (40 KB + 10 KB images)\n",
                seconds, sample.size());
    const std::string codeRequest = "{\"type\":0}";
    for (int clients : {1, 4}) {
        auto codes = [&](Client&, int, long) { return codeRequest; };
        Figures s = measure(serverEndpoint, clients, seconds, codes);
        Figures b = measure(bareEndpoint, clients, seconds, codes);
        print("code requests", "ScanServer", clients, s);
        print("code requests", "bare echo", clients, b);
        std::printf("  %-22s ratio server/bare echo: %.2f (target 0.80)\n", "",
                    s.perSecond / b.perSecond);
    }
    for (int clients : {1, 4}) {
        // Each server submission spends a code fetched on the same socket
        // just before; only the submission itself is timed.
        auto submissions = [&](Client& client, int, long) {
            return submission(codeOf(client.request(codeRequest)), card, head);
        };
        auto echoes = [&](Client&, int, long) { return sample; };
        Figures s = measure(serverEndpoint, clients, seconds, submissions);
        Figures p = measure(parseEndpoint, clients, seconds, echoes);
        print("card submissions", "ScanServer", clients, s);
        print("card submissions", "parse-only echo", clients, p);
        std::printf("  %-22s ratio server/parse-only echo: %.2f (target 0.70)\n", "",
                    s.perSecond / p.perSecond);
    }
    stop(server);
    stop(bare);
    stop(parsed);

    // Memory per queued record and idle CPU, scan mode 2 with no desktop side.
    std::string idleEndpoint;
    server = startNamed(binary, home, "idle", "", &idleEndpoint);
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
            sample.size(), double(after - before) / records, before, after, records);
    }
    stop(server);

    // Hand-over rate in scan mode 2 with a desktop side that answers at once.
    std::string handEndpoint;
    server = startNamed(binary, home, "hand", "", &handEndpoint);
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
    fs::remove_all(home);
    return 0;
}
