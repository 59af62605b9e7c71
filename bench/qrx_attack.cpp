// qrx-attack: one hostile peer against a running server on this machine, and
// what it cost the server: its peak resident size (VmHWM) and peak virtual
// size (VmPeak) before and after, read from /proc. Run each attack against a
// freshly started server, as the peaks only ever grow. The server may be the
// POSIX build or ScanServer.exe under Wine (its Wine process's PID); only
// loopback endpoints are accepted. Every attack is bounded in count and
// holds its connections at most HOLD seconds (default 5).
//
//   pipeline COUNT KB   one DEALER sends COUNT card submissions of KB each
//                       (a code never issued) and reads no reply
//   echoes COUNT        one DEALER sends COUNT submissions whose "code" fills
//                       a reply of just under 1 KiB, and reads no reply
//   deep COUNT          an honest client: one DEALER (libzmq's default
//                       marks) sends COUNT code requests, then reads the
//                       replies; prints how many came and how long it took
//   frames COUNT KB     one raw connection sends COUNT frames of KB each,
//                       all with the MORE flag: a message that never ends
//   announce CONNS KB   CONNS raw connections each announce a KB frame,
//                       then send 16 bytes of it
//   values KB           one request of KB made of small values: [0,0,0,...]
//   nested              a "code" of 1,439 arrays, each 997 deep: a request
//                       of 2.9 MB whose styled reply is just past 4 GiB
//   connections CONNS KB  CONNS DEALERs, each opened once the one before has
//                       finished its handshake or been refused (so that as
//                       many get in as the server admits), each sending 8
//                       card submissions of KB (default 4096) and reading
//                       none; meanwhile an honest client at 127.0.0.2 asks
//                       for a code every 100 ms and times each reply
//
// --curve SERVERKEY: the DEALER is a CURVE client with a fresh key pair (not
// on any client list), and raw connections greet as CURVE.
// Usage: qrx-attack PID tcp://127.0.0.1:PORT ATTACK [N [KB]] [--curve KEY] [--hold S]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    pid_t pid = 0;
    std::string endpoint, attack, curveServerKey;
    int count = 0, kb = 0, holdSeconds = 5;
};

double mb(long kb) {
    return kb / 1024.0;
}

// A ZMTP 3.0 connection made by hand: the greeting and, for NULL, the READY
// command of a DEALER; what the server sends back is never read.
int rawConnection(const Options& options) {
    const size_t colon = options.endpoint.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port =
        htons(static_cast<uint16_t>(std::atoi(options.endpoint.c_str() + colon + 1)));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};  // a send the server stops reading gives up
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    std::string greeting(64, '\0');
    greeting[0] = '\xFF';
    greeting[9] = '\x7F';
    greeting[10] = 3;  // version 3.0
    const bool curve = !options.curveServerKey.empty();
    std::memcpy(&greeting[12], curve ? "CURVE" : "NULL", curve ? 5 : 4);
    if (!curve)
        greeting += std::string(
            "\x04\x1C\x05READY\x0BSocket-Type\0\0\0\x06"
            "DEALER",
            30);
    send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
    return fd;
}

// A frame header: flags (long, and MORE when more is set), 8-byte length.
std::string longFrameHeader(uint64_t size, bool more) {
    std::string header(1, static_cast<char>(more ? 0x03 : 0x02));
    for (int shift = 56; shift >= 0; shift -= 8) header += static_cast<char>(size >> shift);
    return header;
}

bool sendAll(int fd, const std::string& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// The DEALER of the libzmq attacks; with a server key, a CURVE client.
// receiveHwm: the replies its socket takes in (0: libzmq's default). Not
// connected when connect is false.
void* dealer(void* context, const Options& options, int sendHwm, int receiveHwm = 0,
             bool connect = true) {
    void* socket = zmq_socket(context, ZMQ_DEALER);
    int linger = 0, timeoutMs = 60000;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_setsockopt(socket, ZMQ_SNDHWM, &sendHwm, sizeof(sendHwm));
    if (receiveHwm > 0) zmq_setsockopt(socket, ZMQ_RCVHWM, &receiveHwm, sizeof(receiveHwm));
    zmq_setsockopt(socket, ZMQ_SNDTIMEO, &timeoutMs, sizeof(timeoutMs));
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeoutMs, sizeof(timeoutMs));
    if (!options.curveServerKey.empty()) {
        char publicKey[41], secretKey[41];
        zmq_curve_keypair(publicKey, secretKey);
        zmq_setsockopt(socket, ZMQ_CURVE_SERVERKEY, options.curveServerKey.c_str(), 41);
        zmq_setsockopt(socket, ZMQ_CURVE_PUBLICKEY, publicKey, 41);
        zmq_setsockopt(socket, ZMQ_CURVE_SECRETKEY, secretKey, 41);
    }
    if (connect) zmq_connect(socket, options.endpoint.c_str());
    return socket;
}

