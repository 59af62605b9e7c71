// What the scan workers read from a queued card request.
#pragma once

#include <json/value.h>

#include <string>

#include "processor/record_queue.h"

namespace qrx {

// A queued card taken up for its hand-over: its entry in cacheList, its
// request read back from the entry's text, and its "ScanCmd" text. It is in
// hand from the moment its text is read back until it is handed over or
// dropped: a worker that fails meanwhile drops this card and no other.
struct QueuedCard {
    RecordQueue::iterator entry;
    bool inHand = false;
    Json::Value request;
    std::string scanCmd;
};

// The "ScanCmd" text of a parsed queued request: a string unchanged, a number
// or boolean as its JSON text, missing or null as empty text. Returns false
// when it cannot be text (an array or object, or a request that is not an
// object); such an entry is dropped on its own.
bool scanCmdText(const Json::Value& request, std::string* text);

}  // namespace qrx
