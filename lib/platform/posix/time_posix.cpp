// POSIX side of plat_time.h.
#include "plat_time.h"

#include <cerrno>
#include <cstring>
#include <time.h>

int PLAT_LocalTime(std::time_t t, std::tm* out)
{
    if (localtime_r(&t, out) == nullptr) {
        std::memset(out, 0, sizeof *out);
        return -1;
    }
    return 0;
}

double PLAT_MonotonicSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int PLAT_SleepMs(std::uint32_t ms)
{
    timespec req{};
    req.tv_sec = static_cast<time_t>(ms / 1000u);
    req.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    return nanosleep(&req, nullptr) == 0 ? 0 : -1;
}
