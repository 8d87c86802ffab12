// Calendar time in the user's time zone, as the Windows file-time conversions give it.
// POSIX implementation in clock_posix.cpp.
#pragma once

#include <ctime>

#include "platform/export.h"

namespace vesk {

// The local calendar time of t; false (out untouched) when t cannot be converted.
VESK_API bool ToLocalTime(std::time_t t, std::tm& out);

}  // namespace vesk
