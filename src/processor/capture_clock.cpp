// The capture application's clock: its window, found by the title caption,
// has an hour and a minute control that are given the local time as two
// digits each before a record is handed over.
#include <cstdio>

#include "processor/processor.h"

namespace qrx {

void CProcessor::setCaptureClock() {
    if (hourCtrlId == 0 && minuteCtrlId == 0) return;
    WindowHandle window = platform_.findWindow(nullptr, caption);
    if (window == 0) return;
    platform_.forEachDescendant(window, [this](WindowHandle control) {
        int id = platform_.controlId(control);
        if (id == hourCtrlId || id == minuteCtrlId) {
            LocalTime now = platform_.localTime();
            char text[10] = {};
            std::snprintf(text, sizeof(text), "%02d", id == hourCtrlId ? now.hour : now.minute);
            platform_.setWindowText(control, text);
        }
        return true;  // every matching control is set, not only the first
    });
}

}  // namespace qrx
