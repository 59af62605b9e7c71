// The soak's two clients, from their own loopback address: a request socket
// on each endpoint, every exchange timed. Each spreads half of the cards,
// of both kinds, over the run; one submission in a hundred, over both, is
// bad input on that client's endpoint: a spent code, a malformed member,
// or a request past the bound.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soak/ledger.h"

namespace qrx::bench {
class Peer;
}

namespace qrx::soak {

using Clock = std::chrono::steady_clock;

enum class Exchange { Code, Submission };

struct Latency {
    double at;  // seconds since the soak began, when the request was sent
    double ms;
    Exchange kind;
};

struct BadInputs {
    static constexpr int kKinds = 3;  // spent code, malformed member, oversized
    std::atomic<int> sent[kKinds] = {}, asExpected[kKinds] = {};
};

class Clients {
  public:
    // endpoints: tcp://127.0.0.1:PORT, a client on each; source: their address.
    Clients(std::vector<std::string> endpoints, std::string source, Clock::time_point origin,
            Ledger& ledger)
        : endpoints_(std::move(endpoints)),
          source_(std::move(source)),
          origin_(origin),
          ledger_(ledger) {}
    ~Clients() { join(); }

    // Starts the clients on the cards, spread over seconds.
    void start(int cards, double seconds);
    bool running() const { return running_ > 0; }
    void stop() { stop_ = true; }  // after the exchange in progress: the server has gone
    void join();
    const BadInputs& badInputs() const { return bad_; }
    std::vector<Latency> latencies() const;

  private:
    void client(size_t endpoint, std::string ids, int cards, Clock::time_point start,
                double interval);
    std::string exchange(bench::Peer& peer, const std::string& request, Exchange kind);
    void sendBad(size_t endpoint, const std::string& spentCode);
    std::string connectString(size_t endpoint) const;

    std::vector<std::string> endpoints_;
    std::string source_;
    Clock::time_point origin_;
    Ledger& ledger_;
    BadInputs bad_;
    mutable std::mutex mutex_;
    std::vector<Latency> latencies_;
    std::vector<std::thread> threads_;
    std::atomic<int> running_{0}, submissions_{0}, badNumber_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace qrx::soak
