// The fault-injection switch of plat_fault.h, the same on every platform.
// Armed per thread, so a test's helper threads (a loopback gateway) are
// never failed by it.
#include "plat_fault.h"

namespace plat_fault_detail {
thread_local bool g_armed = false;
}  // namespace plat_fault_detail

namespace {

thread_local unsigned g_points = 0;
thread_local long g_failAt = 0;
thread_local int g_err = 0;
thread_local bool g_persist = false;
thread_local long g_calls = 0;
thread_local long g_injected = 0;

}  // namespace

void PLAT_FaultArm(unsigned points, long n, int err, bool persist)
{
    g_points = points;
    g_failAt = n;
    g_err = err;
    g_persist = persist;
    g_calls = 0;
    g_injected = 0;
    plat_fault_detail::g_armed = points != 0 && n > 0;
}

void PLAT_FaultDisarm()
{
    plat_fault_detail::g_armed = false;
    g_points = 0;
    g_calls = 0;
    g_injected = 0;
}

long PLAT_FaultCalls()
{
    return g_calls;
}

long PLAT_FaultInjected()
{
    return g_injected;
}

bool plat_fault_detail::Fail(unsigned point)
{
    if ((g_points & point) == 0) {
        return false;
    }
    ++g_calls;
    if (g_calls == g_failAt || (g_persist && g_calls > g_failAt)) {
        ++g_injected;
        errno = g_err;
        return true;
    }
    return false;
}
