#include "processor/connection_gate.h"

#include <zmq.h>

#include <algorithm>
#include <cstring>

#include "log/log.h"
#include "settings/curve_keys.h"

namespace qrx {
namespace {

// Where libzmq asks whether to admit a connection.
constexpr const char kZapEndpoint[] = "inproc://zeromq.zap.01";
// The ZAP domain of both endpoints: with one set, libzmq asks about plain
// connections too, not only about CURVE ones.
constexpr const char kZapDomain[] = "scan-server";
// ZMQ_ZAP_ENFORCE_DOMAIN, which zmq.h 4.3 names only in its draft API though
// every 4.3 library takes it: a connection whose check cannot be asked is
// refused rather than let through.
constexpr int kZapEnforceDomain = 93;
// Refused CURVE keys and addresses logged one by one in an hour; those past
// it are counted. The logged ones are forgotten each hour, so a desk with a
// wrong key is named again though throwaway keys filled the set.
constexpr size_t kCurveRefusalsLogged = 1000;

// One whole message waiting on socket, its frames in order; false when none is.
bool takeMessage(void* socket, std::vector<std::string>* frames) {
    frames->clear();
    int flags = ZMQ_DONTWAIT;
    for (bool more = true; more; flags = 0) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        more = zmq_msg_recv(&msg, socket, flags) >= 0;
        if (more) {
            frames->emplace_back(static_cast<const char*>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
            more = zmq_msg_more(&msg) != 0;
        }
        zmq_msg_close(&msg);
    }
    return !frames->empty();
}

void sendFrames(void* socket, const std::vector<std::string>& frames) {
    for (size_t i = 0; i < frames.size(); ++i)
        zmq_send(socket, frames[i].data(), frames[i].size(),
                 i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
}

}  // namespace

ConnectionBook::Verdict ConnectionBook::open(const Key& key, const std::string& address) {
    close(key);  // a handle is open once at a time
    Tally& tally = addresses_[address];
    Verdict verdict = Verdict::admitted;
    if (limits_.perAddress > 0 && tally.admitted >= limits_.perAddress)
        verdict = Verdict::addressFull;
    else if (limits_.total > 0 && admitted_ >= limits_.total)
        verdict = Verdict::serverFull;
    const bool over = verdict != Verdict::admitted;
    connections_[key] = Entry{address, over};
    if (over) {
        ++tally.over;
    } else {
        ++tally.admitted;
        ++admitted_;
    }
    return verdict;
}

void ConnectionBook::close(const Key& key) {
    const auto found = connections_.find(key);
    if (found == connections_.end()) return;
    const auto tally = addresses_.find(found->second.address);
    if (found->second.over) {
        --tally->second.over;
    } else {
        --tally->second.admitted;
        --admitted_;
    }
    if (tally->second.admitted == 0 && tally->second.over == 0) addresses_.erase(tally);
    connections_.erase(found);
}

ConnectionBook::Check ConnectionBook::check(const std::string& address) const {
    const auto found = addresses_.find(address);
    if (found == addresses_.end()) return Check::unknown;
    return found->second.over > 0 ? Check::overLimit : Check::admit;
}

bool ConnectionGate::open(void* context, ConnectionLimits limits) {
    context_ = context;
    limits_ = limits;
    book_.setLimits(limits);
    zap_ = context != nullptr ? zmq_socket(context, ZMQ_REP) : nullptr;
    if (zap_ != nullptr && zmq_bind(zap_, kZapEndpoint) == 0) {
        sockets_.push_back(zap_);
        return true;
    }
    const std::string reason = context == nullptr ? "no context" : zmq_strerror(zmq_errno());
    log_.PROCESSOR_REPORT(Event::EndpointNotBound,
                          std::string("cannot bind the client check at ") + kZapEndpoint + ": " +
                              reason + ": no endpoint is bound",
                          kZapEndpoint);
    return false;
}

void ConnectionGate::close() {
    const int linger = 0;
    for (void* socket : sockets_) {
        zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
        zmq_close(socket);
    }
    sockets_.clear();
    zap_ = monitors_[0] = monitors_[1] = nullptr;
}

bool ConnectionGate::watch(void* socket, int endpoint, std::string* why) {
    const int enforce = 1, unbounded = 0;
    zmq_setsockopt(socket, kZapEnforceDomain, &enforce, sizeof(enforce));
    // Every event is kept for the gate (no high-water mark on its side), so
    // no count can miss a connection's end.
    const std::string monitorEndpoint = "inproc://qrx.connections." + std::to_string(endpoint);
    void* monitor = nullptr;
    if (zmq_setsockopt(socket, ZMQ_ZAP_DOMAIN, kZapDomain, std::strlen(kZapDomain)) != 0 ||
        zmq_socket_monitor(socket, monitorEndpoint.c_str(),
                           ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED) != 0 ||
        (monitor = zmq_socket(context_, ZMQ_PAIR)) == nullptr ||
        zmq_setsockopt(monitor, ZMQ_RCVHWM, &unbounded, sizeof(unbounded)) != 0 ||
        zmq_connect(monitor, monitorEndpoint.c_str()) != 0) {
        *why = std::string("cannot watch its connections: ") + zmq_strerror(zmq_errno());
        // An unread monitor would stop libzmq's I/O thread at its next event.
        zmq_socket_monitor(socket, nullptr, 0);
        if (monitor != nullptr) zmq_close(monitor);
        return false;
    }
    monitors_[endpoint] = monitor;
    sockets_.push_back(monitor);
    return true;
}

void ConnectionGate::serve() {
    takeEvents();
    std::vector<std::string> request;
    while (zap_ != nullptr && takeMessage(zap_, &request)) {
        // The connection's accept was reported before its check was sent.
        takeEvents();
        answer(request);
    }
}

void ConnectionGate::takeEvents() {
    // A monitor event: the event (16 bits) and its value (32 bits, here the
    // socket handle), then the endpoint. The context's one I/O thread both
    // accepts connections and sends their checks, so a connection's accept
    // is always reported before its check arrives. Connections are judged
    // once both monitors are read: a handle closed and taken again since
    // would lend its new peer's address to the connection that had it first.
    std::vector<ConnectionBook::Key> accepted;
    std::vector<std::string> event;
    for (int endpoint = 0; endpoint < 2; ++endpoint) {
        while (monitors_[endpoint] != nullptr && takeMessage(monitors_[endpoint], &event)) {
            uint16_t id = 0;
            uint32_t value = 0;
            if (event[0].size() < sizeof(id) + sizeof(value)) continue;
            std::memcpy(&id, event[0].data(), sizeof(id));
            std::memcpy(&value, event[0].data() + sizeof(id), sizeof(value));
            const ConnectionBook::Key key{endpoint, value};
            const auto fresh = std::find(accepted.begin(), accepted.end(), key);
            if (id == ZMQ_EVENT_ACCEPTED)
                accepted.push_back(key);
            else if (fresh != accepted.end())
                accepted.erase(fresh);  // gone before it was judged
            else
                book_.close(key);
        }
    }
    for (const ConnectionBook::Key& key : accepted) judge(key);
}

void ConnectionGate::judge(const ConnectionBook::Key& key) {
    std::string address = log_.platform().network().peerAddress(static_cast<int64_t>(key.second));
    const ConnectionBook::Verdict verdict = book_.open(key, address);
    if (verdict == ConnectionBook::Verdict::admitted) return;
    ++refused_;
    if (address.empty()) address = "an unknown address";
    const std::string line =
        verdict == ConnectionBook::Verdict::addressFull
            ? "connection from " + address + " refused: " + std::to_string(limits_.perAddress) +
                  " are open from there, the most one address may have (MaxConnectionsPerAddress)"
            : "connection from " + address + " refused: " + std::to_string(limits_.total) +
                  " are open, the most the server takes (MaxConnections)";
    // Each refusal counts in the event log's own count.
    log_.events().report(Event::ConnectionsRefused, line);
    if (connectionRefusals_.occur(log_.platform().clock().monotonicMs()).what == Said::What::line)
        log_.PROCESSOR_LOG(LOG_LEVEL_ERROR, line);
}

void ConnectionGate::answer(const std::vector<std::string>& request) {
    const bool wellFormed = request.size() >= 6 && request[0] == "1.0";
    // An address with no connection open is refused too: its connection was
    // reported before its check, so it has ended since (or its address is
    // not written as libzmq writes it), and nothing passes uncounted.
    const ConnectionBook::Check check =
        wellFormed ? book_.check(request[3]) : ConnectionBook::Check::unknown;
    const char* status = !wellFormed                             ? "500"
                         : check != ConnectionBook::Check::admit ? "400"
                         : curveAdmits(request)                  ? "200"
                                                                 : "400";
    const std::string requestId = request.size() >= 2 ? request[1] : std::string();
    // Version, request id, status, status text, user id, metadata.
    sendFrames(zap_, {"1.0", requestId, status, status[0] == '2' ? "OK" : "refused", "", ""});
}

bool ConnectionGate::curveAdmits(const std::vector<std::string>& request) {
    if (!keys_.allowlist()) return true;
    const bool curve =
        request.size() >= 7 && request[5] == "CURVE" && request[6].size() == kCurveKeyBytes;
    if (curve && keys_.clientKeys.count(request[6]) > 0) return true;
    const std::string who =
        curve ? "key " + encodeCurveKey(request[6]) : "no CURVE key (" + request[5] + ")";
    logCurveRefusal(who + " from " + (request[3].empty() ? "unknown" : request[3]));
    return false;
}

void ConnectionGate::logCurveRefusal(const std::string& client) {
    ++refused_;
    const int64_t now = log_.platform().clock().monotonicMs();
    if (curveHour_.occur(now).what == Said::What::line) curveLogged_.clear();
    if (curveLogged_.size() < kCurveRefusalsLogged && curveLogged_.insert(client).second) {
        log_.PROCESSOR_LOG(LOG_LEVEL_ERROR, "CURVE client refused: " + client);
        return;
    }
    curveRefusals_.occur(now);
    logCountsDue();
}

void ConnectionGate::logCountsDue() {
    log_.logCountDue(curveRefusals_, "CURVE client refused ");
    log_.logCountDue(connectionRefusals_, "connection refused ");
}

}  // namespace qrx
