// qrx-memory: the server's memory under the four loads that once had no
// bound, each on a fresh server in scan mode 0 (nothing drains) with no log
// folder (the log would only add disk traffic):
//   1. one valid submission of REQUEST-MB megabytes (MaxRequestSize=0 lets it
//      in): the peak resident size against the request's size;
//   2. ten accepted records of about 1 KB, each followed by 6 MB of ignored
//      white space: the growth of the virtual and resident size;
//   3. CODES code requests (default 200,000), never spent: the growth;
//   4. twenty accepted cards with 20 MB card images: the resident size after
//      every fifth, and how many were refused with "cache is full".
// Figures, not a test: run it on two builds to compare them.
// Usage: qrx-memory SCANSERVER [REQUEST-MB] [CODES]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using qrx::bench::statusKb;

// One server on its own folder, killed when it goes out of scope.
class Server {
  public:
    Server(const std::string& binary, const std::string& settings) {
        char pattern[] = "/tmp/qrx-memory-XXXXXX";
        home_ = mkdtemp(pattern);
        fs::create_directories(home_ / "bin");
        fs::create_directories(home_ / "prefix");
        fs::copy_file(fs::absolute(binary), home_ / "bin/ScanServer");
        endpoint_ = "ipc://" + (home_ / "reply.ipc").string();
        std::ofstream(home_ / "bin/Server.ini")
            << "[Server]\nAddress=" << endpoint_ << "\nAddressEx=ipc://"
            << (home_ / "router.ipc").string() << "\nScanMode=0\n"
            << settings;
        pid_ = fork();
        if (pid_ == 0) {
            setenv("QRX_PREFIX", (home_ / "prefix").c_str(), 1);
            if (chdir(home_.c_str()) != 0) _exit(99);
            const std::string path = (home_ / "bin/ScanServer").string();
            execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
            _exit(98);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~Server() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        fs::remove_all(home_);
    }
    long kb(const char* field) const { return statusKb(pid_, field); }
    const std::string& endpoint() const { return endpoint_; }

  private:
    fs::path home_;
    std::string endpoint_;
    pid_t pid_ = 0;
};

std::string codeFrom(const std::string& reply) {
    size_t at = reply.find("\"code\" : \"");
    return at == std::string::npos ? "" : reply.substr(at + 10, 36);
}

std::string submission(const std::string& code, const std::string& cardImage) {
    return "{\"type\":1,\"cardtype\":\"ID\",\"ScanCmd\":\"C1\",\"code\":\"" + code +
           "\",\"name\":\"memory\",\"cardiamgedata\":\"" + cardImage +
           "\",\"headiamgedata\":\"QUJD\"}";
}

double mb(long kb) {
    return kb / 1024.0;
}

void oneLargeRequest(const std::string& binary, void* context, int requestMb) {
    Server server(binary, "MaxRequestSize=0\n");
    qrx::bench::Peer peer(context, ZMQ_REQ, server.endpoint(), 300000);
    std::string code = codeFrom(peer.exchange("{\"type\":0}"));
    // base64 text of the right length: "QUJD" is "ABC".
    std::string request = submission(code, "");
    const size_t image = static_cast<size_t>(requestMb) * 1024 * 1024 - request.size();
    std::string body;
    body.reserve(static_cast<size_t>(requestMb) * 1024 * 1024);
    body = submission(code, std::string(image / 4 * 4, 'Q'));
    const long before = server.kb("VmRSS");
    std::string reply = peer.exchange(body);
    const long peak = server.kb("VmHWM");
    const double size = body.size() / 1048576.0;
    std::printf(
        "1. one submission of %.1f MB: %s; RSS before %.1f MB, peak %.1f MB: peak %.2f times the "
        "request, %.2f times counting only what it added\n",
        size, reply.find("\"result\" : 0") != std::string::npos ? "accepted" : "NOT accepted",
        mb(before), mb(peak), mb(peak) / size, (mb(peak) - mb(before)) / size);
}

void paddedRecords(const std::string& binary, void* context) {
    Server server(binary, "");
    qrx::bench::Peer peer(context, ZMQ_REQ, server.endpoint());
    peer.exchange("{\"type\":0}");  // the first exchange sets up the socket's buffers
    const long vmBefore = server.kb("VmSize"), rssBefore = server.kb("VmRSS");
    int accepted = 0;
    const std::string padding(6 * 1024 * 1024, ' ');
    for (int i = 0; i < 10; ++i) {
        std::string code = codeFrom(peer.exchange("{\"type\":0}"));
        std::string reply =
            peer.exchange(submission(code, std::string(1000, 'Q')) + padding + "ignored");
        accepted += reply.find("\"result\" : 0") != std::string::npos;
    }
    std::printf(
        "2. ten records of about 1 KB, each followed by 6 MB of white space: %d accepted; "
        "virtual size %+.1f MB, resident %+.1f MB\n",
        accepted, mb(server.kb("VmSize") - vmBefore), mb(server.kb("VmRSS") - rssBefore));
}

void unspentCodes(const std::string& binary, void* context, int count) {
    Server server(binary, "");
    qrx::bench::Peer peer(context, ZMQ_REQ, server.endpoint());
    peer.exchange("{\"type\":0}");
    const long before = server.kb("VmRSS");
    long half = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= count; ++i) {
        peer.exchange("{\"type\":0}");
        if (i == count / 2) half = server.kb("VmRSS");
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "3. %d code requests in %.1f s, never spent: resident %+.1f MB after %d, %+.1f MB after "
        "%d\n",
        count, seconds, mb(half - before), count / 2, mb(server.kb("VmRSS") - before), count);
}

void largeCards(const std::string& binary, void* context) {
    Server server(binary, "");
    qrx::bench::Peer peer(context, ZMQ_REQ, server.endpoint(), 120000);
    peer.exchange("{\"type\":0}");
    std::printf("4. twenty cards with 20 MB card images: resident %.1f MB before",
                mb(server.kb("VmRSS")));
    const std::string image(20 * 1024 * 1024, 'Q');
    int accepted = 0, full = 0;
    for (int i = 1; i <= 20; ++i) {
        std::string code = codeFrom(peer.exchange("{\"type\":0}"));
        std::string reply = peer.exchange(submission(code, image));
        accepted += reply.find("\"result\" : 0") != std::string::npos;
        full += reply.find("cache is full") != std::string::npos;
        if (i % 5 == 0) std::printf(", %.1f MB after %d", mb(server.kb("VmRSS")), i);
    }
    std::printf("; %d accepted, %d refused with \"cache is full\"\n", accepted, full);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: qrx-memory SCANSERVER [REQUEST-MB] [CODES]\n");
        return 3;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string binary = argv[1];
    void* context = zmq_ctx_new();
    oneLargeRequest(binary, context, argc > 2 ? std::atoi(argv[2]) : 200);
    paddedRecords(binary, context);
    unspentCodes(binary, context, argc > 3 ? std::atoi(argv[3]) : 200000);
    largeCards(binary, context);
    zmq_ctx_term(context);
    return 0;
}
