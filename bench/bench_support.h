// What the benchmarks and the load test share: a client socket whose every
// exchange is answered in bounded time, the code of a reply (the tests take
// it from here too) and the resident memory of a process.
#pragma once

#include <sys/types.h>
#include <zmq.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace qrx::bench {

// The Z85 keys of a CURVE client: the server's public key and its own pair.
struct CurveKeys {
    std::string serverPublic, clientPublic, clientSecret;
};

// A REQ or DEALER socket, a CURVE client when keys are given; exchange()
// returns the reply, or empty text when none came within the timeout.
class Peer {
  public:
    Peer(void* context, int type, const std::string& endpoint, int timeoutMs = 30000,
         const CurveKeys* keys = nullptr)
        : socket_(zmq_socket(context, type)) {
        int linger = 0;
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof(linger));
        zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &timeoutMs, sizeof(timeoutMs));
        if (keys != nullptr) {
            zmq_setsockopt(socket_, ZMQ_CURVE_SERVERKEY, keys->serverPublic.c_str(), 41);
            zmq_setsockopt(socket_, ZMQ_CURVE_PUBLICKEY, keys->clientPublic.c_str(), 41);
            zmq_setsockopt(socket_, ZMQ_CURVE_SECRETKEY, keys->clientSecret.c_str(), 41);
        }
        zmq_connect(socket_, endpoint.c_str());
    }
    ~Peer() { zmq_close(socket_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::string exchange(const std::string& body) {
        send(body);
        return receive();
    }

    void send(const std::string& body) { zmq_send(socket_, body.data(), body.size(), 0); }

    // One reply, empty when none came within the timeout; a DEALER's own
    // receive, for the replies of requests it pipelined.
    std::string receive() {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        std::string reply;
        if (zmq_msg_recv(&msg, socket_, 0) >= 0)
            reply.assign(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
        zmq_msg_close(&msg);
        return reply;
    }

  private:
    void* socket_;
};

// The code of a code request's reply, empty when it holds none.
inline std::string codeOf(const std::string& reply) {
    const std::string marker = "\"code\" : \"";
    size_t start = reply.find(marker);
    if (start == std::string::npos) return std::string();
    start += marker.size();
    return reply.substr(start, reply.find('"', start) - start);
}

// A field of /proc/PID/status in KB ("VmRSS", "VmHWM", "VmSize"), 0 when it
// cannot be read.
inline long statusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return 0;
}

// VmRSS of a process in KB, 0 when it cannot be read.
inline long residentKb(pid_t pid) {
    return statusKb(pid, "VmRSS");
}

}  // namespace qrx::bench
