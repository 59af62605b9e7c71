// Which connections may finish their handshake with the two endpoints.
// libzmq asks the gate, the ZAP handler (RFC 27) of the context, about every
// connection before it carries a request: CURVE ones, and plain ones too, as
// both endpoints have a ZAP domain. Each endpoint's monitor tells the gate of
// every connection accepted and of every one that ends, so it knows how many
// are open from each address. A connection is admitted while the server and
// its address are within MaxConnections and MaxConnectionsPerAddress and,
// with a CURVE client list, when its key is on the list. Each refusal is
// logged, or counted and the count logged at most once a minute.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "log/rate_limit.h"
#include "processor/processor_log.h"
#include "settings/curve_keys.h"

namespace qrx {

// Connections admitted at once, in all and from one address (0 or less: no
// bound).
struct ConnectionLimits {
    int total = 0;
    int perAddress = 0;
};

// The connections open on the endpoints, by the address they come from. Each
// is judged once, when it is accepted: admitted while the server and its
// address are within their limits, else over. Only the admitted ones count
// towards the limits, so connections past a limit keep no later one out once
// they are gone, and each count falls as its connections end, whenever that is.
class ConnectionBook {
  public:
    // The endpoint (0 the reply endpoint, 1 the router endpoint) and the
    // socket handle libzmq reports for the connection.
    using Key = std::pair<int, uint64_t>;
    enum class Verdict { admitted, addressFull, serverFull };

    void setLimits(ConnectionLimits limits) { limits_ = limits; }
    Verdict open(const Key& key, const std::string& address);
    void close(const Key& key);
    // Whether a handshake from address may finish. libzmq's check names the
    // address, not the connection, so it may only when none of the
    // connections open from there is over a limit (admit), and at least one
    // is open (else unknown).
    enum class Check { admit, overLimit, unknown };
    Check check(const std::string& address) const;
    // The connections open, over a limit or not.
    size_t open() const { return connections_.size(); }

  private:
    struct Entry {
        std::string address;
        bool over = false;
    };
    struct Tally {
        int admitted = 0;
        int over = 0;
    };
    std::map<Key, Entry> connections_;
    std::map<std::string, Tally> addresses_;  // those with a connection open
    int admitted_ = 0;
    ConnectionLimits limits_;
};

class ConnectionGate {
  public:
    // log: the processor's log calls; keys: the CURVE client list, read
    // when handshakes are checked, which must outlive the gate.
    ConnectionGate(ProcessorLog& log, const CurveKeys& keys) : log_(log), keys_(keys) {}
    ConnectionGate(ProcessorLog& log, const CurveKeys&& keys) = delete;
    // The server never gets here (its loop does not end); tests do.
    ~ConnectionGate() { close(); }
    ConnectionGate(const ConnectionGate&) = delete;
    ConnectionGate& operator=(const ConnectionGate&) = delete;

    // Binds the ZAP handler in context, which must have one I/O thread (see
    // takeEvents), and admits connections within limits from then on. It
    // must be there before an endpoint is bound, or libzmq lets every
    // connection through. False, logged, when it cannot be bound.
    bool open(void* context, ConnectionLimits limits);
    // Closes the gate's sockets, before the context is ended. The endpoints'
    // monitors must have been stopped first.
    void close();
    // Makes socket, not yet bound, ask the gate about its connections and
    // report them; endpoint is 0 for the reply endpoint, 1 for the router
    // endpoint. False, with *why set, when it cannot be watched.
    bool watch(void* socket, int endpoint, std::string* why);
    // The gate's sockets, to poll for input beside the endpoints.
    const std::vector<void*>& sockets() const { return sockets_; }
    void* zapSocket() const { return zap_; }
    // Takes every connection event and answers every handshake check
    // waiting, without waiting for more.
    void serve();
    // Writes the counts of refusals that are due.
    void logCountsDue();
    // The connections open now, and those refused since the start (by the
    // limits, or as CURVE clients not on the list).
    size_t connectionsOpen() const { return book_.open(); }
    int64_t refused() const { return refused_; }

  private:
    // Reads all the events the monitors hold, then judges the connections
    // accepted that are still open.
    void takeEvents();
    void judge(const ConnectionBook::Key& key);
    // A ZAP request's frames: version, request id, domain, address, routing
    // id, mechanism, then the mechanism's credentials (CURVE: the client's
    // 32-byte public key). Sends the reply.
    void answer(const std::vector<std::string>& request);
    // With a client list, only a CURVE client whose key is on it.
    bool curveAdmits(const std::vector<std::string>& request);
    // A refused CURVE client's line goes to the log the first time its key
    // and address are refused in the hour; after that it is only counted. A
    // refused client reconnects several times a second and would fill the log.
    void logCurveRefusal(const std::string& client);

    ProcessorLog& log_;
    ConnectionLimits limits_;
    const CurveKeys& keys_;
    void* context_ = nullptr;
    void* zap_ = nullptr;
    void* monitors_[2] = {nullptr, nullptr};
    std::vector<void*> sockets_;  // zap_ and the monitors
    ConnectionBook book_;
    int64_t refused_ = 0;
    // Connections refused by the limits: a line, then a count.
    RateLimit connectionRefusals_{60 * 1000};
    // The keys and addresses whose CURVE refusal was logged this hour, as
    // "key … from …". A new hour begins at the first refusal once the last
    // one is over, when curveHour_ (which repeats its line once an hour)
    // says its line; the set is emptied then.
    std::set<std::string> curveLogged_;
    RateLimit curveHour_{3600 * 1000, RateLimit::Between::repeat};
    // The CURVE refusals not logged one by one: counted, the count logged at
    // most once a minute.
    RateLimit curveRefusals_{60 * 1000, RateLimit::Between::countOnly};
};

}  // namespace qrx
