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

}  // namespace qrx::bench
