// Win32 side of plat_time.h. A pause waits on the stop event, so that Ctrl+C,
// Ctrl+Break or the closing of the console ends it at once.
#include "plat_time.h"

#include <cstring>
#include <windows.h>

#include "stop_event_win32.h"

int PLAT_LocalTime(std::time_t t, std::tm* out)
{
    if (localtime_s(out, &t) != 0) {
        std::memset(out, 0, sizeof *out);
        return -1;
    }
    return 0;
}

double PLAT_MonotonicSeconds()
{
    LARGE_INTEGER freq{};
    LARGE_INTEGER now{};
    if (!QueryPerformanceFrequency(&freq) || !QueryPerformanceCounter(&now) || freq.QuadPart == 0) {
        return static_cast<double>(GetTickCount64()) / 1000.0;
    }
    return static_cast<double>(now.QuadPart) / static_cast<double>(freq.QuadPart);
}

int PLAT_SleepMs(std::uint32_t ms)
{
    const HANDLE stop = win32_StopEvent();
    if (stop == nullptr) {
        Sleep(ms);
        return 0;
    }
    // INFINITE is all bits set, as the caller's largest pause; both wait for ever.
    return WaitForSingleObject(stop, ms) == WAIT_TIMEOUT ? 0 : -1;
}
