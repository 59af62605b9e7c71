#include "soak/clients.h"

#include <zmq.h>

#include <cstdio>
#include <memory>

#include "bench_support.h"

namespace qrx::soak {
namespace {

constexpr int kReplyTimeoutMs = 10000;
constexpr int kOversizedBytes = 5 << 20;  // past the server's 4 MiB
// What each kind of bad input must get: a request past the bound is dropped
// with its connection, unanswered.
const char* const kBadAnswers[BadInputs::kKinds] = {"code is err", "sex is invalid", "no reply"};

std::string messageOf(const std::string& reply) {
    const std::string marker = "\"msg\" : \"";
    size_t start = reply.find(marker);
    if (start == std::string::npos) return reply.empty() ? "no reply" : "no msg";
    start += marker.size();
    return reply.substr(start, reply.find('"', start) - start);
}

// Waits until seconds past start; false when stop came first.
bool waitUntil(Clock::time_point start, double seconds, const std::atomic<bool>& stop) {
    const auto when =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!stop && Clock::now() < when)
        std::this_thread::sleep_for(
            std::min<Clock::duration>(when - Clock::now(), std::chrono::milliseconds(100)));
    return !stop;
}

}  // namespace

void Clients::start(int cards, double seconds) {
    join();
    stop_ = false;
    const Clock::time_point start = Clock::now();
    running_ = static_cast<int>(endpoints_.size());
    const int count = static_cast<int>(endpoints_.size());
    for (int i = 0; i < count; ++i) {
        // R: the reply endpoint's client, X: the other's. Each starts its
        // share of an interval after the one before, so that no two send at
        // the same moment and wait on each other.
        const int share = (cards + i) / count;
        const double interval = seconds / share;
        threads_.emplace_back(&Clients::client, this, i, std::string(1, "RX"[i % 2]), share,
                              start + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(interval * i / count)),
                              interval);
    }
}

void Clients::join() {
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
}

std::vector<Latency> Clients::latencies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latencies_;
}

std::string Clients::exchange(bench::Peer& peer, const std::string& request, Exchange kind) {
    const Clock::time_point sent = Clock::now();
    const std::string reply = peer.exchange(request);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    std::lock_guard<std::mutex> lock(mutex_);
    latencies_.push_back({std::chrono::duration<double>(sent - origin_).count(), ms, kind});
    return reply;
}

std::string Clients::connectString(size_t endpoint) const {
    // tcp://SOURCE:0;127.0.0.1:PORT: the hostile connections of another
    // address leave these alone.
    return "tcp://" + source_ + ":0;" + endpoints_[endpoint].substr(6);
}

void Clients::client(size_t endpoint, std::string ids, int cards, Clock::time_point start,
                     double interval) {
    void* context = zmq_ctx_new();
    {
        auto connect = [&] {
            return std::make_unique<bench::Peer>(context, ZMQ_REQ, connectString(endpoint),
                                                 kReplyTimeoutMs);
        };
        auto peer = connect();
        std::string spent = "never issued";
        for (int j = 0; j < cards && waitUntil(start, j * interval, stop_); ++j) {
            if (submissions_.fetch_add(1) % 100 == 50) sendBad(endpoint, spent);
            char id[32];
            std::snprintf(id, sizeof(id), "%s-%05d", ids.c_str(), j);
            const char kind = j % 2 == 0 ? 'C' : 'F';
            const std::string code = bench::codeOf(exchange(*peer, "{\"type\":0}", Exchange::Code));
            ledger_.sending(id, kind);
            const std::string request = submissionJson(makeCard(id, kind), code);
            std::string reply;
            // After "cache is full" the code is still good.
            while (!code.empty() &&
                   messageOf(reply = exchange(*peer, request, Exchange::Submission)) ==
                       "cache is full") {
                ledger_.cacheFull();
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
            if (reply.empty()) {
                ledger_.unanswered(id);
                peer = connect();  // a request socket waits for its reply for ever
            } else if (reply.find("\"result\" : 0") != std::string::npos) {
                ledger_.accepted(id);
                spent = code;
            } else {
                ledger_.refused(id, messageOf(reply));
            }
        }
    }
    zmq_ctx_term(context);
    running_ -= 1;
}

void Clients::sendBad(size_t endpoint, const std::string& spentCode) {
    const int number = badNumber_.fetch_add(1), kind = number % BadInputs::kKinds;
    ++bad_.sent[kind];
    void* context = zmq_ctx_new();
    {
        // Each on a connection of its own: a request past the bound closes it.
        bench::Peer peer(context, ZMQ_REQ, connectString(endpoint),
                         kind == 2 ? 2000 : kReplyTimeoutMs);
        const Card card = makeCard("bad-" + std::to_string(number), 'C');
        std::string request = submissionJson(card, spentCode);
        if (kind == 1) {
            request = submissionJson(card, bench::codeOf(peer.exchange("{\"type\":0}")));
            request.replace(request.find("\"sex\":\"F\""), 9, "\"sex\":[\"F\"]");
        } else if (kind == 2) {
            request = "{\"type\":1,\"cardtype\":\"ID\",\"code\":\"x\",\"pad\":\"" +
                      std::string(kOversizedBytes, 'Q') + "\"}";
        }
        const std::string answer = messageOf(peer.exchange(request));
        if (answer == kBadAnswers[kind])
            ++bad_.asExpected[kind];
        else
            std::fprintf(stderr, "qrx-soak: bad input %d answered \"%s\"\n", kind, answer.c_str());
    }
    zmq_ctx_term(context);
}

}  // namespace qrx::soak
