#include "export/record_stamp.h"

#include <cstdio>

namespace qrx {
namespace {

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[(month - 1) % 12];
}

}  // namespace

std::string formatStamp(const LocalTime& t) {
    char text[32] = {};
    std::snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

LocalTime nextSecond(LocalTime t) {
    if (++t.second < 60) return t;
    t.second = 0;
    if (++t.minute < 60) return t;
    t.minute = 0;
    if (++t.hour < 24) return t;
    t.hour = 0;
    if (++t.day <= daysInMonth(t.year, t.month)) return t;
    t.day = 1;
    if (++t.month <= 12) return t;
    t.month = 1;
    ++t.year;
    return t;
}

}  // namespace qrx
