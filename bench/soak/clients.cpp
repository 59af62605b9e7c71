#include "soak/clients.h"

#include <zmq.h>

#include <cstdio>
#include <map>
#include <memory>

#include "bench_support.h"
#include "soak/cards.h"

namespace qrx::soak {
namespace {

constexpr int kDealerDepth = 50;
constexpr int kBadEvery = 100;  // one submission in a hundred is bad input
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

// False when stop came first.
bool sleepUntil(Clock::time_point when, const std::atomic<bool>& stop) {
    while (!stop && Clock::now() < when)
        std::this_thread::sleep_for(
            std::min<Clock::duration>(when - Clock::now(), std::chrono::milliseconds(100)));
    return !stop;
}

Clock::time_point dueOf(Clock::time_point start, double seconds) {
    return start +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

void Latencies::add(Clock::time_point sent, Exchange kind) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    std::lock_guard<std::mutex> lock(mutex_);
    all_.push_back(Latency{secondsOf(sent), ms, kind});
}

std::vector<Latency> Latencies::takeNew() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Latency> fresh(all_.begin() + static_cast<long>(taken_), all_.end());
    taken_ = all_.size();
    return fresh;
}

std::vector<Latency> Latencies::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return all_;
}

double Latencies::secondsOf(Clock::time_point time) const {
    return std::chrono::duration<double>(time - origin_).count();
}

std::string Clients::connectString(const std::string& endpoint) const {
    // tcp://127.0.0.1:PORT from the clients' own address, so that the hostile
    // connections of one address leave them alone.
    return "tcp://" + setup_.source + ":0;" + endpoint.substr(6);
}

void Clients::start(char phase, int cards, double seconds) {
    join();
    stop_ = false;
    const Clock::time_point start = Clock::now();
    const int share = cards / 4;
    for (int client = 0; client < 4; ++client) {
        const int own = client == 3 ? cards - 3 * share : share;
        Plan plan{phase, client, own, start, own > 0 ? seconds / own : 0.0};
        running_ += 1;
        if (client < 2)
            threads_.emplace_back(&Clients::requestClient, this, plan, ZMQ_REQ, setup_.reply);
        else if (client == 2)
            threads_.emplace_back(&Clients::requestClient, this, plan, ZMQ_REQ, setup_.router);
        else
            threads_.emplace_back(&Clients::dealerClient, this, plan);
    }
}

void Clients::join() {
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
}

void Clients::requestClient(Plan plan, int type, const std::string& endpoint) {
    void* context = zmq_ctx_new();
    {
        auto peer =
            std::make_unique<bench::Peer>(context, type, connectString(endpoint), kReplyTimeoutMs);
        std::string spent = "never issued";
        for (int j = 0; j < plan.cards; ++j) {
            if (!sleepUntil(dueOf(plan.start, (j + plan.client / 4.0) * plan.interval), stop_))
                break;
            if (badDue()) sendBad(type, endpoint, spent);
            const char kind = (j + plan.client) % 2 == 0 ? 'C' : 'F';
            char id[32];
            std::snprintf(id, sizeof(id), "%c%d-%05d", plan.phase, plan.client, j);
            Clock::time_point sent = Clock::now();
            const std::string code = bench::codeOf(peer->exchange("{\"type\":0}"));
            latencies_.add(sent, Exchange::Code);
            const Card card = makeCard(id, kind);
            ledger_.sending(id, kind);
            // Built before the clock starts: the exchange alone is timed.
            const std::string request = submissionJson(card, code);
            for (;;) {
                std::string reply;
                if (!code.empty()) {
                    sent = Clock::now();
                    reply = peer->exchange(request);
                    latencies_.add(sent, Exchange::Submission);
                }
                if (reply.empty()) {
                    ledger_.unanswered(id);
                    // A request socket waits for its reply for ever: start anew.
                    peer = std::make_unique<bench::Peer>(context, type, connectString(endpoint),
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

void Clients::dealerClient(Plan plan) {
    void* context = zmq_ctx_new();
    {
        bench::Peer peer(context, ZMQ_DEALER, connectString(setup_.router), kReplyTimeoutMs);
        std::string spent = "never issued";
        for (int first = 0; first < plan.cards; first += kDealerDepth) {
            const int count = std::min(kDealerDepth, plan.cards - first);
            if (!sleepUntil(dueOf(plan.start, first * plan.interval), stop_)) break;
            for (int i = 0; i < count; ++i)
                if (badDue()) sendBad(ZMQ_DEALER, setup_.router, spent);
            // Fifty code requests in flight, then fifty cards.
            std::vector<Clock::time_point> sent(count);
            for (int i = 0; i < count; ++i) {
                sent[i] = Clock::now();
                peer.send("{\"type\":0}");
            }
            std::vector<std::string> codes;
            // A reply missing past the timeout: the rest are as late, and
            // their cards go unsent.
            for (int i = 0; i < count && !stop_; ++i) {
                codes.push_back(bench::codeOf(peer.receive()));
                if (codes.back().empty()) break;
                latencies_.add(sent[i], Exchange::DealerCode);
            }
            codes.resize(count);
            std::map<std::string, std::pair<std::string, Clock::time_point>> inFlight;
            for (int i = 0; i < count; ++i) {
                char id[32];
                std::snprintf(id, sizeof(id), "%c%d-%05d", plan.phase, plan.client, first + i);
                const char kind = i % 2 == 0 ? 'C' : 'F';
                ledger_.sending(id, kind);
                if (codes[i].empty()) {
                    ledger_.unanswered(id);
                    continue;
                }
                const std::string request = submissionJson(makeCard(id, kind), codes[i]);
                inFlight[codes[i]] = {id, Clock::now()};
                peer.send(request);
            }
            for (size_t i = 0, expected = inFlight.size(); i < expected; ++i) {
                const std::string reply = peer.receive();
                auto found = inFlight.find(bench::codeOf(reply));
                if (found == inFlight.end()) break;  // none came in time
                const auto [id, when] = found->second;
                latencies_.add(when, Exchange::DealerSubmission);
                if (accepted(reply)) {
                    ledger_.accepted(id);
                    spent = found->first;
                } else {
                    ledger_.refused(id, messageOf(reply));
                }
                inFlight.erase(found);
            }
            for (const auto& [code, card] : inFlight) ledger_.unanswered(card.first);
        }
    }
    zmq_ctx_term(context);
    running_ -= 1;
}

bool Clients::badDue() {
    return submissions_.fetch_add(1) % kBadEvery == kBadEvery / 2;
}

void Clients::sendBad(int type, const std::string& endpoint, const std::string& spentCode) {
    const int number = bad_.next.fetch_add(1);
    const int kind = number % BadInputs::kKinds;
    ++bad_.sent[kind];
    void* context = zmq_ctx_new();
    {
        // Each on a connection of its own: a request past the bound closes it.
        const int timeoutMs = kind == 2 ? 2000 : kReplyTimeoutMs;
        bench::Peer peer(context, type, connectString(endpoint), timeoutMs);
        auto exchange = [&](const std::string& request) {
            if (type == ZMQ_REQ) return peer.exchange(request);
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
