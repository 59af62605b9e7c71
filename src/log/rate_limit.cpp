#include "log/rate_limit.h"

namespace qrx {

Said RateLimit::occur(int64_t nowMs) {
    const bool begins = !lasting_;
    if (begins) {
        lasting_ = true;
        firstMs_ = sinceMs_ = nowMs;
    }
    const bool intervalOver = nowMs - sinceMs_ >= intervalMs_;
    bool says = false;
    if (between_ == Between::count)
        says = begins || (counted_ == 0 && intervalOver);
    else if (between_ == Between::repeat)
        says = begins || intervalOver;
    if (!says) {
        if (between_ != Between::repeat) ++counted_;
        return {};
    }
    sinceMs_ = nowMs;
    return {Said::What::line};
}

Said RateLimit::due(int64_t nowMs) {
    if (counted_ == 0 || nowMs - sinceMs_ < intervalMs_) return {};
    const Said count{Said::What::count, counted_, (nowMs - sinceMs_) / 1000};
    counted_ = 0;
    sinceMs_ = nowMs;
    return count;
}

Said RateLimit::recover(int64_t nowMs) {
    if (!lasting_) return {};
    const Said recovery{Said::What::recovery, 0, (nowMs - firstMs_) / 1000};
    *this = RateLimit(intervalMs_, between_);
    return recovery;
}

}  // namespace qrx
