#include "log/rate_limit.h"

namespace qrx {

bool RateLimit::admit(int64_t nowMs) {
    if (started_ && (counted_ > 0 || nowMs - since_ < intervalMs_)) {
        ++counted_;
        return false;
    }
    started_ = true;
    since_ = nowMs;
    return true;
}

void RateLimit::count(int64_t nowMs) {
    if (!started_) {
        started_ = true;
        since_ = nowMs;
    }
    ++counted_;
}

bool RateLimit::repeat(int64_t nowMs) {
    if (started_ && nowMs - since_ < intervalMs_) return false;
    started_ = true;
    since_ = nowMs;
    return true;
}

int64_t RateLimit::countDue(int64_t nowMs, int64_t* seconds) {
    if (counted_ == 0 || nowMs - since_ < intervalMs_) return 0;
    const int64_t due = counted_;
    *seconds = (nowMs - since_) / 1000;
    counted_ = 0;
    since_ = nowMs;
    return due;
}

}  // namespace qrx
