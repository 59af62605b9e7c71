// The stamp that names a record's files: YYYYMMDDhhmmss of the local time.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qrx {

std::string formatStamp(const LocalTime& time);

// The same calendar time one second later (milliseconds kept).
LocalTime nextSecond(LocalTime time);

}  // namespace qrx
