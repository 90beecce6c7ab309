// Fault injection for tests: the n-th call of a chosen system call fails with a
// chosen error, so a test can walk a failure over every step of a road.
// Inert until armed: then each guarded call costs one test of a global.
#pragma once

#include <cerrno>

enum PLAT_FaultPoint : unsigned {
    PLAT_FAULT_OPEN = 1u << 0,
    PLAT_FAULT_READ = 1u << 1,
    PLAT_FAULT_WRITE = 1u << 2,
    PLAT_FAULT_FSYNC = 1u << 3,
    PLAT_FAULT_RENAME = 1u << 4,
    PLAT_FAULT_UNLINK = 1u << 5,
    PLAT_FAULT_CONNECT = 1u << 6,
    PLAT_FAULT_SEND = 1u << 7,
    PLAT_FAULT_RECV = 1u << 8,
    PLAT_FAULT_ALL = (1u << 9) - 1,
};

// Arms the seam: counting from now, the n-th call (1 = the next) of any point
// in `points` fails with `err`; with `persist`, every later one of them too
// (a disk that stays full). Only the calling thread's calls are counted and
// failed. Disarming also clears the counts.
void PLAT_FaultArm(unsigned points, long n, int err, bool persist);
void PLAT_FaultDisarm();
// Calls of the armed points counted since arming, and failures injected.
long PLAT_FaultCalls();
long PLAT_FaultInjected();

namespace plat_fault_detail {
extern thread_local bool g_armed;
bool Fail(unsigned point);
}  // namespace plat_fault_detail

// At the top of a guarded call: true (errno set) when this call must fail.
inline bool PLAT_FaultHit(unsigned point)
{
    return plat_fault_detail::g_armed && plat_fault_detail::Fail(point);
}
