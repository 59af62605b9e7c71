// The servers qrx-bench compares the scan server with. Each runs in a child
// process of its own, bound to ipc endpoints, until it is killed.
#pragma once

#include <sys/types.h>

#include <string>

namespace qrx::bench {

// A bare REP echo; with parse set, each request is first read once with
// JsonCpp's Reader, which is all the parse-only echo does.
pid_t startEcho(const std::string& endpoint, bool parse);

// The least a server with the scan server's loop and log has to do for a
// request: poll a reply and a router socket every turn, take the request,
// log it, send it back and log that too, each log line with one
// open-append-close (a message of 4096 bytes or more in three). No JSON.
pid_t startLoopFloor(const std::string& endpoint, const std::string& routerEndpoint,
                     const std::string& logPath);

// The least a server that keeps every accepted card record has to do for a
// submission: the loop floor's poll and two log lines, plus one parse with
// the server's own reader and a copy of the request's bytes kept in a list
// that is never drained, so it pays for fresh memory as the record queue
// does. Its reply is a short one of the scan server's form for an accepted
// submission (the request's "code", an empty "msg", "result" 0, "type" 1),
// logged like the server's; the request is not echoed back.
pid_t startKeepFloor(const std::string& endpoint, const std::string& routerEndpoint,
                     const std::string& logPath);

}  // namespace qrx::bench
