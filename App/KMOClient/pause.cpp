// The pause at the end of a polling pass. WaitMode 0 sleeps; WaitMode 1 also
// wakes as soon as a request or the stop file appears under RootPath. Both
// wake early on a stop signal: they wait in slices and look at the signal
// between them, so a signal that arrives just before a slice is not lost.
#include <algorithm>
#include <cstring>

#include "dirwait.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_fs.h"
#include "plat_proc.h"
#include "plat_time.h"

namespace {

constexpr std::uint32_t kSliceMs = 200;
// An unreadable request is looked at again after this long, not at every slice.
constexpr double kRetryUnreadableSeconds = 1.0;
// New and renamed files, and files whose writer has closed them. Not every
// write: a log kept under RootPath would wake the watch with each record,
// and the wait's own record of the wake-up would wake it again.
constexpr std::uint32_t kWatchFilter = FILE_NOTIFY_FILE_NAME | FILE_NOTIFY_LAST_WRITE;

bool g_watching = false;   // a directory watch on RootPath is open

// Milliseconds left until `deadline` (monotonic seconds).
std::uint32_t pause_Left(double deadline)
{
    const double left = (deadline - PLAT_MonotonicSeconds()) * 1000.0;
    return left <= 0.0 ? 0u : static_cast<std::uint32_t>(std::min(left, 4294967295.0));
}

bool pause_Exists(const char* name, bool readable)
{
    char path[512] = {};
    if (FILE_JoinPath(path, sizeof path, RootPath, name, nullptr) != 0) {
        return false;
    }
    return (readable ? PLAT_FsReadable(path) : PLAT_FsExists(path)) == 1;
}

// New work for the next pass: a request or a stop file that the last pass
// did not already see and leave behind.
bool pause_WorkPending(const PassLeftovers& left, double waited)
{
    if (!left.stopFile && pause_Exists(KMO_FILE_STOP, false)) {
        return true;
    }
    for (int k = 0; k < TerminalCount; ++k) {
        const Leftover was = left.terminal[k];
        if (was == Leftover::NotRemoved || (was == Leftover::Unreadable && waited < kRetryUnreadableSeconds)) {
            continue;
        }
        char name[KMO_TERMINAL_SIZE + 8] = {};
        const std::size_t n = strnlen(Terminals[k], KMO_TERMINAL_SIZE - 1);
        std::memcpy(name, Terminals[k], n);
        std::memcpy(name + n, "in.txt", sizeof "in.txt");
        if (pause_Exists(name, true)) {
            return true;
        }
    }
    return false;
}

// Sleeps out the pause in slices. With `work` (WaitMode 1 whose watch failed)
// it looks at the directory after every slice instead, so that a request or
// the stop file still ends the pause, only a slice later than a watch would.
void pause_Sleep(double deadline, const PassLeftovers* work = nullptr)
{
    const double start = PLAT_MonotonicSeconds();
    std::uint32_t left;
    while (PLAT_StopSignal() == 0 && (left = pause_Left(deadline)) > 0) {
        PLAT_SleepMs(std::min(left, kSliceMs));
        client_HealthTick();
        if (work != nullptr && pause_WorkPending(*work, PLAT_MonotonicSeconds() - start)) {
            return;
        }
    }
}

// False when the watch is not usable; the caller then looks at the directory
// slice by slice instead.
bool pause_Watch(double deadline, const PassLeftovers& left)
{
    const double start = PLAT_MonotonicSeconds();
    std::uint32_t ms;
    while (PLAT_StopSignal() == 0 && (ms = pause_Left(deadline)) > 0) {
        const std::uint32_t slice = std::min(ms, kSliceMs);
        int rc;
        if (!g_watching) {
            rc = FILE_DirWaitFirst(RootPath, slice, kWatchFilter);
            g_watching = rc == 0;
        } else {
            rc = FILE_DirWaitNext(slice);
        }
        client_HealthTick();
        if (rc != 0) {
            FILE_DirWaitClose();
            g_watching = false;
            return false;
        }
        // A change and a time-out look alike, and a change may be our own
        // reply or log; the directory tells whether there is work.
        if (pause_WorkPending(left, PLAT_MonotonicSeconds() - start)) {
            return true;
        }
    }
    return true;
}

}  // namespace

void client_Pause(const PassLeftovers& left)
{
    const double deadline = PLAT_MonotonicSeconds() + static_cast<std::uint32_t>(WaitTimeout) / 1000.0;
    if (WaitMode != 1) {
        pause_Sleep(deadline);
        return;
    }
    if (!pause_Watch(deadline, left)) {
        LOG_Write(37, "KMOClient_Process no se pudo vigilar el directorio [%s], se espera sin vigilar", RootPath);
        pause_Sleep(deadline, &left);
    }
}

void client_PauseEnd()
{
    FILE_DirWaitClose();
    g_watching = false;
}
