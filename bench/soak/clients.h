// The soak's two clients, from their own loopback address: a request socket
// on the reply endpoint, every exchange timed, and a dealer on the router
// endpoint that pipelines 50 code requests and then 50 cards. Each spreads
// its share of a phase's cards, of both kinds, over the phase; one
// submission in a hundred, over both, is bad input on the sending client's
// endpoint: a spent code, a malformed member, or a request past the bound.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soak/ledger.h"

namespace qrx::soak {

using Clock = std::chrono::steady_clock;

enum class Exchange { Code, Submission };

// One of the request client's exchanges.
struct Latency {
    double at;  // seconds since the soak began, when the request was sent
    double ms;
    Exchange kind;
};

struct BadInputs {
    static constexpr int kKinds = 3;  // spent code, malformed member, oversized
    std::atomic<int> sent[kKinds] = {};
    std::atomic<int> asExpected[kKinds] = {};
};

class Clients {
  public:
    // reply, router: tcp://127.0.0.1:PORT; source: the clients' address.
    Clients(std::string reply, std::string router, std::string source, Clock::time_point origin,
            Ledger& ledger)
        : reply_(std::move(reply)),
          router_(std::move(router)),
          source_(std::move(source)),
          origin_(origin),
          ledger_(ledger) {}
    ~Clients() { join(); }

    // Starts both clients on a phase's cards, spread over seconds; the
    // cards' ids begin with phase.
    void start(char phase, int cards, double seconds);
    bool running() const { return running_ > 0; }
    // Ends the clients after their exchange in progress (the server has gone).
    void stop() { stop_ = true; }
    void join();
    const BadInputs& badInputs() const { return bad_; }
    std::vector<Latency> latencies() const;

  private:
    void requestClient(char phase, int cards, Clock::time_point start, double interval);
    void dealerClient(char phase, int cards, Clock::time_point start, double interval);
    // True for one submission in a hundred, over both clients.
    bool badDue() { return submissions_.fetch_add(1) % 100 == 50; }
    void sendBad(int type, const std::string& endpoint, const std::string& spentCode);
    std::string connectString(const std::string& endpoint) const;
    void timed(Clock::time_point sent, Exchange kind);

    std::string reply_, router_, source_;
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
