#include "log/event_log.h"

#include "log/log.h"

namespace qrx {

EventType eventType(Event event) {
    for (const EventKind& kind : kEventKinds)
        if (kind.event == event) return kind.type;
    return EventType::Error;
}

int eventLogLevel(Event event) {
    return eventType(event) == EventType::Information ? LOG_LEVEL_INFO : LOG_LEVEL_ERROR;
}

void reportEvent(Platform& platform, Event event, const std::string& text) {
    platform.process().reportEvent(kEventSource, eventType(event), static_cast<uint32_t>(event),
                                   text);
}

namespace {

// Writes text as an event of its kind when limit admits it; otherwise
// counts it, and once the count is due writes it saying how many times it
// came since it was last written.
void reportLimited(Platform& platform, RateLimit& limit, Event event, const std::string& text) {
    const int64_t now = platform.clock().monotonicMs();
    if (limit.admit(now)) {
        reportEvent(platform, event, text);
        return;
    }
    int64_t seconds = 0;
    const int64_t times = limit.countDue(now, &seconds);
    if (times > 0)
        reportEvent(platform, event,
                    text + " (" + std::to_string(times) + " times since this was last reported, " +
                        std::to_string(seconds / 60) + " minutes ago)");
}

}  // namespace

void EventLog::report(Event event, const std::string& text, const std::string& subject) {
    reportLimited(platform_, limits_.try_emplace({event, subject}, kIntervalMs).first->second,
                  event, text);
}

void EventLog::reportFailing(Event event, const std::string& text, const std::string& subject) {
    bool& shown = failingShown_[subject];
    if (!shown) limits_.try_emplace({event, subject}, kIntervalMs).first->second.reset();
    shown = true;
    report(event, text, subject);
}

void EventLog::reportWorking(Event event, const std::string& text, const std::string& subject) {
    bool& shown = failingShown_[subject];
    if (shown) reportEvent(platform_, event, text);
    shown = false;
}

}  // namespace qrx
