// POSIX side of plat_proc.h: the stop signals (the option parser is shared by
// every platform, in getopt.cpp).
#include "plat_proc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;
volatile std::sig_atomic_t g_wakeSet = 0;
sockaddr_in g_wake{};   // written before g_wakeSet, read only by the handler

volatile std::sig_atomic_t g_reopen = 0;

extern "C" void proc_OnReopenSignal(int)
{
    g_reopen = 1;
}

// Only async-signal-safe calls here: socket, connect, close.
extern "C" void proc_OnStopSignal(int sig)
{
    const int savedErrno = errno;
    if (g_stopSignal == 0) {
        g_stopSignal = sig;
    }
    if (g_wakeSet != 0) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s >= 0) {
            // Loopback completes the handshake at once; the connection waits
            // in the listener's queue even after this close.
            (void)::connect(s, reinterpret_cast<const sockaddr*>(&g_wake), sizeof g_wake);
            (void)::close(s);
        }
    }
    errno = savedErrno;
}

}  // namespace

int PLAT_InstallStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = proc_OnStopSignal;
    sigemptyset(&sa.sa_mask);
    // Restart interrupted file and socket calls; sleeps and polls still end early.
    sa.sa_flags = SA_RESTART;
    int rc = 0;
    if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) {
        rc = -1;
    }
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    if (sigaction(SIGPIPE, &ign, nullptr) != 0) {
        rc = -1;
    }
    return rc;
}

int PLAT_StopSignalsWakeAt(const char* dotted, int port)
{
    if (dotted == nullptr || port <= 0 || port > 65535) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, dotted, &addr.sin_addr) != 1) {
        return -1;
    }
    g_wakeSet = 0;
    g_wake = addr;
    g_wakeSet = 1;
    return 0;
}

int PLAT_StopSignal()
{
    return static_cast<int>(g_stopSignal);
}

int PLAT_StopRequested()
{
    return g_stopSignal != 0 ? 1 : 0;
}

void PLAT_ClearStopSignal()
{
    g_stopSignal = 0;
}

int PLAT_RaiseStop(int sig)
{
    return std::raise(sig) == 0 ? 0 : -1;
}

const char* PLAT_SignalName(int sig)
{
    switch (sig) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    default:
        return "senal desconocida";
    }
}

int PLAT_InstallReopenSignal()
{
    struct sigaction sa {};
    sa.sa_handler = proc_OnReopenSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGHUP, &sa, nullptr) == 0 ? 0 : -1;
}

int PLAT_TakeReopenRequest()
{
    if (g_reopen == 0) {
        return 0;
    }
    g_reopen = 0;
    return 1;
}

int PLAT_OpenHandleCount()
{
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/self/fd", ec);
    if (ec) {
        return -1;
    }
    int n = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) {
            return -1;
        }
        ++n;
    }
    return n;
}
