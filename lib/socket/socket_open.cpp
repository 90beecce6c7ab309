// Opening and closing connections: "host:port" connects, "port" listens.
#include <cstdint>
#include <cstring>
#include <utility>

#include "kmo_socket.h"
#include "log.h"
#include "plat_sock.h"
#include "socket_internal.h"

namespace {

constexpr std::size_t kHostSize = 64;   // 63 characters and the terminating zero
constexpr int kListenBacklog = 256;

const SocketLockTexts kOpenTake = {
    "SOCKET_Open OpenMutex",
    "SOCKET_Open OpenMutex OK",
    "SOCKET_Open WaitForSingleObject",
    "SOCKET_Open tengo el Mutex",
    "SOCKET_Open libere el Mutex HandleId=[%d]",
};

const SocketLockTexts kCloseFree = {
    "SOCKET_Close OpenMutex",
    "SOCKET_Close OpenMutex OK",
    "SOCKET_Close WaitForSingleObject",
    "SOCKET_Close tengo el Mutex",
    "SOCKET_Close libere el Mutex, free HandleId=[%d]",
};

// Owns a socket until the table takes it: every early return shuts it down and closes it.
class SockGuard {
public:
    explicit SockGuard(PLAT_Sock s) noexcept : s_(s) {}
    ~SockGuard()
    {
        if (s_ != PLAT_SOCK_BAD) {
            PLAT_SockShutdown(s_, 2);
            PLAT_SockClose(s_);
        }
    }
    SockGuard(const SockGuard&) = delete;
    SockGuard& operator=(const SockGuard&) = delete;
    PLAT_Sock get() const noexcept { return s_; }
    PLAT_Sock release() noexcept { return std::exchange(s_, PLAT_SOCK_BAD); }

private:
    PLAT_Sock s_;
};

bool socket_IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a number as atoi does (white space, a sign, digits up to the first
// other character); the arithmetic wraps at 32 bits instead of overflowing.
int socket_ReadPort(const char* text)
{
    while (socket_IsSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = (*text == '-');
        ++text;
    }
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int>(value);
}

void socket_LogResolveError(int code)
{
    const char* text;
    switch (code) {
    case 10004: text = "SOCKET_Open A blocking Windows Socket 1.1 call was canceled through WSACancelBlockingCall."; break;
    case 10014: text = "SOCKET_Open The name parameter is not a valid part of the user address space."; break;
    case 10036: text = "SOCKET_Open A blocking Windows Sockets 1.1 call is in progress, or the service provider is still processing a callback function."; break;
    case 10050: text = "SOCKET_Open gethostbyname The network subsystem has failed."; break;
    case PLAT_RESOLVE_NOT_STARTED: text = "SOCKET_Open gethostbyname A successful WSAStartup call must occur before using this function."; break;
    case PLAT_RESOLVE_HOST_NOT_FOUND: text = "SOCKET_Open Authoritative Answer Host not found."; break;
    case PLAT_RESOLVE_TRY_AGAIN: text = "SOCKET_Open Nonauthoritative Host not found, or server failure."; break;
    case PLAT_RESOLVE_NO_RECOVERY: text = "SOCKET_Open A nonrecoverable error occurred."; break;
    case PLAT_RESOLVE_NO_DATA: text = "SOCKET_Open Valid name, no data record of requested type."; break;
    default: text = "SOCKET_Open error de winsock desconocido"; break;
    }
    LOG_Write(SOCKET_LOG_ERROR, "%s", text);
}

// Takes a slot for a socket that is ready for use; -1 after logging.
int socket_TakeForOpen()
{
    const int id = socket_TakeSlot(kOpenTake);
    if (id == -1) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Open HANDLE_Get()");
    }
    return id;
}

int socket_Listen(SockGuard& sock, std::uint32_t addr, int port)
{
    if (PLAT_SockBind(sock.get(), addr, static_cast<std::uint16_t>(port)) != 0) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Open bind()");
        return -1;
    }
    if (PLAT_SockListen(sock.get(), kListenBacklog) != 0) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Open listen()");
        return -1;
    }
    const bool single = !socket_Multithreaded();
    if (single) {
        socket_ReadSetRegister(sock.get());
    }
    const int id = socket_TakeForOpen();
    if (id == -1) {
        if (single) {
            socket_ReadSetRemove(sock.get());
        }
        return -1;
    }
    socket_SlotStore(id, sock.release(), 1);
    LOG_Write(SOCKET_LOG_INFO, "%s", "");
    LOG_Write(SOCKET_LOG_INFO, "SOCKET_Open Esperando conexiones en el port %d ...", port);
    LOG_Write(SOCKET_LOG_INFO, "%s", "");
    return id;
}

