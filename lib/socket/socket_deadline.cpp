// The time bound of a thread's waits: one instant, set by the caller, by which
// every connect, send and receive of that thread must have ended.
#include "kmo_socket.h"
#include "log.h"
#include "plat_time.h"
#include "socket_internal.h"

namespace {

// Per thread: in multithreaded mode each thread bounds its own exchanges.
thread_local SocketBound t_bound;
thread_local bool t_timedOut = false;

}  // namespace

int SOCKET_SetDeadline(int milliseconds)
{
    t_bound = SocketBound{};
    if (milliseconds > 0) {
        t_bound.start = PLAT_MonotonicSeconds();
        t_bound.end = t_bound.start + milliseconds / 1000.0;
    }
    t_timedOut = false;
    return 0;
}

int SOCKET_TimedOut()
{
    return t_timedOut ? 1 : 0;
}

int socket_TimeLeftMs()
{
    if (t_bound.end == 0) {
        return -1;
    }
    const double left = t_bound.end - PLAT_MonotonicSeconds();
    return left > 0 ? static_cast<int>(left * 1000.0 + 0.999) : 0;
}

int socket_TimeSpentMs()
{
    return t_bound.end == 0 ? 0 : static_cast<int>((PLAT_MonotonicSeconds() - t_bound.start) * 1000.0);
}

void socket_NoteTimedOut(bool timedOut, const char* text)
{
    t_timedOut = timedOut;
    if (timedOut) {
        LOG_Write(SOCKET_LOG_ERROR, text, socket_TimeSpentMs());
    }
}

SocketBound socket_BoundSave()
{
    return t_bound;
}

void socket_BoundRestore(const SocketBound& bound)
{
    t_bound = bound;
}
