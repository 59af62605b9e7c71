#include "processor/folder_retry.h"

namespace qrx {

bool FolderRetry::waiting(const std::string& place) {
    auto found = places_.find(place);
    return found != places_.end() && platform_.clock().monotonicMs() < found->second.retryAtMs;
}

bool FolderRetry::failed(const std::string& place, const std::string& why) {
    Place& state = places_[place];
    const int64_t now = platform_.clock().monotonicMs();
    state.retryAtMs = now + kRetryMs;
    if (!state.failingSince.known())
        state.failingSince = Moment{now, platform_.clock().localTime()};
    state.why = why;
    return state.failure.occur(now).what == Said::What::line;
}

bool FolderRetry::worked(const std::string& place) {
    Place& state = places_[place];
    state.tookRecord = true;
    state.failingSince = Moment();
    state.why.clear();
    return state.failure.recover(platform_.clock().monotonicMs()).what == Said::What::recovery;
}

bool FolderRetry::tookRecord(const std::string& place) const {
    const Place* state = find(place);
    return state != nullptr && state->tookRecord;
}

Moment FolderRetry::failingSince(const std::string& place) const {
    const Place* state = find(place);
    return state != nullptr ? state->failingSince : Moment();
}

std::string FolderRetry::failingWhy(const std::string& place) const {
    const Place* state = find(place);
    return state != nullptr ? state->why : std::string();
}

const FolderRetry::Place* FolderRetry::find(const std::string& place) const {
    auto found = places_.find(place);
    return found != places_.end() ? &found->second : nullptr;
}

}  // namespace qrx
