// IPv4 TCP sockets, the platform's way (BSD sockets here, Winsock on Windows).
// Blocking calls only; a send never raises SIGPIPE; EINTR is retried; every
// descriptor is created close-on-exec and never as 0, 1 or 2 (a process started
// with those closed keeps them free). Addresses are IPv4 in network byte order.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
using PLAT_Sock = std::uintptr_t;   // SOCKET
inline constexpr PLAT_Sock PLAT_SOCK_BAD = ~static_cast<PLAT_Sock>(0);
#else
using PLAT_Sock = int;
inline constexpr PLAT_Sock PLAT_SOCK_BAD = -1;
#endif

// Bytes accepted by one send, or -1 on failure.
long PLAT_SockSend(PLAT_Sock s, const void* data, std::size_t len);

// Bytes delivered by one receive, 0 when the peer closed in order, -1 on failure.
long PLAT_SockRecv(PLAT_Sock s, void* buf, std::size_t len);

// Socket library start-up and shutdown, counted as Winsock counts them: the
// library is started while there are more start-ups than shutdowns. While it is
// not started, name resolution gives PLAT_RESOLVE_NOT_STARTED and socket
// creation fails. Startup returns 0, or -1.
int PLAT_SockStartup();
void PLAT_SockCleanup();

// Resolver outcomes, in the numbering of the Winsock resolver.
inline constexpr int PLAT_RESOLVE_NOT_STARTED = 10093;
inline constexpr int PLAT_RESOLVE_HOST_NOT_FOUND = 11001;
inline constexpr int PLAT_RESOLVE_TRY_AGAIN = 11002;
inline constexpr int PLAT_RESOLVE_NO_RECOVERY = 11003;
inline constexpr int PLAT_RESOLVE_NO_DATA = 11004;
inline constexpr int PLAT_RESOLVE_OTHER = 1;   // any failure without a row of its own

// Resolves a host name or dotted address to its first IPv4 address. Returns 0,
// or one of the PLAT_RESOLVE_* codes (then *addr is untouched).
int PLAT_SockResolveIPv4(const char* host, std::uint32_t* addr);

// Reads strict dotted-decimal text ("127.0.0.1"). Returns 0, or -1.
int PLAT_SockParseIPv4(const char* dotted, std::uint32_t* addr);

// Writes the dotted-decimal text of an address into out (16 bytes are enough).
void PLAT_SockFormatIPv4(std::uint32_t addr, char* out, std::size_t cap);

// A blocking IPv4 stream socket, or PLAT_SOCK_BAD.
PLAT_Sock PLAT_SockTcp();

// Each returns 0, or -1. The port is in host byte order. On a non-blocking
// socket (PLAT_SockSetBlocking) a connect that is under way returns
// PLAT_SOCK_IN_PROGRESS instead: wait for the socket to turn writable, then
// PLAT_SockConnectResult tells how it ended.
inline constexpr int PLAT_SOCK_IN_PROGRESS = 1;
int PLAT_SockConnect(PLAT_Sock s, std::uint32_t addr, std::uint16_t port);
int PLAT_SockBind(PLAT_Sock s, std::uint32_t addr, std::uint16_t port);
int PLAT_SockListen(PLAT_Sock s, int backlog);

// Waits for one connection; the new socket, or PLAT_SOCK_BAD. The peer's
// address and port go to *peer and *peerPort when those are not null.
PLAT_Sock PLAT_SockAccept(PLAT_Sock s, std::uint32_t* peer, std::uint16_t* peerPort);

// how: 0 stops receiving, 1 sending, 2 both. Returns 0, or -1.
int PLAT_SockShutdown(PLAT_Sock s, int how);

// Closes the socket exactly once (never retried). Returns 0, or -1.
int PLAT_SockClose(PLAT_Sock s);

enum PLAT_SockOpt {
    PLAT_SOCKOPT_REUSEADDR,   // socket level
    PLAT_SOCKOPT_KEEPALIVE,   // socket level
    PLAT_SOCKOPT_NODELAY,     // TCP level
};

// Sets or reads one option as an int. Each returns 0, or -1.
int PLAT_SockSetOption(PLAT_Sock s, PLAT_SockOpt opt, int value);
int PLAT_SockGetOption(PLAT_Sock s, PLAT_SockOpt opt, int* value);

// The local port of a bound socket (host byte order), or -1.
int PLAT_SockLocalPort(PLAT_Sock s);

// Waits without a time-out until at least one of the *count sockets whose value
// lies below `bound` is readable (data, a pending connection or the peer's
// close), then keeps only the readable ones, in their order, and lowers *count.
// Returns 0, or -1 (an empty list, a socket that is not open, or a failed wait).
int PLAT_SockWaitReadable(PLAT_Sock* socks, std::uint32_t* count, PLAT_Sock bound);

// Switches a socket between blocking (1, how every socket starts) and
// non-blocking mode (0). Returns 0, or -1.
int PLAT_SockSetBlocking(PLAT_Sock s, int blocking);

// How a connect begun on a non-blocking socket ended, once the socket has
// turned writable: 0 connected, -1 refused or failed.
int PLAT_SockConnectResult(PLAT_Sock s);

enum PLAT_SockReady {
    PLAT_SOCK_READABLE,   // data, the peer's close or an error is waiting
    PLAT_SOCK_WRITABLE,   // room to send, or a connect under way has ended
};

// Waits until one socket is ready as asked, for at most `timeoutMs`
// milliseconds (0 only looks). A signal neither ends the wait early nor
// lengthens it: the wait goes on for the time that is left. Returns 1 when
// ready, 0 when the time ran out, -1 on failure.
int PLAT_SockWait(PLAT_Sock s, PLAT_SockReady what, int timeoutMs);
