// Win32 side of plat_notify.h. A Windows service reports its state to the
// service control manager through its own handler, which this program does
// not register: there is no service manager to tell, so every message is
// dropped and no keep-alive is asked for.
#include "plat_notify.h"

int PLAT_NotifySend(const char* /*message*/)
{
    return 0;
}

std::uint64_t PLAT_NotifyWatchdogUsec()
{
    return 0;
}
