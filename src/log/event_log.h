// The faults that need a person, and the server's start, go to the system's
// event log as well as to sock.log: a desk PC's server has no window, and
// its log may be off, while administrators watch the event log. Each kind of
// event has its number in ScanServer.exe's message table
// (win32/messages.mc), whose text Event Viewer shows around the event's own
// text, and a level. A fault that lasts is reported at most once each
// kIntervalMs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "log/rate_limit.h"
#include "platform/platform.h"

namespace qrx {

// The event source the installer registers, with ScanServer.exe as its
// message file.
constexpr const char kEventSource[] = "QRXScanServer";

// The kinds of event, numbered as in win32/messages.mc.
enum class Event : uint32_t {
    Started = 100,              // the version and the settings file
    SettingNotAsWritten = 101,  // a value of Server.ini not read as written
    ServerStops = 110,          // no endpoint bound, or a key file unusable
    EndpointNotBound = 111,     // a port or address cannot be bound
    ServerRestarted = 112,      // the watched server ended abnormally and starts again
    WatcherStops = 113,         // the watched server cannot be started again
    FolderFails = 120,          // a record cannot be written into a result folder
    FolderWorks = 121,          // records are written into that folder again
    LogNotRotated = 130,        // sock.log cannot be moved aside at its bound
    ConnectionsRefused = 140,   // connections past MaxConnections(PerAddress)
    RepliesDropped = 141,       // replies a client does not read are dropped
    ClockNotTaken = 150,        // the capture window did not take the clock
};

// Every kind with its level.
struct EventKind {
    Event event;
    EventType type;
};
constexpr EventKind kEventKinds[] = {
    {Event::Started, EventType::Information},    {Event::SettingNotAsWritten, EventType::Warning},
    {Event::ServerStops, EventType::Error},      {Event::EndpointNotBound, EventType::Error},
    {Event::ServerRestarted, EventType::Error},  {Event::WatcherStops, EventType::Error},
    {Event::FolderFails, EventType::Error},      {Event::FolderWorks, EventType::Information},
    {Event::LogNotRotated, EventType::Warning},  {Event::ConnectionsRefused, EventType::Warning},
    {Event::RepliesDropped, EventType::Warning}, {Event::ClockNotTaken, EventType::Warning},
};

// Error, warning or information.
EventType eventType(Event event);
// The level of its line in sock.log: 3 for errors and warnings, 6 for
// information.
int eventLogLevel(Event event);

// Writes text to the system's event log as an event of its kind, at once.
void reportEvent(Platform& platform, Event event, const std::string& text);

// The events of one server, each kind at most once each kIntervalMs.
class EventLog {
  public:
    static constexpr int64_t kIntervalMs = 10 * 60 * 1000;

    explicit EventLog(Platform& platform) : platform_(platform) {}

    // Reports text as an event of its kind, unless one of the same kind and
    // subject (an endpoint, a folder; empty for a kind of one subject) was
    // reported within kIntervalMs: then it is counted, and the first report
    // after the interval says how many times it came.
    void report(Event event, const std::string& text, const std::string& subject = "");
    // A fault that is a state of subject (a result folder or the command
    // file fails, then works again), so that the latest event for subject
    // tells its state: the failure is reported as report() does, but at
    // once when the recovery was the latest shown; the recovery only when
    // the failure was, and then at once.
    void reportFailing(Event event, const std::string& text, const std::string& subject);
    void reportWorking(Event event, const std::string& text, const std::string& subject);

  private:
    Platform& platform_;
    std::map<std::pair<Event, std::string>, RateLimit> limits_;
    std::map<std::string, RateLimit> states_;  // the faults that are a state, by subject
};

}  // namespace qrx
