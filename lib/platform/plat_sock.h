// IPv4 TCP sockets, the platform's way (BSD sockets here, Winsock on Windows).
// Blocking calls only; a send never raises SIGPIPE; EINTR is retried.
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
