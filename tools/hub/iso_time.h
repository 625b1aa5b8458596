#pragma once
// UTC wall-clock times as the hub writes and reads them: ISO 8601 with milliseconds and a "Z"
// ("2026-12-09T15:33:38.123Z"). Pure; any thread.

#include <chrono>
#include <string>
#include <string_view>

namespace hub {

using SysClock = std::chrono::system_clock;

std::string IsoUtc(SysClock::time_point t);

// Reads "YYYY-MM-DDTHH:MM:SS" with an optional fraction (any number of digits, kept to the millisecond) and an
// optional zone: "Z", "+HH:MM", "-HH:MM" or "+HHMM" (none means UTC). A date alone ("2026-12-09") is midnight
// UTC. False for anything else, out-of-range fields included (month 13, hour 24, 31 February).
bool ParseIsoUtc(std::string_view text, SysClock::time_point &out);

} // namespace hub
