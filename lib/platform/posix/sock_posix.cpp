// POSIX side of plat_sock.h.
#include "plat_sock.h"
#include "plat_fault.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// Start-ups minus shutdowns, as Winsock counts them.
std::atomic<int> g_startups{0};

sockaddr_in sock_Address(std::uint32_t addr, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return sa;
}

// A connect interrupted by a signal goes on in the background; wait for it to
// finish instead of connecting again (which would fail with EALREADY).
int sock_FinishConnect(int s)
{
    pollfd p{};
    p.fd = s;
    p.events = POLLOUT;
    int n;
    do {
        n = ::poll(&p, 1, -1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        return -1;
    }
    return 0;
}

// A socket must not take a standard descriptor that the process started
// without: 0 is the table's "taken, not yet filled" mark, and 1 or 2 would
// carry the records of a log kept on standard output into the connection.
// Such a descriptor is moved up (close-on-exec kept); -1 if that fails.
int sock_AboveStandard(int fd)
{
    if (fd < 0 || fd > 2) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

bool sock_OptionName(PLAT_SockOpt opt, int* level, int* name)
{
    switch (opt) {
    case PLAT_SOCKOPT_REUSEADDR: *level = SOL_SOCKET; *name = SO_REUSEADDR; return true;
    case PLAT_SOCKOPT_KEEPALIVE: *level = SOL_SOCKET; *name = SO_KEEPALIVE; return true;
    case PLAT_SOCKOPT_NODELAY: *level = IPPROTO_TCP; *name = TCP_NODELAY; return true;
    }
    return false;
}

}  // namespace

long PLAT_SockSend(PLAT_Sock s, const void* data, std::size_t len)
{
    if (PLAT_FaultHit(PLAT_FAULT_SEND)) return -1;
    ssize_t n;
    do {
        n = ::send(s, data, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<long>(n);
}

long PLAT_SockRecv(PLAT_Sock s, void* buf, std::size_t len)
{
    if (PLAT_FaultHit(PLAT_FAULT_RECV)) return -1;
    ssize_t n;
    do {
        n = ::recv(s, buf, len, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<long>(n);
}

int PLAT_SockStartup()
{
    g_startups.fetch_add(1);
    return 0;
}

void PLAT_SockCleanup()
{
    int n = g_startups.load();
    while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1)) {
    }
}

int PLAT_SockResolveIPv4(const char* host, std::uint32_t* addr)
{
    if (g_startups.load() <= 0) {
        return PLAT_RESOLVE_NOT_STARTED;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host, nullptr, &hints, &list);
    switch (rc) {
    case 0: break;
    case EAI_NONAME: return PLAT_RESOLVE_HOST_NOT_FOUND;
    case EAI_AGAIN: return PLAT_RESOLVE_TRY_AGAIN;
    case EAI_FAIL: return PLAT_RESOLVE_NO_RECOVERY;
#if defined(EAI_NODATA)
    case EAI_NODATA: return PLAT_RESOLVE_NO_DATA;
#endif
#if defined(EAI_ADDRFAMILY)
    case EAI_ADDRFAMILY: return PLAT_RESOLVE_NO_DATA;
#endif
    default: return PLAT_RESOLVE_OTHER;
    }
    int result = PLAT_RESOLVE_NO_DATA;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr &&
            ai->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
            sockaddr_in sa;
            std::memcpy(&sa, ai->ai_addr, sizeof sa);
            *addr = sa.sin_addr.s_addr;
            result = 0;
            break;
        }
    }
    ::freeaddrinfo(list);
    return result;
}

int PLAT_SockParseIPv4(const char* dotted, std::uint32_t* addr)
{
    in_addr a{};
    if (dotted == nullptr || ::inet_pton(AF_INET, dotted, &a) != 1) {
        return -1;
    }
    *addr = a.s_addr;
    return 0;
}

void PLAT_SockFormatIPv4(std::uint32_t addr, char* out, std::size_t cap)
{
    if (cap == 0) {
        return;
    }
    in_addr a{};
    a.s_addr = addr;
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &a, text, sizeof text) == nullptr) {
        text[0] = '\0';
    }
    std::snprintf(out, cap, "%s", text);
}

