// The local minute of day: tm_hour * 60 + tm_min of the local time, seconds
// dropped, 0 to 1439.
//
// Local time follows glibc's rules as loaded at the first conversion (TZ
// where set, else the host's zone); they are never reloaded, so a changed
// zone takes effect when the daemon starts again.
#pragma once

#include <cstdint>
#include <ctime>

namespace velmora {

// Converts `when` to the local minute of day; false when the conversion
// fails, leaving *minute untouched.
bool minute_of_day_at(time_t when, int32_t* minute);

// Reads the system clock. When the conversion fails it returns the last
// reading that succeeded (0 before any), so a bad reading neither re-arms
// nor triggers the schedule; *fresh, where given, tells which it was.
int32_t minute_of_day(bool* fresh = nullptr);

}  // namespace velmora
