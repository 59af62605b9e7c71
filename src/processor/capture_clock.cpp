// The capture application's clock: its window, found by the title caption,
// has an hour and a minute control that are given the local time as two
// digits each before a record is handed over. Each text may take at most
// clockTimeout: a hung capture application must not stop the server, whose
// one thread also answers the clients.
#include <cstdio>
#include <string>

#include "processor/processor.h"

namespace qrx {

void CProcessor::setCaptureClock() {
    if (settings_.hourCtrlId == 0 && settings_.minuteCtrlId == 0) return;
    WindowHandle window = platform_.desktop().findWindow(nullptr, settings_.caption);
    if (window == 0) return;
    const int timeoutMs =
        settings_.clockTimeout > 0 ? settings_.clockTimeout : Settings::kDefaultClockTimeoutMs;
    bool taken = true;
    platform_.desktop().forEachDescendant(window, [&](WindowHandle control) {
        int id = platform_.desktop().controlId(control);
        if (id == settings_.hourCtrlId || id == settings_.minuteCtrlId) {
            LocalTime now = platform_.clock().localTime();
            char text[10] = {};
            std::snprintf(text, sizeof(text), "%02d",
                          id == settings_.hourCtrlId ? now.hour : now.minute);
            // The next control belongs to the same application: once one
            // text was not taken, waiting for the others would only add up.
            taken = platform_.desktop().setWindowText(control, text, timeoutMs);
        }
        return taken;  // every matching control is set, not only the first
    });
    if (!taken)
        PROCESSOR_REPORT(Event::ClockNotTaken, "the capture window did not take the clock within " +
                                                   std::to_string(timeoutMs) +
                                                   " ms: the record goes without it");
}

}  // namespace qrx