// Sends one request and waits for its reply; prints how long it took.
void exchange(void* context, const Options& options, const std::string& request) {
    void* socket = dealer(context, options, 1);
    const Clock::time_point start = Clock::now();
    zmq_send(socket, request.data(), request.size(), 0);
    char reply[16] = {};
    const int size = zmq_recv(socket, reply, sizeof(reply) - 1, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::string head(reply, size > 0 ? std::min<size_t>(size, 15) : 0);
    for (char& c : head) c = c == '\n' ? ' ' : c;
    std::printf("request of %.1f MB: %s after %.1f s\n", request.size() / 1048576.0,
                size < 0 ? "no reply" : ("reply \"" + head + "...\"").c_str(), seconds);
    zmq_close(socket);
}

// A card submission of bytes in all, with a code never issued.
std::string submission(size_t bytes) {
    const std::string head = "{\"type\":1,\"cardtype\":\"ID\",\"code\":\"never issued\",\"x\":\"";
    return head + std::string(bytes - head.size() - 2, 'Q') + "\"}";
}

// Connects a DEALER and tells whether its connection finished its
// handshake, watched through its monitor for up to 1 s.
bool admitted(void* context, const Options& options, void* socket, int index) {
    const std::string endpoint = "inproc://attack-" + std::to_string(index);
    zmq_socket_monitor(socket, endpoint.c_str(),
                       ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH |
                           ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
                           ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_DISCONNECTED);
    void* monitor = zmq_socket(context, ZMQ_PAIR);
    int timeoutMs = 1000, linger = 0;
    zmq_setsockopt(monitor, ZMQ_RCVTIMEO, &timeoutMs, sizeof(timeoutMs));
    zmq_setsockopt(monitor, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_connect(monitor, endpoint.c_str());
    zmq_connect(socket, options.endpoint.c_str());
    uint8_t event[6] = {};
    const bool succeeded = zmq_recv(monitor, event, sizeof(event), 0) >= 2 &&
                           (event[0] | event[1] << 8) == ZMQ_EVENT_HANDSHAKE_SUCCEEDED;
    zmq_socket_monitor(socket, nullptr, 0);
    zmq_close(monitor);
    return succeeded;
}

// An honest client at 127.0.0.2: a code request every 100 ms until stop,
// each reply timed (one that never comes counts as 5 s).
void honestClient(void* context, const Options& options, const std::atomic<bool>& stop) {
    const std::string port = options.endpoint.substr(options.endpoint.rfind(':') + 1);
    std::vector<double> waits;
    int unanswered = 0;
    {
        qrx::bench::Peer peer(context, ZMQ_DEALER, "tcp://127.0.0.2:0;127.0.0.1:" + port, 5000);
        while (!stop) {
            const Clock::time_point start = Clock::now();
            const bool answered = !qrx::bench::codeOf(peer.exchange("{\"type\":0}")).empty();
            waits.push_back(answered ? std::chrono::duration<double>(Clock::now() - start).count()
                                     : 5.0);
            unanswered += answered ? 0 : 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::sort(waits.begin(), waits.end());
    std::printf(
        "honest client at 127.0.0.2: %zu code requests, %d unanswered; slowest %.1f ms, "
        "median %.1f ms\n",
        waits.size(), unanswered, waits.empty() ? 0 : 1000 * waits.back(),
        waits.empty() ? 0 : 1000 * waits[waits.size() / 2]);
}

void connections(void* context, const Options& options) {
    std::atomic<bool> stop{false};
    std::thread honest(honestClient, context, std::cref(options), std::cref(stop));
    // Static: libzmq's I/O thread may read it until the context ends.
    static const std::string request = submission(static_cast<size_t>(options.kb) * 1024);
    std::vector<void*> sockets;
    int admittedCount = 0;
    for (int i = 0; i < options.count; ++i) {
        sockets.push_back(dealer(context, options, 9, 0, false));
        admittedCount += admitted(context, options, sockets.back(), i) ? 1 : 0;
        // The requests share the one buffer (libzmq does not copy a message
        // made without a free function): 256 connections' 2,048 requests
        // would otherwise be 8 GiB on this side, most on refused connections.
        for (int sent = 0; sent < 8; ++sent) {
            zmq_msg_t msg;
            zmq_msg_init_data(&msg, const_cast<char*>(request.data()), request.size(), nullptr,
                              nullptr);
            if (zmq_msg_send(&msg, sockets.back(), ZMQ_DONTWAIT) < 0) zmq_msg_close(&msg);
        }
    }
    std::printf("%d connections, %d admitted; each sent 8 requests of %.1f MB\n", options.count,
                admittedCount, request.size() / 1048576.0);
    std::this_thread::sleep_for(std::chrono::seconds(options.holdSeconds));
    stop = true;
    honest.join();
    for (void* socket : sockets) zmq_close(socket);
}

void attack(void* context, const Options& options) {
    const size_t bytes = static_cast<size_t>(options.kb) * 1024;
    const auto hold = std::chrono::seconds(options.holdSeconds);
    if (options.attack == "pipeline") {
        void* socket = dealer(context, options, options.count + 1);
        const std::string request = submission(bytes);
        int sent = 0;
        while (sent < options.count && zmq_send(socket, request.data(), request.size(), 0) >= 0)
            ++sent;
        std::printf("%d requests of %.1f MB sent\n", sent, request.size() / 1048576.0);
        std::this_thread::sleep_for(hold);
        zmq_close(socket);
    } else if (options.attack == "echoes") {
        // No card type: the reply echoes the code, just under the 1 KiB bound.
        const std::string request =
            "{\"type\":1,\"code\":\"" + std::string(1024 - 100, 'E') + "\"}";
        void* socket = dealer(context, options, options.count + 1, 1);  // takes in one reply
        int sent = 0;
        while (sent < options.count && zmq_send(socket, request.data(), request.size(), 0) >= 0)
            ++sent;
        std::printf("%d requests sent, each echoed in a reply of about 1 KiB\n", sent);
        std::this_thread::sleep_for(hold);
        zmq_close(socket);
    } else if (options.attack == "deep") {
        void* socket = dealer(context, options, 1000);
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < options.count; ++i) zmq_send(socket, "{\"type\":0}", 10, 0);
        int timeoutMs = 10000, replies = 0;
        zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeoutMs, sizeof(timeoutMs));
        char reply[256];
        while (replies < options.count && zmq_recv(socket, reply, sizeof(reply), 0) >= 0) ++replies;
        std::printf("%d of %d replies in %.2f s\n", replies, options.count,
                    std::chrono::duration<double>(Clock::now() - start).count() -
                        (replies < options.count ? 10 : 0));
        zmq_close(socket);
    } else if (options.attack == "frames") {
        const int fd = rawConnection(options);
        const std::string frame = longFrameHeader(bytes, true) + std::string(bytes, 'f');
        int sent = 0;
        while (fd >= 0 && sent < options.count && sendAll(fd, frame)) ++sent;
        std::printf("%d frames of %d KB sent, all with MORE\n", sent, options.kb);
        std::this_thread::sleep_for(hold);
        if (fd >= 0) close(fd);
    } else if (options.attack == "announce") {
        std::vector<int> fds;
        for (int i = 0; i < options.count; ++i) {
            const int fd = rawConnection(options);
            if (fd < 0) break;
            fds.push_back(fd);
            sendAll(fd, longFrameHeader(bytes, false) + std::string(16, 'a'));
        }
        std::printf("%zu connections each announced %d KB\n", fds.size(), options.kb);
        std::this_thread::sleep_for(hold);
        for (int fd : fds) close(fd);
    } else if (options.attack == "connections") {
        connections(context, options);
    } else if (options.attack == "values") {
        std::string request = "[0";
        request.reserve(bytes);
        while (request.size() + 3 < bytes) request += ",0";
        exchange(context, options, request + "]");
    } else if (options.attack == "nested") {
        const std::string one = std::string(997, '[') + std::string(997, ']');
        std::string code = one;
        for (int i = 1; i < 1439; ++i) code += "," + one;
        // No card type: the reply echoes the code, and its text is measured.
        exchange(context, options, "{\"type\":1,\"code\":[" + code + "]}");
    } else {
        std::fprintf(stderr, "qrx-attack: no attack called %s\n", options.attack.c_str());
        std::exit(3);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<std::string> plain;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--curve" && i + 1 < argc)
            options.curveServerKey = argv[++i];
        else if (arg == "--hold" && i + 1 < argc)
            options.holdSeconds = std::atoi(argv[++i]);
        else
            plain.push_back(arg);
    }
    if (plain.size() < 3 || plain[1].rfind("tcp://127.", 0) != 0) {
        std::fprintf(stderr,
                     "usage: qrx-attack PID tcp://127.0.0.1:PORT ATTACK [N [KB]] [--curve KEY] "
                     "[--hold S]\n");
        return 3;
    }
    options.pid = static_cast<pid_t>(std::atol(plain[0].c_str()));
    options.endpoint = plain[1];
    options.attack = plain[2];
    options.count = plain.size() > 3 ? std::atoi(plain[3].c_str()) : 0;
    options.kb = plain.size() > 4                  ? std::atoi(plain[4].c_str())
                 : options.attack == "connections" ? 4096
                                                   : options.count;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    using qrx::bench::statusKb;
    const long hwm = statusKb(options.pid, "VmHWM"), peak = statusKb(options.pid, "VmPeak");
    void* context = zmq_ctx_new();
    attack(context, options);
    zmq_ctx_term(context);
    const bool alive = statusKb(options.pid, "VmRSS") > 0;
    std::printf("server %s: peak resident %.0f MB (%+.0f), peak virtual %.0f MB (%+.0f)\n",
                alive ? "alive" : "GONE", mb(statusKb(options.pid, "VmHWM")),
                mb(statusKb(options.pid, "VmHWM") - hwm), mb(statusKb(options.pid, "VmPeak")),
                mb(statusKb(options.pid, "VmPeak") - peak));
    return alive ? 0 : 1;
}
