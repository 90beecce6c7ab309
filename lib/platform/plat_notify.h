// Notifications to the service manager that started the process: readiness,
// status, watchdog keep-alives, stopping. Without a service manager (no
// NOTIFY_SOCKET here; not a service on Windows) every call does nothing.
#pragma once

#include <cstdint>

// Sends one message ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1",
// several separated by '\n') to the service manager in one datagram.
// 1 sent, 0 when there is no service manager to tell, -1 when it could not
// be sent (an address that cannot be used, a refused send).
int PLAT_NotifySend(const char* message);

// The keep-alive interval that the service manager asks of this process, in
// microseconds (WATCHDOG_USEC, when WATCHDOG_PID is absent or names this
// process); 0 when it asks for none.
std::uint64_t PLAT_NotifyWatchdogUsec();
