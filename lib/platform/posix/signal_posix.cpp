// POSIX side of plat_signal.h.
#include "plat_signal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_wakeSet = 0;
sockaddr_in g_wake{};   // written before g_wakeSet, read only by the handler

// Only async-signal-safe calls here: socket, connect, close.
void signal_OnStop(int)
{
    const int savedErrno = errno;
    g_stop = 1;
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

int PLAT_StopSignalsCatch()
{
    struct sigaction sa{};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;   // no SA_RESTART: a blocking wait returns with EINTR
    sa.sa_handler = signal_OnStop;
    int result = 0;
    if (::sigaction(SIGTERM, &sa, nullptr) != 0) result = -1;
    if (::sigaction(SIGINT, &sa, nullptr) != 0) result = -1;

    struct sigaction ign{};
    sigemptyset(&ign.sa_mask);
    ign.sa_handler = SIG_IGN;
    if (::sigaction(SIGPIPE, &ign, nullptr) != 0) result = -1;
    return result;
}

int PLAT_StopSignalsWakeAt(const char* dotted, int port)
{
    if (dotted == nullptr || port <= 0 || port > 65535) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, dotted, &addr.sin_addr) != 1) return -1;
    g_wakeSet = 0;
    g_wake = addr;
    g_wakeSet = 1;
    return 0;
}

int PLAT_StopRequested()
{
    return g_stop != 0 ? 1 : 0;
}
