// Time and sleeping, the platform's way.
#pragma once

#include <cstdint>
#include <ctime>

// Thread-safe local time (localtime_r / localtime_s). Returns 0, or -1 when the
// time cannot be converted (then *out is zero-filled).
int PLAT_LocalTime(std::time_t t, std::tm* out);

// Seconds on a monotonic clock, for measuring elapsed wall time.
double PLAT_MonotonicSeconds();

// Sleeps for the given milliseconds. Returns early, with -1, when a signal
// interrupts the sleep; 0 after the full pause.
int PLAT_SleepMs(std::uint32_t ms);
