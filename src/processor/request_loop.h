// The request loop: one ZeroMQ context, a reply endpoint (ZMQ_REP on
// address) and a router endpoint (ZMQ_ROUTER on addressEx), served one
// request per turn. CProcessor::run opens it and turns it forever; tests
// drive single turns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "log/rate_limit.h"
#include "processor/processor.h"

namespace qrx {

// The exit status of a server that could bind neither endpoint, or whose
// CURVE keys could not be loaded.
constexpr int kExitNoEndpoint = 2;
constexpr int kExitBadKeys = 2;
// Where libzmq asks the ZAP handler whether to admit a client.
constexpr const char kZapEndpoint[] = "inproc://zeromq.zap.01";
// The longest styled reply sent; a longer one goes out as null. Only a reply
// echoing a long or deeply nested "code" comes near it: a code the server
// issued is 36 bytes, and every other reply is under 200.
constexpr size_t kLongestReply = 1024;

class RequestLoop {
  public:
    explicit RequestLoop(CProcessor& processor) : processor_(processor) {}
    // The server never gets here (run does not return); tests do, and the
    // sockets and context are released then.
    ~RequestLoop();
    RequestLoop(const RequestLoop&) = delete;
    RequestLoop& operator=(const RequestLoop&) = delete;

    // Creates the context and both endpoints, each taking requests of at
    // most maxRequestSize bytes; each failure is logged with its reason and
    // the start goes on with whatever was made. Returns whether at least one
    // endpoint was bound. With the processor's curveSecretKey set both are
    // CURVE servers, and with its allowlist the ZAP handler is bound first
    // (when it cannot be, nothing is bound and false is returned).
    bool open();
    // One turn: the scan workers of scanMode take a step, then both endpoints
    // are polled and at most one request is answered, the reply endpoint
    // first when both have one waiting. The ZAP handler, when bound, is
    // polled beside them: its requests are all answered in the turn they
    // arrive in and are not the turn's request; when only they woke the
    // poll, the endpoints are polled again for the rest of the wait.
    void turn();
    // 200 ms while records are queued, else 3000 ms; it is also the workers'
    // cadence.
    int pollTimeoutMs() const;

    void* replySocket() const { return reply_; }
    void* routerSocket() const { return router_; }
    void* zapSocket() const { return zap_; }

  private:
    void* makeEndpoint(int type, const std::string& address, const char* socketFailure,
                       const char* bindFailure, bool* bound);
    bool openZapHandler();
    // Answers every ZAP request waiting, without waiting for more.
    void serveZap();
    // A refused client's line goes to the log the first time its key and
    // address are refused in the hour; after that it is only counted, and
    // the count is logged at most once a minute. A client that is refused
    // reconnects and is refused again several times a second, and would fill
    // the log.
    void logRefusal(const std::string& client);
    void logRefusalCount();
    // A reply the router endpoint could not queue (error EAGAIN: the peer
    // has not read the replies held for it; otherwise it has gone) is
    // logged when no drop was logged in the last minute; later ones are
    // counted, and the count is logged at most once a minute. A peer that
    // never reads loses a reply every turn and would fill the log.
    void logDroppedReply(int error, const std::string& client);
    void logDropCount();
    // Writes limit's count line, "<what>N more times in S s, not logged one
    // by one", when one is due.
    void logCount(RateLimit& limit, const std::string& what);
    void serveReply();
    void serveRouter();
    // Handles a request text and returns the reply text, logging both.
    std::string answer(std::string_view request);

    CProcessor& processor_;
    void* context_ = nullptr;
    void* reply_ = nullptr;
    void* router_ = nullptr;
    void* zap_ = nullptr;
    // The keys and addresses whose refusal was logged, as "key … from …",
    // since refusalsLoggedSince_ (monotonic milliseconds); the others are
    // counted, the count logged at most once a minute.
    std::set<std::string> refusalsLogged_;
    int64_t refusalsLoggedSince_ = 0;
    RateLimit refusalCount_{60 * 1000};
    // Dropped replies: a line, then a count at most once a minute.
    RateLimit dropCount_{60 * 1000};
};

}  // namespace qrx
