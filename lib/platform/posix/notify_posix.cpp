// POSIX side of plat_notify.h: the service manager's datagram protocol. The
// socket is named by NOTIFY_SOCKET: a path, or '@' and an abstract name.
#include "plat_notify.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Fills `addr` from the NOTIFY_SOCKET text; its length, or 0 when the text
// names no socket this side can reach.
socklen_t notify_Address(const char* text, sockaddr_un* addr)
{
    const std::string_view name(text);
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (name.size() < 2 || name.size() > sizeof addr->sun_path || (name[0] != '/' && name[0] != '@')) {
        return 0;
    }
    if (name[0] == '/' && name.size() == sizeof addr->sun_path) {
        return 0;   // no room for the terminating zero of a path
    }
    std::memcpy(addr->sun_path, name.data(), name.size());
    if (name[0] == '@') {
        addr->sun_path[0] = '\0';   // abstract: the length bounds the name
        return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    }
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
}

}  // namespace

int PLAT_NotifySend(const char* message)
{
    const char* text = std::getenv("NOTIFY_SOCKET");
    if (text == nullptr || text[0] == '\0') {
        return 0;
    }
    if (message == nullptr) {
        return -1;
    }
    sockaddr_un addr;
    const socklen_t len = notify_Address(text, &addr);
    if (len == 0) {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    ssize_t sent;
    do {
        sent = ::sendto(fd, message, std::strlen(message), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr),
                        len);
    } while (sent < 0 && errno == EINTR);
    ::close(fd);
    return sent == static_cast<ssize_t>(std::strlen(message)) ? 1 : -1;
}

std::uint64_t PLAT_NotifyWatchdogUsec()
{
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (usec == nullptr || usec[0] < '0' || usec[0] > '9') {
        return 0;
    }
    const char* pid = std::getenv("WATCHDOG_PID");
    if (pid != nullptr && pid[0] != '\0' && std::strtoll(pid, nullptr, 10) != static_cast<long long>(::getpid())) {
        return 0;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(usec, &end, 10);
    return end != nullptr && *end == '\0' ? static_cast<std::uint64_t>(value) : 0;
}
