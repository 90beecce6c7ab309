// Sending and receiving on a connection; on a listening connection the receive
// accepts a new client instead.
#include <array>
#include <cstring>

#include "kmo_socket.h"
#include "log.h"
#include "plat_sock.h"
#include "socket_internal.h"

namespace {

// Taking a slot for an accepted client shares SOCKET_Open's texts except the last.
const SocketLockTexts kAcceptTake = {
    "SOCKET_Open OpenMutex",
    "SOCKET_Open OpenMutex OK",
    "SOCKET_Open WaitForSingleObject",
    "SOCKET_Open tengo el Mutex",
    "SOCKET_Open libere el Mutex ClientId=[%d]",
};

const SocketLockTexts kRefusedFree = {
    "SOCKET_Receive OpenMutex",
    "SOCKET_Receive OpenMutex OK",
    "SOCKET_Receive WaitForSingleObject",
    "SOCKET_Receive tengo el Mutex",
    "SOCKET_Receive libere el Mutex, free ClientId=[%d]",
};

int socket_Accept(PLAT_Sock listener, int* len)
{
    std::uint32_t peer = 0;
    const PLAT_Sock client = PLAT_SockAccept(listener, &peer, nullptr);
    if (client == PLAT_SOCK_BAD) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Receive accept()");
        return -1;
    }
    LOG_Write(SOCKET_LOG_INFO, "SOCKET_Receive accept OK Socket=[%d]", static_cast<int>(client));
    const bool single = !socket_Multithreaded();
    if (single) {
        socket_ReadSetRegister(client);
    }

    int result = socket_TakeSlot(kAcceptTake);
    if (result == -1) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Receive HANDLE_Get()");
    } else {
        socket_SlotStore(result, client, 0);
        char peerText[16] = {};
        PLAT_SockFormatIPv4(peer, peerText, sizeof peerText);
        LOG_Write(SOCKET_LOG_INFO,
                  "SOCKET_Receive Nueva conexion desde el cliente [%s] en el socket [%d] ClientId=[%d]",
                  peerText, socket_LogId(client), result);
        LOG_Write(SOCKET_LOG_INFO, "nueva funcionalidad");
        if (std::strcmp(peerText, socket_BarredPeer()) == 0) {
            LOG_Write(SOCKET_LOG_INFO, "conexion clandestina");
            socket_FreeSlot(result, kRefusedFree);
            result = -1;
        }
        *len = 0;
    }
    if (result == -1) {
        if (single) {
            socket_ReadSetRemove(client);
        }
        PLAT_SockShutdown(client, 2);
        PLAT_SockClose(client);
    }
    return result;
}

// Under the thread's time bound, waits for the socket to be ready; false when
// the time ran out (`timeoutText` is logged) or the wait failed (`failText`).
// Without a bound the blocking call itself waits, and this returns true at once.
bool socket_WaitBounded(PLAT_Sock s, PLAT_SockReady what, const char* timeoutText, const char* failText)
{
    const int leftMs = socket_TimeLeftMs();
    if (leftMs < 0) {
        return true;
    }
    const int ready = PLAT_SockWait(s, what, leftMs);
    socket_NoteTimedOut(ready == 0, timeoutText);
    if (ready == -1) {
        LOG_Write(SOCKET_LOG_ERROR, "%s", failText);
    }
    return ready == 1;
}

}  // namespace

int SOCKET_Send(int id, const char* data, int* len)
{
    const PLAT_Sock s = socket_SlotSocket(id);
    if (!socket_Holds(s)) {
        *len = 0;
        return -1;
    }
    const int want = *len;
    int sent = 0;
    bool ok = false;
    while (sent < want) {
        if (!socket_WaitBounded(s, PLAT_SOCK_WRITABLE, "SOCKET_Send enviando tiempo de espera agotado tras %d ms",
                                "SOCKET_Send enviando")) {
            ok = false;
            break;
        }
        const long n = PLAT_SockSend(s, data + sent, static_cast<std::size_t>(want - sent));
        // A send that takes nothing would be asked again for ever.
        if (n <= 0) {
            LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Send enviando");
            ok = false;
            break;
        }
        ok = true;
        sent += static_cast<int>(n);
    }
    *len = sent;
    return ok ? 0 : -1;
}

int SOCKET_Receive(int id, char* buf, int size, int* len)
{
    LOG_Write(SOCKET_LOG_INFO, "SOCKET_Receive Entry");
    const PLAT_Sock s = socket_SlotSocket(id);
    if (socket_SlotIsServer(id) == 1) {
        LOG_Write(SOCKET_LOG_INFO, "SOCKET_Receive es server");
        return socket_Accept(s, len);
    }

    // One receive into our own buffer; the caller gets exactly the bytes that
    // arrived. A negative size is refused (it would overrun the buffer), and so
    // is a slot without a socket.
    std::array<char, SOCKET_RECEIVE_MAX> aux{};
    if (size < 0 || !socket_Holds(s)) {
        LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Receive recv");
        return -1;
    }
    const std::size_t want = size > SOCKET_RECEIVE_MAX ? aux.size() : static_cast<std::size_t>(size);
    if (!socket_WaitBounded(s, PLAT_SOCK_READABLE, "SOCKET_Receive recv tiempo de espera agotado tras %d ms",
                            "SOCKET_Receive recv")) {
        return -1;
    }
    const long n = PLAT_SockRecv(s, aux.data(), want);
    if (n > 0) {
        LOG_Write(SOCKET_LOG_INFO, "SOCKET_Receive recibio OK HandleId=[%d] Socket=[%d] Len=[%d]",
                  id, socket_LogId(s), static_cast<int>(n));
        std::memcpy(buf, aux.data(), static_cast<std::size_t>(n));
        *len = static_cast<int>(n);
        LOG_Write(SOCKET_LOG_INFO, "SOCKET_Receive Exit");
        return 0;
    }
    if (n == 0) {
        LOG_Write(SOCKET_LOG_INFO, "SOCKET_Receive socket %d hung up", socket_LogId(s));
        return -1;
    }
    LOG_Write(SOCKET_LOG_ERROR, "SOCKET_Receive recv");
    return -1;
}