// Connects within the thread's time bound: the connect runs non-blocking and
// is waited for; the socket is blocking again afterwards. 0, -1, or -2 when
// the time ran out.
int socket_ConnectBounded(PLAT_Sock s, std::uint32_t addr, int port, int leftMs)
{
    if (PLAT_SockSetBlocking(s, 0) != 0) {
        return -1;
    }
    int rc = PLAT_SockConnect(s, addr, static_cast<std::uint16_t>(port));
    if (rc == PLAT_SOCK_IN_PROGRESS) {
        const int ready = PLAT_SockWait(s, PLAT_SOCK_WRITABLE, leftMs);
        rc = ready == 1 ? PLAT_SockConnectResult(s) : (ready == 0 ? -2 : -1);
    }
    if (rc == 0 && PLAT_SockSetBlocking(s, 1) != 0) {
        rc = -1;
    }
    return rc;
}

int socket_Connect(SockGuard& sock, std::uint32_t addr, int port)
{
    const int leftMs = socket_TimeLeftMs();
    const int rc = leftMs < 0 ? PLAT_SockConnect(sock.get(), addr, static_cast<std::uint16_t>(port))
                              : socket_ConnectBounded(sock.get(), addr, port, leftMs);
    socket_NoteTimedOut(rc == -2, "SOCKET_Open connect() tiempo de espera agotado tras %d ms");
    if (rc == -2) {
        return -1;
    }
    if (rc != 0) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Open connect()");
        return -1;
    }
    const int id = socket_TakeForOpen();
    if (id == -1) {
        return -1;
    }
    LOG_Write(SOCKET_LOG_INFO, "SOCKET_Open Conectado");
    socket_SlotStore(id, sock.release(), 0);
    return id;
}

}  // namespace

int SOCKET_Open(const char* address)
{
    char host[kHostSize] = {};
    LOG_Write(SOCKET_LOG_INFO, "SOCKET_Open Entry");
    LOG_Write(SOCKET_LOG_INFO, "SOCKET_Open Name=[%s]", address != nullptr ? address : "(null)");
    if (address == nullptr || address[0] == '\0') {
        return -1;
    }

    // The port's digits end at the first comma anyway, so only the host part
    // needs cutting: it is everything before the first colon, commas included.
    const char* colon = std::strchr(address, ':');
    const bool server = (colon == nullptr);
    const char* portPart = address;
    if (!server) {
        const std::size_t hostLen = static_cast<std::size_t>(colon - address);
        if (hostLen >= kHostSize) {
            LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Open nombre de host demasiado largo (%zu caracteres)", hostLen);
            return -1;
        }
        std::memcpy(host, address, hostLen);
        portPart = colon + 1;
    }
    const int port = socket_ReadPort(portPart);

    std::uint32_t addr = socket_ListenAddress();
    if (!server) {
        const int code = socket_Resolve(host, &addr, socket_TimeLeftMs());
        socket_NoteTimedOut(code == SOCKET_RESOLVE_TIMED_OUT,
                            "SOCKET_Open resolviendo host tiempo de espera agotado tras %d ms");
        if (code == SOCKET_RESOLVE_TIMED_OUT) {
            LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Open resolviendo host [%s]", host);
            return -1;
        }
        if (code != 0) {
            socket_LogResolveError(code);
            LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Open resolviendo host [%s]", host);
            return -1;
        }
    }

    SockGuard sock(PLAT_SockTcp());
    if (sock.get() == PLAT_SOCK_BAD) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Open socket()");
        return -1;
    }
    return server ? socket_Listen(sock, addr, port) : socket_Connect(sock, addr, port);
}

int SOCKET_Close(int id, int how)
{
    const PLAT_Sock s = socket_SlotSocket(id);
    LOG_Write(SOCKET_LOG_DEBUG, "SOCKET_Close cerrando Id=[%d] Socket=[%d]", id, socket_LogId(s));
    if (!socket_Multithreaded()) {
        socket_ReadSetRemove(s);
    }
    // A free or unfilled slot holds no socket of ours (see socket_Holds).
    if (socket_Holds(s)) {
        PLAT_SockShutdown(s, how);
        PLAT_SockClose(s);
    }
    socket_FreeSlot(id, kCloseFree);
    return 0;
}

int SOCKET_LocalPort(int id)
{
    const PLAT_Sock s = socket_SlotSocket(id);
    if (!socket_Holds(s)) {
        return -1;
    }
    return PLAT_SockLocalPort(s);
}
