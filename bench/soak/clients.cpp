#include "soak/clients.h"

#include <zmq.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "bench_support.h"
#include "soak/cards.h"

namespace qrx::soak {
namespace {

constexpr int kDealerDepth = 50;
constexpr int kReplyTimeoutMs = 10000;
constexpr int kOversizedBytes = 5 << 20;  // past the server's 4 MiB

bool accepted(const std::string& reply) {
    return reply.find("\"result\" : 0") != std::string::npos;
}

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

std::string idOf(char phase, char client, int number) {
    char id[32];
    std::snprintf(id, sizeof(id), "%c%c-%05d", phase, client, number);
    return id;
}

}  // namespace

void Clients::start(char phase, int cards, double seconds) {
    join();
    stop_ = false;
    const Clock::time_point start = Clock::now();
    // Three cards in four for the request client, whose exchanges are timed.
    const int dealer = cards / 4, request = cards - dealer;
    running_ = 2;
    threads_.emplace_back(&Clients::requestClient, this, phase, request, start, seconds / request);
    threads_.emplace_back(&Clients::dealerClient, this, phase, dealer, start,
                          dealer > 0 ? seconds / dealer : 0.0);
}

void Clients::join() {
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
}

std::vector<Latency> Clients::latencies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latencies_;
}

void Clients::timed(Clock::time_point sent, Exchange kind) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    std::lock_guard<std::mutex> lock(mutex_);
    latencies_.push_back({std::chrono::duration<double>(sent - origin_).count(), ms, kind});
}

std::string Clients::connectString(const std::string& endpoint) const {
    // tcp://SOURCE:0;127.0.0.1:PORT: the hostile connections of another
    // address leave these alone.
    return "tcp://" + source_ + ":0;" + endpoint.substr(6);
}

void Clients::requestClient(char phase, int cards, Clock::time_point start, double interval) {
    void* context = zmq_ctx_new();
    {
        auto peer =
            std::make_unique<bench::Peer>(context, ZMQ_REQ, connectString(reply_), kReplyTimeoutMs);
        std::string spent = "never issued";
        for (int j = 0; j < cards && waitUntil(start, j * interval, stop_); ++j) {
            if (badDue()) sendBad(ZMQ_REQ, reply_, spent);
            const std::string id = idOf(phase, 'R', j);
            const char kind = j % 2 == 0 ? 'C' : 'F';
            Clock::time_point sent = Clock::now();
            const std::string code = bench::codeOf(peer->exchange("{\"type\":0}"));
            timed(sent, Exchange::Code);
            ledger_.sending(id, kind);
            // Made before the clock starts: the exchange alone is timed.
            const std::string request = submissionJson(makeCard(id, kind), code);
            for (;;) {
                std::string reply;
                if (!code.empty()) {
                    sent = Clock::now();
                    reply = peer->exchange(request);
                    timed(sent, Exchange::Submission);
                }
                if (reply.empty()) {
                    ledger_.unanswered(id);
                    // A request socket waits for its reply for ever: start anew.
                    peer = std::make_unique<bench::Peer>(context, ZMQ_REQ, connectString(reply_),
                                                         kReplyTimeoutMs);
                } else if (accepted(reply)) {
                    ledger_.accepted(id);
                    spent = code;
                } else if (messageOf(reply) == "cache is full") {
                    ledger_.cacheFull();
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                    continue;  // the code is still good
                } else {
                    ledger_.refused(id, messageOf(reply));
                }
                break;
            }
        }
    }
    zmq_ctx_term(context);
    running_ -= 1;
}

void Clients::dealerClient(char phase, int cards, Clock::time_point start, double interval) {
    void* context = zmq_ctx_new();
    {
        bench::Peer peer(context, ZMQ_DEALER, connectString(router_), kReplyTimeoutMs);
        std::string spent = "never issued";
        for (int first = 0; first < cards && waitUntil(start, first * interval, stop_);
             first += kDealerDepth) {
            const int count = std::min(kDealerDepth, cards - first);
            for (int i = 0; i < count; ++i)
                if (badDue()) sendBad(ZMQ_DEALER, router_, spent);
            for (int i = 0; i < count; ++i) peer.send("{\"type\":0}");
            // A reply missing past the timeout: the rest are as late, and
            // their cards go unsent.
            std::vector<std::string> codes;
            for (int i = 0; i < count && !stop_; ++i) {
                codes.push_back(bench::codeOf(peer.receive()));
                if (codes.back().empty()) break;
            }
            codes.resize(count);
            std::map<std::string, std::string> inFlight;  // code to card id
            for (int i = 0; i < count; ++i) {
                const std::string id = idOf(phase, 'D', first + i);
                const char kind = i % 2 == 0 ? 'C' : 'F';
                ledger_.sending(id, kind);
                if (codes[i].empty()) {
                    ledger_.unanswered(id);
                    continue;
                }
                inFlight[codes[i]] = id;
                peer.send(submissionJson(makeCard(id, kind), codes[i]));
            }
            for (size_t i = 0, expected = inFlight.size(); i < expected; ++i) {
                const std::string reply = peer.receive();
                const auto found = inFlight.find(bench::codeOf(reply));
                if (found == inFlight.end()) break;  // none came in time
                if (accepted(reply)) {
                    ledger_.accepted(found->second);
                    spent = found->first;
                } else {
                    ledger_.refused(found->second, messageOf(reply));
                }
                inFlight.erase(found);
            }
            for (const auto& [code, id] : inFlight) ledger_.unanswered(id);
        }
    }
    zmq_ctx_term(context);
    running_ -= 1;
}

void Clients::sendBad(int type, const std::string& endpoint, const std::string& spentCode) {
    const int number = badNumber_.fetch_add(1);
    const int kind = number % BadInputs::kKinds;
    ++bad_.sent[kind];
    void* context = zmq_ctx_new();
    {
        // Each on a connection of its own: a request past the bound closes it.
        bench::Peer peer(context, type, connectString(endpoint),
                         kind == 2 ? 2000 : kReplyTimeoutMs);
        auto exchange = [&](const std::string& request) {
            peer.send(request);
            return peer.receive();
        };
        const Card card = makeCard("bad-" + std::to_string(number), 'C');
        std::string reply;
        bool expected = false;
        if (kind == 0) {
            reply = exchange(submissionJson(card, spentCode));
            expected = messageOf(reply) == "code is err";
        } else if (kind == 1) {
            std::string request = submissionJson(card, bench::codeOf(exchange("{\"type\":0}")));
            request.replace(request.find("\"sex\":\"F\""), 9, "\"sex\":[\"F\"]");
            reply = exchange(request);
            expected = messageOf(reply) == "sex is invalid";
        } else {
            const std::string head = "{\"type\":1,\"cardtype\":\"ID\",\"code\":\"x\",\"pad\":\"";
            reply = exchange(head + std::string(kOversizedBytes, 'Q') + "\"}");
            expected = reply.empty();  // dropped with its connection, unanswered
        }
        if (expected)
            ++bad_.asExpected[kind];
        else
            std::fprintf(stderr, "qrx-soak: bad input %d answered \"%s\"\n", kind,
                         messageOf(reply).c_str());
    }
    zmq_ctx_term(context);
}

}  // namespace qrx::soak