PLAT_Sock PLAT_SockTcp()
{
    if (g_startups.load() <= 0) {
        return PLAT_SOCK_BAD;
    }
    const int s = sock_AboveStandard(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return s < 0 ? PLAT_SOCK_BAD : s;
}

int PLAT_SockConnect(PLAT_Sock s, std::uint32_t addr, std::uint16_t port)
{
    if (PLAT_FaultHit(PLAT_FAULT_CONNECT)) return -1;
    const sockaddr_in sa = sock_Address(addr, port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return 0;
    }
    if (errno == EINPROGRESS) {
        return PLAT_SOCK_IN_PROGRESS;
    }
    return errno == EINTR ? sock_FinishConnect(s) : -1;
}

int PLAT_SockBind(PLAT_Sock s, std::uint32_t addr, std::uint16_t port)
{
    // A listener restarted on its port must not wait for the connections of
    // its predecessor to leave TIME_WAIT (Winsock does not make it wait).
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in sa = sock_Address(addr, port);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int PLAT_SockListen(PLAT_Sock s, int backlog)
{
    return ::listen(s, backlog) == 0 ? 0 : -1;
}

PLAT_Sock PLAT_SockAccept(PLAT_Sock s, std::uint32_t* peer, std::uint16_t* peerPort)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int c;
    do {
        len = sizeof sa;
        c = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    c = sock_AboveStandard(c);
    if (c < 0) {
        return PLAT_SOCK_BAD;
    }
    if (peer != nullptr) {
        *peer = sa.sin_addr.s_addr;
    }
    if (peerPort != nullptr) {
        *peerPort = ntohs(sa.sin_port);
    }
    return c;
}

int PLAT_SockShutdown(PLAT_Sock s, int how)
{
    int mode;
    switch (how) {
    case 0: mode = SHUT_RD; break;
    case 1: mode = SHUT_WR; break;
    case 2: mode = SHUT_RDWR; break;
    default: errno = EINVAL; return -1;
    }
    return ::shutdown(s, mode) == 0 ? 0 : -1;
}

int PLAT_SockClose(PLAT_Sock s)
{
    // Not retried after EINTR: the descriptor is gone by then on Linux, and the
    // number may already belong to another thread's new descriptor.
    return ::close(s) == 0 ? 0 : -1;
}

int PLAT_SockSetOption(PLAT_Sock s, PLAT_SockOpt opt, int value)
{
    int level = 0;
    int name = 0;
    if (!sock_OptionName(opt, &level, &name)) {
        return -1;
    }
    return ::setsockopt(s, level, name, &value, sizeof value) < 0 ? -1 : 0;
}

int PLAT_SockGetOption(PLAT_Sock s, PLAT_SockOpt opt, int* value)
{
    int level = 0;
    int name = 0;
    if (!sock_OptionName(opt, &level, &name)) {
        return -1;
    }
    int v = 0;
    socklen_t len = sizeof v;
    if (::getsockopt(s, level, name, &v, &len) != 0) {
        return -1;
    }
    *value = v;
    return 0;
}

int PLAT_SockLocalPort(PLAT_Sock s)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) {
        return -1;
    }
    return ntohs(sa.sin_port);
}

int PLAT_SockWaitReadable(PLAT_Sock* socks, std::uint32_t* count, PLAT_Sock bound)
{
    // poll rather than select: select cannot watch descriptors from 1024 up.
    std::vector<pollfd> fds;
    fds.reserve(*count);
    for (std::uint32_t i = 0; i < *count; ++i) {
        if (socks[i] >= 0 && socks[i] < bound) {
            pollfd p{};
            p.fd = socks[i];
            p.events = POLLIN;
            fds.push_back(p);
        }
    }
    if (fds.empty()) {
        return -1;   // select fails on empty sets too; poll would wait for ever
    }
    int n;
    do {
        n = ::poll(fds.data(), fds.size(), -1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }
    std::uint32_t kept = 0;
    for (const pollfd& p : fds) {
        if ((p.revents & POLLNVAL) != 0) {
            return -1;   // a member that is not open, as select's EBADF
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            socks[kept++] = p.fd;
        }
    }
    *count = kept;
    return 0;
}

int PLAT_SockSetBlocking(PLAT_Sock s, int blocking)
{
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    const int wanted = blocking != 0 ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(s, F_SETFL, wanted) == 0 ? 0 : -1;
}

int PLAT_SockConnectResult(PLAT_Sock s)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        return -1;
    }
    return 0;
}

int PLAT_SockWait(PLAT_Sock s, PLAT_SockReady what, int timeoutMs)
{
    // The end is fixed once, so that signals cannot stretch the wait.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long end = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + (timeoutMs > 0 ? timeoutMs : 0);
    pollfd p{};
    p.fd = s;
    p.events = what == PLAT_SOCK_READABLE ? POLLIN : POLLOUT;
    for (;;) {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left = end - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
        const int n = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n > 0) {
            return (p.revents & POLLNVAL) != 0 ? -1 : 1;
        }
        if (n == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}
