#include "log/log_rotation.h"

#include <algorithm>

#include "log/event_log.h"
#include "log/log.h"

namespace qrx {
namespace {

std::string fileName(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

// The older history that a try set aside and could not put back, or that a
// crash in the middle of a try left. While the log has not been cut it
// still holds every line of the copy in ".1", so the history goes back over
// that copy; once cut, the try had worked but for removing it. Returns what
// kept it from going back, empty when nothing stands aside any more.
std::string putAsideBack(Platform& platform, const std::string& path) {
    const std::string older = path + ".1", aside = path + ".1.old";
    if (platform.files().fileSize(aside) < 0) return std::string();
    std::string failure;
    if (platform.files().fileSize(path) == 0 && platform.files().fileSize(older) >= 0)
        platform.files().deleteFile(aside);
    else if (!platform.files().replaceFile(aside, older, &failure))
        return fileName(aside) + " cannot be put back: " + failure;
    return std::string();
}

// One try: the move, else the copy and the cut. *copied tells whether a
// copy was spent. Returns what kept the rotation out, empty when it worked.
// The server is the log's only writer, so no line comes in between the copy
// and the cut.
std::string rotate(Platform& platform, const std::string& path, bool* copied) {
    const std::string older = path + ".1", aside = path + ".1.old";
    std::string failure = putAsideBack(platform, path);
    // Never set the history aside over one that stands there already.
    if (!failure.empty()) return failure;
    if (platform.files().replaceFile(path, older, &failure)) return std::string();
    // Both checks come before the copy, so that neither failure costs one.
    if (!platform.files().canCutFile(path, &failure)) return "it cannot be cut: " + failure;
    const bool hadOlder = platform.files().fileSize(older) >= 0;
    if (hadOlder && !platform.files().replaceFile(older, aside, &failure))
        return fileName(older) + " cannot be replaced: " + failure;
    std::string why;
    *copied = true;
    if (!platform.files().copyFile(path, older, &failure))
        why = "it cannot be copied: " + failure;
    else if (!platform.files().writeNewFile(path, "", 0, &failure) &&
             platform.files().fileSize(path) != 0)
        why = "it cannot be cut: " + failure;  // a program maps it
    if (why.empty()) {
        platform.files().deleteFile(aside);
        return why;
    }
    // The copy goes and the older history comes back, so no line is in both
    // files and none is lost; a history that cannot come back yet stays
    // aside, and goes back before anything else is tried.
    if (hadOlder)
        putAsideBack(platform, path);
    else
        platform.files().deleteFile(older);
    return why;
}

}  // namespace

LogNotice LogRotation::makeRoom(Platform& platform, const std::string& path, int64_t maxSize,
                                size_t lineLength) {
    if (!started_) {
        started_ = true;
        putAsideBack(platform, path);  // a history a crash left aside
    }
    if (maxSize <= 0 || !tryDue(platform, maxSize, lineLength)) return {};
    const int64_t size = platform.files().fileSize(path);
    if (size <= 0 || static_cast<uint64_t>(size) + lineLength <= static_cast<uint64_t>(maxSize)) {
        // Made smaller by someone else: nothing to try until the next wait,
        // and no fault while the log is within its bound.
        if (failure_.lasting()) waitFrom(platform.clock().monotonicMs());
        failingSince_ = Moment();
        return {};
    }
    bool copied = false;
    const std::string why = rotate(platform, path, &copied);
    const int64_t now = platform.clock().monotonicMs();
    // A try that spent a copy of the whole log and failed as the last one
    // did waits twice as long as that one before the next.
    stretch_ = why.empty() || !copied || why != lastWhy_ ? 1 : std::min(stretch_ * 2, kMostStretch);
    lastWhy_ = copied ? why : std::string();
    if (why.empty()) return rotated(fileName(path), size, now);
    waitFrom(now);
    return notRotated(platform, fileName(path), why, now);
}

bool LogRotation::tryDue(Platform& platform, int64_t maxSize, size_t lineLength) {
    if (!failure_.lasting()) return true;
    linesSinceTry_ += lineLength;
    return linesSinceTry_ >= static_cast<uint64_t>(maxSize / 16 * stretch_) ||
           platform.clock().monotonicMs() - triedAt_ >= kRetryMs * stretch_;
}

void LogRotation::waitFrom(int64_t nowMs) {
    triedAt_ = nowMs;
    linesSinceTry_ = 0;
}

LogNotice LogRotation::rotated(const std::string& name, int64_t size, int64_t nowMs) {
    failingSince_ = Moment();
    failingWhy_.clear();
    const Said recovery = failure_.recover(nowMs);
    if (recovery.what != Said::What::recovery) return {};
    return {LOG_LEVEL_INFO, name + " is rotated again, after " + std::to_string(recovery.seconds) +
                                " s: its " + std::to_string(size) + " bytes are now " + name +
                                ".1"};
}

LogNotice LogRotation::notRotated(Platform& platform, const std::string& name,
                                  const std::string& why, int64_t nowMs) {
    if (!failingSince_.known()) failingSince_ = Moment{nowMs, platform.clock().localTime()};
    failingWhy_ = why;
    // The first failure's line, then the same line once an interval while the
    // failure lasts, however often the rotation is tried.
    if (failure_.occur(nowMs).what != Said::What::line) return {};
    const std::string line =
        name + " cannot be rotated (" + why + "): it grows past MaxLogSize until then";
    // The log itself is no place to say so alone.
    reportEvent(platform, Event::LogNotRotated, line);
    return {LOG_LEVEL_ERROR, line};
}

}  // namespace qrx
