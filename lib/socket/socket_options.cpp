// Socket options of one connection and the connectivity test.
#include <cstdint>

#include "kmo_socket.h"
#include "log.h"
#include "plat_sock.h"
#include "socket_internal.h"

namespace {

// The connectivity test reports at the client's levels, not the layer's.
constexpr int kTestLogError = 17;
constexpr int kTestLogDebug = 77;
// A probe that gets no answer within this is taken as failed.
constexpr int kTestBoundMs = 5000;

// Sets one option to 1 (an int: Linux wants a full int, not the single byte
// that Winsock accepts); logs `failText` with the socket when that fails.
int socket_SwitchOn(PLAT_Sock s, PLAT_SockOpt opt, const char* failText)
{
    const int rc = socket_Holds(s) ? PLAT_SockSetOption(s, opt, 1) : -1;
    if (rc < 0) {
        LOG_Write(SOCKET_LOG_ERROR, failText, socket_LogId(s));
        return -1;
    }
    return 0;
}

}  // namespace

int SOCKET_SetOption(int id, int mode)
{
    int result = 0;
    LOG_Write(SOCKET_LOG_INFO, "SOCKET_SetOption Entry");
    const PLAT_Sock s = socket_SlotSocket(id);
    if (mode == 0 &&
        socket_SwitchOn(s, PLAT_SOCKOPT_REUSEADDR, "SOCKET_SetOption seteando opcion de reuso en socket [%d]") != 0) {
        result = -1;
    }
    if ((mode == 0 || mode == 1) &&
        socket_SwitchOn(s, PLAT_SOCKOPT_KEEPALIVE, "SOCKET_SetOption seteando opcion keepalive en socket [%d]") != 0) {
        result = -1;
    }
    if ((mode >= 0 && mode <= 2) &&
        socket_SwitchOn(s, PLAT_SOCKOPT_NODELAY, "SOCKET_SetOption seteando opcion nodelay en socket [%d]") != 0) {
        result = -1;
    }
    LOG_Write(SOCKET_LOG_INFO, "SOCKET_SetOption Exit");
    return result;
}

std::uint16_t SOCKET_TestConnection(const char* address)
{
    const char* shown = address != nullptr ? address : "(null)";
    LOG_Write(SOCKET_LOG_DEBUG, "SOCKET_TestConnection Entry TestHost=[%s]", shown);
    std::uint16_t result = 0;
    // A bound of its own, whatever the caller's: a network that drops packets
    // must not hold the probe. The caller's bound is handed back afterwards.
    const SocketBound callers = socket_BoundSave();
    SOCKET_SetDeadline(kTestBoundMs);
    const int id = SOCKET_Open(address);
    socket_BoundRestore(callers);
    if (id == -1) {
        LOG_Write(kTestLogError, "SOCKET_TestConnection conectandose a [%s]", shown);
    } else {
        LOG_Write(kTestLogDebug, "SOCKET_TestConnection conectado a [%s] OK", shown);
        SOCKET_Close(id, 2);
        result = 1;
    }
    LOG_Write(SOCKET_LOG_DEBUG, "SOCKET_TestConnection Exit Retorna %s", result ? "TRUE" : "FALSE");
    return result;
}
