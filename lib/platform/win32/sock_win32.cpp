// Win32 side of plat_sock.h: Winsock 2.2. Each start-up of the layer is one
// WSAStartup and each shutdown one WSACleanup, so Winsock keeps the count. No
// socket is inherited by child processes.
#define FD_SETSIZE 256   // above the 64 members of the layer's socket sets
#include "plat_sock.h"
#include "plat_fault.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace {

// Start-ups minus shutdowns, so that a shutdown without a start-up does not
// take Winsock away from another part of the process.
std::atomic<int> g_startups{0};

sockaddr_in sock_Address(std::uint32_t addr, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return sa;
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

int sock_Len(std::size_t len)
{
    return len > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(len);
}

PLAT_Sock sock_NotInherited(SOCKET s)
{
    if (s != INVALID_SOCKET) {
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s == INVALID_SOCKET ? PLAT_SOCK_BAD : static_cast<PLAT_Sock>(s);
}

}  // namespace

long PLAT_SockSend(PLAT_Sock s, const void* data, std::size_t len)
{
    if (PLAT_FaultHit(PLAT_FAULT_SEND)) {
        return -1;
    }
    const int n = ::send(static_cast<SOCKET>(s), static_cast<const char*>(data), sock_Len(len), 0);
    return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

long PLAT_SockRecv(PLAT_Sock s, void* buf, std::size_t len)
{
    if (PLAT_FaultHit(PLAT_FAULT_RECV)) {
        return -1;
    }
    const int n = ::recv(static_cast<SOCKET>(s), static_cast<char*>(buf), sock_Len(len), 0);
    return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

int PLAT_SockStartup()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return -1;
    }
    g_startups.fetch_add(1);
    return 0;
}

void PLAT_SockCleanup()
{
    int n = g_startups.load();
    while (n > 0) {
        if (g_startups.compare_exchange_weak(n, n - 1)) {
            WSACleanup();
            return;
        }
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
    if (rc != 0) {
        // getaddrinfo reports the resolver's own Winsock codes.
        switch (WSAGetLastError() != 0 ? WSAGetLastError() : rc) {
        case WSANOTINITIALISED: return PLAT_RESOLVE_NOT_STARTED;
        case WSAHOST_NOT_FOUND: return PLAT_RESOLVE_HOST_NOT_FOUND;
        case WSATRY_AGAIN: return PLAT_RESOLVE_TRY_AGAIN;
        case WSANO_RECOVERY: return PLAT_RESOLVE_NO_RECOVERY;
        case WSANO_DATA: return PLAT_RESOLVE_NO_DATA;
        default: return PLAT_RESOLVE_OTHER;
        }
    }
    int result = PLAT_RESOLVE_NO_DATA;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
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
    const auto* b = reinterpret_cast<const unsigned char*>(&addr);
    std::snprintf(out, cap, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

PLAT_Sock PLAT_SockTcp()
{
    if (g_startups.load() <= 0) {
        return PLAT_SOCK_BAD;
    }
    return sock_NotInherited(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

int PLAT_SockConnect(PLAT_Sock s, std::uint32_t addr, std::uint16_t port)
{
    if (PLAT_FaultHit(PLAT_FAULT_CONNECT)) {
        return -1;
    }
    const sockaddr_in sa = sock_Address(addr, port);
    if (::connect(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        return 0;
    }
    // Winsock says "would block" where BSD sockets say "in progress".
    return WSAGetLastError() == WSAEWOULDBLOCK ? PLAT_SOCK_IN_PROGRESS : -1;
}

int PLAT_SockBind(PLAT_Sock s, std::uint32_t addr, std::uint16_t port)
{
    const sockaddr_in sa = sock_Address(addr, port);
    return ::bind(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int PLAT_SockListen(PLAT_Sock s, int backlog)
{
    return ::listen(static_cast<SOCKET>(s), backlog) == 0 ? 0 : -1;
}

PLAT_Sock PLAT_SockAccept(PLAT_Sock s, std::uint32_t* peer, std::uint16_t* peerPort)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    const SOCKET c = ::accept(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &len);
    const PLAT_Sock result = sock_NotInherited(c);
    if (result == PLAT_SOCK_BAD) {
        return PLAT_SOCK_BAD;
    }
    if (peer != nullptr) {
        *peer = sa.sin_addr.s_addr;
    }
    if (peerPort != nullptr) {
        *peerPort = ntohs(sa.sin_port);
    }
    return result;
}

int PLAT_SockShutdown(PLAT_Sock s, int how)
{
    int mode;
    switch (how) {
    case 0: mode = SD_RECEIVE; break;
    case 1: mode = SD_SEND; break;
    case 2: mode = SD_BOTH; break;
    default: return -1;
    }
    return ::shutdown(static_cast<SOCKET>(s), mode) == 0 ? 0 : -1;
}

int PLAT_SockClose(PLAT_Sock s)
{
    return ::closesocket(static_cast<SOCKET>(s)) == 0 ? 0 : -1;
}

int PLAT_SockSetOption(PLAT_Sock s, PLAT_SockOpt opt, int value)
{
    int level = 0;
    int name = 0;
    if (!sock_OptionName(opt, &level, &name)) {
        return -1;
    }
    return ::setsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
                   SOCKET_ERROR
               ? -1
               : 0;
}

int PLAT_SockGetOption(PLAT_Sock s, PLAT_SockOpt opt, int* value)
{
    int level = 0;
    int name = 0;
    if (!sock_OptionName(opt, &level, &name)) {
        return -1;
    }
    int v = 0;   // some options come back as a single byte
    int len = sizeof v;
    if (::getsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<char*>(&v), &len) == SOCKET_ERROR) {
        return -1;
    }
    *value = v != 0 ? 1 : 0;
    return 0;
}

int PLAT_SockLocalPort(PLAT_Sock s)
{
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        sa.sin_family != AF_INET) {
        return -1;
    }
    return ntohs(sa.sin_port);
}

int PLAT_SockWaitReadable(PLAT_Sock* socks, std::uint32_t* count, PLAT_Sock bound)
{
    fd_set set;
    FD_ZERO(&set);
    for (std::uint32_t i = 0; i < *count; ++i) {
        if (socks[i] != PLAT_SOCK_BAD && socks[i] < bound && set.fd_count < FD_SETSIZE) {
            FD_SET(static_cast<SOCKET>(socks[i]), &set);
        }
    }
    if (set.fd_count == 0) {
        return -1;   // select fails on empty sets
    }
    if (::select(0, &set, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
        return -1;   // a member that is not open gives WSAENOTSOCK
    }
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < *count; ++i) {
        if (socks[i] != PLAT_SOCK_BAD && FD_ISSET(static_cast<SOCKET>(socks[i]), &set)) {
            socks[kept++] = socks[i];
        }
    }
    *count = kept;
    return 0;
}

int PLAT_SockSetBlocking(PLAT_Sock s, int blocking)
{
    u_long nonBlocking = blocking != 0 ? 0 : 1;
    return ::ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &nonBlocking) == 0 ? 0 : -1;
}

int PLAT_SockConnectResult(PLAT_Sock s)
{
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) ==
            SOCKET_ERROR ||
        err != 0) {
        return -1;
    }
    return 0;
}

// select is not ended early by anything but the socket, so one call covers
// the whole wait. A connect that failed shows in the exception set, not in
// the write set: both count as "the connect has ended".
int PLAT_SockWait(PLAT_Sock s, PLAT_SockReady what, int timeoutMs)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(static_cast<SOCKET>(s), &ready);
    const bool writable = what == PLAT_SOCK_WRITABLE;
    if (writable) {
        FD_SET(static_cast<SOCKET>(s), &failed);
    }
    const int ms = timeoutMs > 0 ? timeoutMs : 0;
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    const int n =
        ::select(0, writable ? nullptr : &ready, writable ? &ready : nullptr, writable ? &failed : nullptr, &tv);
    if (n == SOCKET_ERROR) {
        return -1;   // a socket that is not open gives WSAENOTSOCK
    }
    return n > 0 ? 1 : 0;
}
