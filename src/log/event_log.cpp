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

// Writes text as an event of its kind when limit says its line; otherwise,
// once its count is due, writes it saying how many times it came since it
// was last written.
void reportLimited(Platform& platform, RateLimit& limit, Event event, const std::string& text) {
    const int64_t now = platform.clock().monotonicMs();
    if (limit.occur(now).what == Said::What::line) {
        reportEvent(platform, event, text);
        return;
    }
    const Said count = limit.due(now);
    if (count.what == Said::What::count)
        reportEvent(platform, event,
                    text + " (" + std::to_string(count.times) +
                        " times since this was last reported, " +
                        std::to_string(count.seconds / 60) + " minutes ago)");
}

}  // namespace

void EventLog::report(Event event, const std::string& text, const std::string& subject) {
    reportLimited(platform_, limits_.try_emplace({event, subject}, kIntervalMs).first->second,
                  event, text);
}

void EventLog::reportFailing(Event event, const std::string& text, const std::string& subject) {
    reportLimited(platform_, states_.try_emplace(subject, kIntervalMs).first->second, event, text);
}

void EventLog::reportWorking(Event event, const std::string& text, const std::string& subject) {
    const auto state = states_.find(subject);
    if (state != states_.end() &&
        state->second.recover(platform_.clock().monotonicMs()).what == Said::What::recovery)
        reportEvent(platform_, event, text);
}

}  // namespace qrx
