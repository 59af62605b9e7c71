// The request loop: one ZeroMQ context, a reply endpoint (ZMQ_REP on
// address) and a router endpoint (ZMQ_ROUTER on addressEx), served one
// request per turn. CProcessor::run opens it and turns it forever; tests
// drive single turns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "log/rate_limit.h"
#include "processor/connection_gate.h"
#include "processor/processor.h"
#include "processor/status_file.h"

namespace qrx {

// The exit status of a server that could bind neither endpoint, or whose
// CURVE keys could not be loaded.
constexpr int kExitNoEndpoint = 2;
constexpr int kExitBadKeys = 2;
// The longest styled reply sent; a longer one goes out as null. Only a reply
// echoing a long or deeply nested "code" comes near it: a code the server
// issued is 36 bytes, and every other reply is under 200.
constexpr size_t kLongestReply = 1024;

class RequestLoop {
  public:
    // The status file goes where statusPath says; empty: none is written.
    explicit RequestLoop(CProcessor& processor, std::string statusPath = std::string())
        : processor_(processor),
          gate_(processor.processorLog(), processor.curveKeys()),
          status_(processor.platform(), std::move(statusPath)),
          writesStatus_(!status_.path().empty()) {}
    // The server never gets here (run does not return); tests do, and the
    // sockets and context are released then.
    ~RequestLoop();
    RequestLoop(const RequestLoop&) = delete;
    RequestLoop& operator=(const RequestLoop&) = delete;

    // Creates the context and both endpoints, each taking requests of at
    // most maxRequestSize bytes; each failure is logged with its reason and
    // the start goes on with whatever was made. Returns whether at least one
    // endpoint was bound. The connection gate is opened first and watches
    // both (when it cannot be opened, nothing is bound and false is
    // returned). With the processor's CURVE secret key set both are CURVE
    // servers.
    bool open();
    // One turn: the scan workers of scanMode take a step (and with nothing
    // left queued the heap's free memory may go back), the status file is
    // offered the server's state, then both endpoints
    // are polled and at most one request is answered, the reply endpoint
    // first when both have one waiting. The gate's sockets are polled beside
    // them: their events and checks are all taken in the turn they arrive in
    // and are not the turn's request; when only they woke the poll, the
    // endpoints are polled again for the rest of the wait.
    void turn();
    // 200 ms while records are queued, else 3000 ms; it is also the workers'
    // cadence.
    int pollTimeoutMs() const;

    void* replySocket() const { return reply_; }
    void* routerSocket() const { return router_; }
    void* zapSocket() const { return gate_.zapSocket(); }

  private:
    // An endpoint to make, and the start-up lines that say it failed.
    struct Endpoint {
        int type;   // ZMQ_REP or ZMQ_ROUTER
        int index;  // 0 the reply endpoint, 1 the router endpoint
        std::string address;
        const char* socketFailure;  // "zmq_socket fail", "zmq_socket ex fail"
        const char* bindFailure;    // "zmq_bind fail", "zmq_bind ex fail"
    };
    // The endpoint's socket, or nullptr when none could be made; *bound
    // tells whether it was bound. A failure is logged and reported.
    void* makeEndpoint(const Endpoint& endpoint, bool* bound);
    // Readies socket for the endpoint (its bounds, CURVE, the gate's watch)
    // and binds it. Returns the failure to report when it is not bound,
    // empty when it is.
    std::string bindEndpoint(void* socket, const Endpoint& endpoint);
    // Logs the endpoint's bind failure line, then reports what failed.
    void endpointFails(const Endpoint& endpoint, const std::string& what);
    // A reply the router endpoint could not queue (error EAGAIN: the peer
    // has not read the replies held for it; otherwise it has gone) is
    // logged when no drop was logged in the last minute; later ones are
    // counted, and the count is logged at most once a minute. A peer that
    // never reads loses a reply every turn and would fill the log.
    void logDroppedReply(int error, const std::string& client);
    // With nothing queued, the heap's free memory goes back to the system,
    // at most once in kReleaseIntervalMs: what a drained queue, a burst of
    // connections or a large request took is not kept for the process's
    // life. A release costs about a millisecond, at most some 3 ms.
    void releaseMemoryAtRest();
    void serveReply();
    void serveRouter();
    // Handles a request text and returns the reply text, logging both.
    std::string answer(std::string_view request);

    CProcessor& processor_;
    void* context_ = nullptr;
    void* reply_ = nullptr;
    void* router_ = nullptr;
    ConnectionGate gate_;
    StatusFile status_;
    bool writesStatus_;
    // Dropped replies: a line, then a count at most once a minute.
    RateLimit dropCount_{60 * 1000};
    int64_t repliesDropped_ = 0;
    // When the heap's free memory last went back (monotonic ms).
    int64_t releasedAtMs_ = 0;
};

}  // namespace qrx
