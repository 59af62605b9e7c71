#include "processor/request_loop.h"

#include <zmq.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <vector>

#include "jsontext/styled_json.h"
#include "log/log.h"

namespace qrx {
namespace {

constexpr int kBusyPollMs = 200;
constexpr int kIdlePollMs = 3000;
// The whole requests one connection may have waiting. The loop takes one
// request a turn, so a deeper queue buys nothing; past it libzmq stops
// reading the connection, and a peer that pipelines waits on its own side.
// With MaxRequestSize this bounds what one connection holds. On the reply
// endpoint it also bounds the unread replies: a request-type peer has one
// request at a time, so only a peer of another kind loses replies there.
constexpr int kMessagesPerConnection = 4;
// How deep a dealer may pipeline on the router endpoint and still get every
// reply: libzmq's default high-water mark, so its own sends wait first.
constexpr int kPipelineDepth = 1000;
// The replies held for a router peer that does not read them. libzmq learns
// what its I/O thread has taken off a pipe only every half mark, so twice
// the depth leaves room for a peer with kPipelineDepth requests in flight.
// With kLongestReply a connection holds at most 2 MiB of replies; past the
// mark a reply is dropped and logged.
constexpr int kRouterRepliesPerConnection = 2 * kPipelineDepth;
// How often at most the heap's free memory goes back to the system. A
// desk's queue drains between most cards; between releases a minute
// apart the level at rest climbed back most of the way.
constexpr int64_t kReleaseIntervalMs = 10 * 1000;

// One received frame, released on every path.
class Frame {
  public:
    Frame() { zmq_msg_init(&msg_); }
    ~Frame() { zmq_msg_close(&msg_); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // False when nothing could be taken (with ZMQ_DONTWAIT: nothing there).
    bool receive(void* socket, int flags = 0) {
        zmq_msg_close(&msg_);
        zmq_msg_init(&msg_);
        return zmq_msg_recv(&msg_, socket, flags) >= 0;
    }
    size_t size() { return zmq_msg_size(&msg_); }
    bool more() { return zmq_msg_more(&msg_) != 0; }
    // The sender's address as libzmq gives it ("unknown" where it gives none).
    std::string peerAddress() {
        const char* address = zmq_msg_gets(&msg_, "Peer-Address");
        return address != nullptr && *address != '\0' ? address : "unknown";
    }
    // The frame's bytes where they lie, valid until the next receive.
    std::string_view view() {
        return std::string_view(static_cast<const char*>(zmq_msg_data(&msg_)), size());
    }

  private:
    zmq_msg_t msg_;
};

// Only the first body frame is read; the rest of the message is taken off
// the socket so that it does not pass for the next request.
void discardRest(void* socket, Frame& body) {
    if (!body.more()) return;
    Frame rest;
    do {
        rest.receive(socket);
    } while (rest.more());
}

// What an endpoint's socket of type holds for each connection: requests of
// at most maxRequestSize bytes (0 or less: any), and the queues above.
void setBounds(void* socket, int type, int64_t maxRequestSize) {
    // A larger request is dropped by libzmq with its connection, before it
    // takes more memory than this.
    const int64_t maxSize = maxRequestSize > 0 ? maxRequestSize : -1;
    zmq_setsockopt(socket, ZMQ_MAXMSGSIZE, &maxSize, sizeof(maxSize));
    zmq_setsockopt(socket, ZMQ_RCVHWM, &kMessagesPerConnection, sizeof(kMessagesPerConnection));
    const int sendHwm = type == ZMQ_ROUTER ? kRouterRepliesPerConnection : kMessagesPerConnection;
    zmq_setsockopt(socket, ZMQ_SNDHWM, &sendHwm, sizeof(sendHwm));
    // A reply the router cannot queue is then known, not silently dropped.
    const int mandatory = 1;
    if (type == ZMQ_ROUTER)
        zmq_setsockopt(socket, ZMQ_ROUTER_MANDATORY, &mandatory, sizeof(mandatory));
}

}  // namespace

[[noreturn]] void CProcessor::run() {
    // A key that cannot be had stops the start before anything is bound:
    // the server never serves plain text in place of CURVE.
    if (!loadCurveKeys()) std::exit(kExitBadKeys);
    RequestLoop loop(*this, statusFilePath(logConfig().path));
    if (!loop.open()) {
        // Serving nothing while holding the single-instance guard would
        // only keep a corrected start from running.
        PROCESSOR_REPORT(Event::ServerStops, "no endpoint could be bound: the server stops");
        std::exit(kExitNoEndpoint);
    }
    platform_.process().watchForStop([this](const std::string& why) { stopOnRequest(why); });
    for (;;) {
        loop.turn();
        platform_.process().takeStopRequests();
    }
}

RequestLoop::~RequestLoop() {
    int linger = 0;
    for (void* socket : {reply_, router_}) {
        if (socket == nullptr) continue;
        // Its monitor is stopped first: an event sent while the socket is
        // closed, when the gate no longer reads, would hold libzmq's I/O
        // thread and the end of the context with it.
        zmq_socket_monitor(socket, nullptr, 0);
        zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
        zmq_close(socket);
    }
    gate_.close();
    if (context_ != nullptr) zmq_ctx_term(context_);
}

bool RequestLoop::open() {
    releasedAtMs_ = processor_.platform().clock().monotonicMs();
    context_ = zmq_init(1);
    if (context_ == nullptr) processor_.PROCESSOR_LOG(LOG_LEVEL_ERROR, "zmq_init fail");
    // The gate must be there before a client can connect, or libzmq admits
    // every client.
    const Settings& settings = processor_.settings();
    if (!gate_.open(context_, {settings.maxConnections, settings.maxConnectionsPerAddress}))
        return false;
    bool replyBound = false;
    bool routerBound = false;
    reply_ = makeEndpoint(
        {ZMQ_REP, 0, processor_.settings().address, "zmq_socket fail", "zmq_bind fail"},
        &replyBound);
    router_ = makeEndpoint(
        {ZMQ_ROUTER, 1, processor_.settings().addressEx, "zmq_socket ex fail", "zmq_bind ex fail"},
        &routerBound);
    return replyBound || routerBound;
}

void* RequestLoop::makeEndpoint(const Endpoint& endpoint, bool* bound) {
    // Each of the start-up failure lines ("zmq_socket fail", "zmq_bind fail",
    // and "zmq_socket ex fail", "zmq_bind ex fail" for the router endpoint)
    // is followed by one that says which endpoint and why.
    *bound = false;
    void* socket = context_ != nullptr ? zmq_socket(context_, endpoint.type) : nullptr;
    if (socket == nullptr) {
        const std::string reason = context_ != nullptr ? zmq_strerror(zmq_errno()) : "no context";
        processor_.PROCESSOR_LOG(LOG_LEVEL_ERROR, endpoint.socketFailure);
        processor_.PROCESSOR_LOG(LOG_LEVEL_ERROR,
                                 "no socket for " + endpoint.address + ": " + reason);
        endpointFails(endpoint, "cannot bind " + endpoint.address + ": no socket");
        return nullptr;
    }
    const std::string failure = bindEndpoint(socket, endpoint);
    *bound = failure.empty();
    if (!*bound) endpointFails(endpoint, failure);
    return socket;
}

std::string RequestLoop::bindEndpoint(void* socket, const Endpoint& endpoint) {
    setBounds(socket, endpoint.type, processor_.settings().maxRequestSize);
    const std::string& address = endpoint.address;
    const int curveServer = 1;
    // Set before the bind: an endpoint is never bound in plain text.
    if (!processor_.curveKeys().secretKey.empty() &&
        (zmq_setsockopt(socket, ZMQ_CURVE_SERVER, &curveServer, sizeof(curveServer)) != 0 ||
         zmq_setsockopt(socket, ZMQ_CURVE_SECRETKEY, processor_.curveKeys().secretKey.data(),
                        processor_.curveKeys().secretKey.size()) != 0))
        return "cannot make " + address + " a CURVE server: " + zmq_strerror(zmq_errno());
    // Watched from before the bind: no connection goes uncounted.
    std::string watchFailure;
    if (!gate_.watch(socket, endpoint.index, &watchFailure))
        return "cannot bind " + address + ": " + watchFailure;
    if (zmq_bind(socket, address.c_str()) != 0)
        return "cannot bind " + address + ": " + zmq_strerror(zmq_errno());
    return std::string();
}

void RequestLoop::endpointFails(const Endpoint& endpoint, const std::string& what) {
    processor_.PROCESSOR_LOG(LOG_LEVEL_ERROR, endpoint.bindFailure);
    processor_.PROCESSOR_REPORT(Event::EndpointNotBound, what, endpoint.address);
}

void RequestLoop::releaseMemoryAtRest() {
    if (!processor_.queue().empty()) return;
    const int64_t now = processor_.platform().clock().monotonicMs();
    if (now - releasedAtMs_ < kReleaseIntervalMs) return;
    processor_.platform().process().releaseFreeMemory();
    releasedAtMs_ = now;
}

int RequestLoop::pollTimeoutMs() const {
    return processor_.queue().empty() ? kIdlePollMs : kBusyPollMs;
}

void RequestLoop::turn() {
    if (processor_.settings().scanMode & 1) processor_.processCache1();
    if ((processor_.settings().scanMode & 2) && !processor_.commandPending())
        processor_.processCache2();
    releaseMemoryAtRest();
    if (writesStatus_ && status_.due())
        status_.write(
            serverStatus(processor_, {gate_.connectionsOpen(), gate_.refused(), repliesDropped_}));
    // Refusals and drops counted a minute ago are logged even when none
    // come now.
    gate_.logCountsDue();
    processor_.logCountDue(dropCount_, "reply dropped ");

    std::vector<zmq_pollitem_t> items;
    // Only endpoints that were made are polled; with none, the poll just waits.
    for (void* socket : {reply_, router_}) {
        if (socket != nullptr) items.push_back({socket, 0, ZMQ_POLLIN, 0});
    }
    const size_t endpoints = items.size();
    for (void* socket : gate_.sockets()) items.push_back({socket, 0, ZMQ_POLLIN, 0});
    Clock& clock = processor_.platform().clock();
    const int64_t deadline = clock.monotonicMs() + pollTimeoutMs();
    long waitMs = pollTimeoutMs();
    for (;;) {
        if (zmq_poll(items.data(), static_cast<int>(items.size()), waitMs) <= 0) return;
        for (size_t i = 0; i < endpoints; ++i) {
            if (!(items[i].revents & ZMQ_POLLIN)) continue;
            if (items[i].socket == reply_)
                serveReply();
            else
                serveRouter();
            // Handshakes that came in meanwhile are not kept for the next turn.
            gate_.serve();
            return;  // one request per turn, the reply endpoint first
        }
        // Only the gate woke the poll: that is not the turn's request, so
        // the endpoints are waited on for the rest of the turn's wait and the
        // workers keep their cadence.
        gate_.serve();
        waitMs = static_cast<long>(deadline - clock.monotonicMs());
        if (waitMs <= 0) return;
    }
}

void RequestLoop::serveReply() {
    Frame body;
    // A poll can report a message that the reply socket then throws away (a
    // dealer's, which lacks the envelope); waiting for the next one would
    // stop the whole server until some client sent it.
    if (!body.receive(reply_, ZMQ_DONTWAIT)) return;
    discardRest(reply_, body);
    // A reply socket takes its next request only after a reply, so an empty
    // request gets an empty frame back (and is not logged).
    std::string reply = body.size() == 0 ? std::string() : answer(body.view());
    zmq_send(reply_, reply.data(), reply.size(), 0);
    if (!reply.empty()) processor_.PROCESSOR_LOG(LOG_LEVEL_INFO, reply);
}

void RequestLoop::serveRouter() {
    Frame identity, body;
    if (!identity.receive(router_, ZMQ_DONTWAIT)) return;
    body.receive(router_);
    // Request-type peers put an empty delimiter before the body; their reply
    // goes back with the same delimiter.
    const bool delimited = body.size() == 0 && body.more();
    if (delimited) body.receive(router_);
    discardRest(router_, body);
    // A dealer's empty request is dropped. A request-type peer would wait
    // forever for its reply, so it gets an empty frame, as on the reply endpoint.
    if (body.size() == 0 && !delimited) return;
    std::string reply = body.size() == 0 ? std::string() : answer(body.view());
    std::string_view peer = identity.view();
    // Not waiting: a peer that reads no replies must not stop the server.
    // Once the first frame is queued, the rest of the reply is too.
    const int dropped = zmq_send(router_, peer.data(), peer.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0
                            ? zmq_errno()
                            : 0;
    if (dropped == 0) {
        if (delimited) zmq_send(router_, "", 0, ZMQ_SNDMORE);
        zmq_send(router_, reply.data(), reply.size(), 0);
    }
    if (!reply.empty()) processor_.PROCESSOR_LOG(LOG_LEVEL_INFO, reply);
    if (dropped != 0) logDroppedReply(dropped, body.peerAddress());
}

void RequestLoop::logDroppedReply(int error, const std::string& client) {
    const std::string line =
        "reply dropped: the client at " + client +
        (error == EAGAIN ? " has " + std::to_string(kRouterRepliesPerConnection) + " replies unread"
                         : " has gone");
    // Each drop counts in the event log's own count.
    processor_.events().report(Event::RepliesDropped, line);
    ++repliesDropped_;
    if (dropCount_.occur(processor_.platform().clock().monotonicMs()).what != Said::What::line) {
        processor_.logCountDue(dropCount_, "reply dropped ");
        return;
    }
    processor_.PROCESSOR_LOG(LOG_LEVEL_ERROR, line);
}

std::string RequestLoop::answer(std::string_view request) {
    // Read where the frame holds it: a request is never copied whole, but
    // for a log that keeps no photographs.
    if (processor_.settings().logImages != 0)
        processor_.PROCESSOR_LOG(LOG_LEVEL_INFO, request);  // ends at a NUL, as a text
    else
        processor_.PROCESSOR_LOG(LOG_LEVEL_INFO, requestWithoutImages(request));
    Json::Value reply;
    processor_.handleRequest(request, reply);
    // A reply echoes the request's "code" whatever it holds: a long text, or
    // deeply nested arrays whose styled text would be many times the
    // request's size, more than the process has room for. Such a reply goes
    // out as null, and the replies a peer does not read stay small.
    try {
        size_t size = 0;
        if (styledTextFits(reply, kLongestReply, &size)) return styledText(reply, size);
    } catch (const std::exception&) {
        // Out of memory: answered as below.
    }
    processor_.PROCESSOR_LOG(LOG_LEVEL_ERROR, "reply too large to write, sent as null");
    return styledText(Json::Value());
}

}  // namespace qrx
