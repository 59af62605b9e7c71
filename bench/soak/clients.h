// The soak's four clients: two request sockets on the reply endpoint, and on
// the router endpoint a request socket and a dealer that pipelines 50 deep.
// Each asks for codes and submits cards of both kinds at a pace that spreads
// its share of a phase's cards over the phase, and one submission in a
// hundred is bad input: a spent code, a malformed member, or a request
// larger than the server takes. Every exchange is timed.
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

enum class Exchange { Code, Submission, DealerCode, DealerSubmission };

struct Latency {
    double at;  // seconds since the soak began, when the request was sent
    double ms;
    Exchange kind;
};

// Every exchange's time, kept whole for the report; thread-safe.
class Latencies {
  public:
    explicit Latencies(Clock::time_point origin) : origin_(origin) {}
    void add(Clock::time_point sent, Exchange kind);
    // Those added since the last call.
    std::vector<Latency> takeNew();
    std::vector<Latency> all() const;
    double secondsOf(Clock::time_point time) const;

  private:
    Clock::time_point origin_;
    mutable std::mutex mutex_;
    std::vector<Latency> all_;
    size_t taken_ = 0;
};

// The bad inputs sent, and how many were answered as they must be.
struct BadInputs {
    static constexpr int kKinds = 3;  // spent code, malformed member, oversized
    std::atomic<int> sent[kKinds] = {};
    std::atomic<int> asExpected[kKinds] = {};
    std::atomic<int> next{0};  // the number of the next one, over all clients
};

struct ClientSetup {
    std::string reply, router;  // tcp://127.0.0.1:PORT
    std::string source;         // the clients' own loopback address, e.g. 127.0.0.2
};

class Clients {
  public:
    Clients(ClientSetup setup, Ledger& ledger, Latencies& latencies)
        : setup_(std::move(setup)), ledger_(ledger), latencies_(latencies) {}
    ~Clients() { join(); }

    // Starts the four clients on phase's cards: cards in all, spread over
    // seconds. Ids begin with phase.
    void start(char phase, int cards, double seconds);
    bool running() const { return running_ > 0; }
    // Ends the clients after the exchange each is in (the server has gone).
    void stop() { stop_ = true; }
    void join();
    const BadInputs& badInputs() const { return bad_; }

  private:
    struct Plan {
        char phase;
        int client, cards;
        Clock::time_point start;
        double interval;  // seconds between two of this client's cards
    };
    void requestClient(Plan plan, int type, const std::string& endpoint);
    void dealerClient(Plan plan);
    // Counts a submission over all four clients; true when one in a hundred
    // is due to be bad input.
    bool badDue();
    // Sends the next bad input; spentCode: one the sending client spent.
    void sendBad(int type, const std::string& endpoint, const std::string& spentCode);
    std::string connectString(const std::string& endpoint) const;

    ClientSetup setup_;
    Ledger& ledger_;
    Latencies& latencies_;
    BadInputs bad_;
    std::vector<std::thread> threads_;
    std::atomic<int> running_{0};
    std::atomic<int> submissions_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace qrx::soak
