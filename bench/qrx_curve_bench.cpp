// qrx-curve-bench: what CURVE costs. Runs the server twice a round from a
// temporary folder, in plain text and with CURVE and a client list, and
// times one REQ client asking for codes and submitting cards (with codes
// fetched before the clock starts). Prints the median of each figure over the
// rounds; plain and CURVE runs alternate within a round. The server is
// ScanServer beside this program unless --server names one. On POSIX the
// endpoints are ipc files in the folder; the Windows build (qrx-curve-bench.exe,
// run under Wine or on a desk PC) uses TCP loopback ports from --port on, two
// for each run, and the server's own cipher library on both ends.
//
//   qrx-curve-bench [--server PATH] [--codes N] [--cards N] [--rounds R]
//                   [--card-kb K] [--head-kb K] [--port P]
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/base64_encode.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qrx::bench::codeOf;
using qrx::bench::CurveKeys;

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

#ifdef _WIN32
// The server copied into the run's folder, beside its Server.ini, on two
// loopback ports of its own. Its log folder (c:\qrx) should not exist, so
// that the log's writes are not in the figures; main() warns when it does.
class Server {
  public:
    Server(const std::string& binary, const fs::path& folder, const std::string& security,
           int port) {
        fs::create_directories(folder / "bin");
        const fs::path program = folder / "bin/ScanServer.exe";
        fs::copy_file(binary, program);
        endpoint = "tcp://127.0.0.1:" + std::to_string(port);
        writeFile(folder / "bin/Server.ini", "[Server]\r\nAddress=" + endpoint +
                                                 "\r\nAddressEx=tcp://127.0.0.1:" +
                                                 std::to_string(port + 1) + "\r\n" + security);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        std::string commandLine = "\"" + program.string() + "\"";
        if (!CreateProcessA(program.string().c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                            0, nullptr, program.parent_path().string().c_str(), &startup,
                            &process_)) {
            std::fprintf(stderr, "qrx-curve-bench: cannot start %s (error %lu)\n",
                         program.string().c_str(), GetLastError());
            std::exit(2);
        }
        CloseHandle(process_.hThread);
    }
    ~Server() {
        TerminateProcess(process_.hProcess, 0);
        WaitForSingleObject(process_.hProcess, 10000);
        CloseHandle(process_.hProcess);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    std::string endpoint;

  private:
    PROCESS_INFORMATION process_{};
};

// The REQ socket connects again until the server has bound; the round's first
// exchange waits for its answer.
void waitForServer(const std::string&) {}

fs::path makeFolder() {
    const fs::path folder =
        fs::temp_directory_path() / ("qrx-curve-bench-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}
#else
// The server on its own prefix with no log folder, so that the log's writes
// are not in the figures.
class Server {
  public:
    Server(const std::string& binary, const fs::path& folder, const std::string& security, int) {
        fs::create_directories(folder / "bin");
        fs::create_directories(folder / "prefix/scan/result");
        fs::copy_file(binary, folder / "bin/ScanServer");
        endpoint = "ipc://" + (folder / "reply.ipc").string();
        writeFile(folder / "bin/Server.ini",
                  "[Server]\r\nAddress=" + endpoint + "\r\nAddressEx=ipc://" +
                      (folder / "router.ipc").string() + "\r\n" + security);
        pid_ = fork();
        if (pid_ == 0) {
            setenv("QRX_PREFIX", (folder / "prefix").c_str(), 1);
            if (chdir((folder / "prefix").c_str()) != 0) _exit(99);
            const std::string program = (folder / "bin/ScanServer").string();
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(98);
        }
    }
    ~Server() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    std::string endpoint;

  private:
    pid_t pid_ = -1;
};

// Waits until the server has bound its reply endpoint (the ipc file is
// there); the round's first exchange then waits for its answer.
void waitForServer(const std::string& endpoint) {
    const std::string path = endpoint.substr(std::string("ipc://").size());
    for (int i = 0; i < 200 && !fs::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

fs::path makeFolder() {
    char pattern[] = "/tmp/qrx-curve-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::exit(2);
    return pattern;
}
#endif

struct Figures {
    double codesPerSecond = 0;
    double submissionsPerSecond = 0;
};

// The timed part of a round, on one connection made before the clock starts.
Figures timedRuns(void* context, const std::string& endpoint, const CurveKeys* keys, int codes,
                  int cards, const std::string& cardImage, const std::string& headImage) {
    qrx::bench::Peer client(context, ZMQ_REQ, endpoint, 30000, keys);
    if (codeOf(client.exchange("{\"type\":0}")).empty()) {
        std::fprintf(stderr, "qrx-curve-bench: the server did not answer\n");
        std::exit(2);
    }
    Figures figures;
    auto start = Clock::now();
    for (int i = 0; i < codes; ++i) client.exchange("{\"type\":0}");
    figures.codesPerSecond = codes / std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<std::string> issued;
    for (int i = 0; i < cards; ++i) issued.push_back(codeOf(client.exchange("{\"type\":0}")));
    start = Clock::now();
    for (int i = 0; i < cards; ++i) {
        const std::string reply = client.exchange(
            "{\"type\":1,\"cardtype\":\"ID\",\"ScanCmd\":\"C" + std::to_string(i) +
            "\",\"name\":\"bench\",\"cardiamgedata\":\"" + cardImage + "\",\"headiamgedata\":\"" +
            headImage + "\",\"code\":\"" + issued[i] + "\"}");
        if (reply.find("\"result\" : 0") == std::string::npos) {
            std::fprintf(stderr, "qrx-curve-bench: a card was refused: %s\n", reply.c_str());
            std::exit(2);
        }
    }
    figures.submissionsPerSecond =
        cards / std::chrono::duration<double>(Clock::now() - start).count();
    return figures;
}

// One round: codes code requests, then cards submissions with codes fetched
// beforehand, in a context of its own that ends after its socket.
Figures round(const std::string& endpoint, const CurveKeys* keys, int codes, int cards,
              const std::string& cardImage, const std::string& headImage) {
    void* context = zmq_ctx_new();
    Figures figures = timedRuns(context, endpoint, keys, codes, cards, cardImage, headImage);
    zmq_ctx_term(context);
    return figures;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

std::string image(int kb, int step) {
    std::string bytes;
    for (int i = 0; i < kb * 1024; ++i) bytes.push_back(static_cast<char>(i * step % 251));
    return qrx::base64Encode(bytes);
}

int main(int argc, char** argv) {
#ifdef _WIN32
    std::string server = (fs::path(argv[0]).parent_path() / "ScanServer.exe").string();
    int port = 27000 + static_cast<int>(GetCurrentProcessId() % 1000) * 20;
    const char* transport = "TCP loopback";
    if (fs::exists("c:\\qrx"))
        std::fprintf(stderr,
                     "qrx-curve-bench: c:\\qrx exists, so the server's log writes are "
                     "in the figures\n");
#else
    std::string server = (fs::path(argv[0]).parent_path() / "ScanServer").string();
    int port = 0;
    const char* transport = "ipc";
#endif
    int codes = 3000, cards = 500, rounds = 5, cardKb = 40, headKb = 10;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--server")
            server = value;
        else if (option == "--codes")
            codes = std::atoi(value);
        else if (option == "--cards")
            cards = std::atoi(value);
        else if (option == "--rounds")
            rounds = std::atoi(value);
        else if (option == "--card-kb")
            cardKb = std::atoi(value);
        else if (option == "--head-kb")
            headKb = std::atoi(value);
        else if (option == "--port")
            port = std::atoi(value);
        else {
            std::fprintf(stderr, "qrx-curve-bench: unknown option %s\n", option.c_str());
            return 3;
        }
    }
    if (codes <= 0 || cards <= 0 || rounds <= 0 || cardKb < 0 || headKb < 0) {
        std::fprintf(stderr, "qrx-curve-bench: counts must be positive\n");
        return 3;
    }
    if (port < 0 || port + 4 * rounds > 65535) {
        std::fprintf(stderr, "qrx-curve-bench: --port leaves too few ports for %d rounds\n",
                     rounds);
        return 3;
    }
    const std::string cardImage = image(cardKb, 31), headImage = image(headKb, 17);
    char serverPublic[41], serverSecret[41], clientPublic[41], clientSecret[41];
    if (zmq_curve_keypair(serverPublic, serverSecret) != 0 ||
        zmq_curve_keypair(clientPublic, clientSecret) != 0) {
        std::fprintf(stderr, "qrx-curve-bench: this libzmq has no CURVE\n");
        return 2;
    }
    const CurveKeys keys{serverPublic, clientPublic, clientSecret};

    const fs::path folder = makeFolder();
    std::vector<double> codeRates[2], cardRates[2];
    for (int r = 0; r < rounds; ++r) {
        for (int curve = 0; curve < 2; ++curve) {
            const fs::path run = folder / (std::to_string(r) + (curve ? "-curve" : "-plain"));
            std::string security;
            if (curve) {
                fs::create_directories(run / "bin");
                writeFile(run / "bin/server.key", std::string(serverSecret) + "\n");
                writeFile(run / "bin/clients.txt", keys.clientPublic + "\n");
                security =
                    "[Security]\r\nCurveSecretKeyFile=server.key\r\nCurveClientKeys=clients."
                    "txt\r\n";
            }
            Server process(server, run, security, port + (2 * r + curve) * 2);
            waitForServer(process.endpoint);
            Figures figures = round(process.endpoint, curve ? &keys : nullptr, codes, cards,
                                    cardImage, headImage);
            codeRates[curve].push_back(figures.codesPerSecond);
            cardRates[curve].push_back(figures.submissionsPerSecond);
        }
    }
    fs::remove_all(folder);

    const size_t submissionBytes = cardImage.size() + headImage.size() + 150;
    std::printf(
        "qrx-curve-bench: 1 REQ client on %s, no log folder, median of %d rounds; "
        "%d code requests and %d submissions of about %zu bytes a round\n",
        transport, rounds, codes, cards, submissionBytes);
    std::printf("%-28s %14s %14s %8s\n", "", "plain", "CURVE", "CURVE/plain");
    const double codePlain = median(codeRates[0]), codeCurve = median(codeRates[1]);
    const double cardPlain = median(cardRates[0]), cardCurve = median(cardRates[1]);
    std::printf("%-28s %12.0f/s %12.0f/s %8.2f\n", "code requests", codePlain, codeCurve,
                codeCurve / codePlain);
    std::printf("%-28s %12.0f/s %12.0f/s %8.2f\n", "card submissions", cardPlain, cardCurve,
                cardCurve / cardPlain);
    return 0;
}
