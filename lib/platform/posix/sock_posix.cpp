// POSIX side of plat_sock.h.
#include "plat_sock.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/types.h>

long PLAT_SockSend(PLAT_Sock s, const void* data, std::size_t len)
{
    ssize_t n;
    do {
        n = ::send(s, data, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<long>(n);
}

long PLAT_SockRecv(PLAT_Sock s, void* buf, std::size_t len)
{
    ssize_t n;
    do {
        n = ::recv(s, buf, len, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<long>(n);
}
