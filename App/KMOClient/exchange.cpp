// One exchange with the gateway, the same for requests, heartbeats and
// forwarded records: open a connection, send one packet, read the whole reply
// when one is expected, close. ExchangeTimeout bounds the exchange as a whole,
// so a gateway that accepts and never answers holds the loop that long at most.
#include <cstring>

#include "kmo_packet.h"
#include "kmo_socket.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_time.h"

namespace {

// One receive for KMO_ReceiveWhole; ctx is the handle id.
int exchange_Read(void* ctx, char* buf, int size, int* got)
{
    return SOCKET_Receive(*static_cast<int*>(ctx), buf, size, got);
}

// Lifts the socket layer's bound on every way out.
class ExchangeBound {
public:
    ExchangeBound()
    {
        const int seconds = ExchangeTimeout > 0 ? ExchangeTimeout : 0;
        SOCKET_SetDeadline(seconds > kMaxSeconds ? kMaxSeconds * 1000 : seconds * 1000);
    }
    ~ExchangeBound() { SOCKET_SetDeadline(0); }
    ExchangeBound(const ExchangeBound&) = delete;
    ExchangeBound& operator=(const ExchangeBound&) = delete;

private:
    static constexpr int kMaxSeconds = 2000000;   // keeps the milliseconds in an int
};

}  // namespace

ExchangeResult client_Exchange(const char* op, int len, bool wantReply)
{
    ExchangeResult result;
    const double start = PLAT_MonotonicSeconds();
    const ExchangeBound bound;
    char gatewayName[KMO_GATEWAY_NAME_SIZE];
    client_GatewayName(gatewayName);

    int conn = SOCKET_Open(gatewayName);
    if (conn == -1) {
        result.fail = ExchangeFail::Connect;
    } else if (SOCKET_Send(conn, KMOClient_SendBuffer, &len) == -1) {
        result.fail = ExchangeFail::Send;
    } else if (wantReply) {
        LOG_Write(57, "");
        LOG_Write(57, "%s Envio hacia el Gateway:[%s]", op, KMOClient_SendBuffer + KMO_PACKET_HEADER_SIZE);
        LOG_Write(57, "");
        // One byte less than the buffer: the reply text always ends in a NUL.
        std::memset(KMOClient_ReceiveBuffer, 0, sizeof KMOClient_ReceiveBuffer);
        int got = 0;
        if (KMO_ReceiveWhole(exchange_Read, &conn, KMOClient_ReceiveBuffer, sizeof KMOClient_ReceiveBuffer - 1,
                             &got) != 0) {
            result.fail = ExchangeFail::Receive;
        }
    }
    result.timedOut = result.fail != ExchangeFail::None && SOCKET_TimedOut() == 1;
    if (conn != -1) {
        SOCKET_Close(conn, 2);
    }
    result.seconds = PLAT_MonotonicSeconds() - start;
    return result;
}

void client_LogTimeout(const char* op, const ExchangeResult& r)
{
    if (!r.timedOut) {
        return;
    }
    char gatewayName[KMO_GATEWAY_NAME_SIZE];
    client_GatewayName(gatewayName);
    const char* step = r.fail == ExchangeFail::Connect ? "conectandose al"
                       : r.fail == ExchangeFail::Send  ? "enviando al"
                                                       : "esperando la respuesta del";
    LOG_Write(17, "%s %s gateway en [%s]: tiempo de espera agotado tras %.1f segundos", op, step, gatewayName,
              r.seconds);
}

void client_LogExchangeFailure(const char* op, const ExchangeResult& r)
{
    if (r.fail == ExchangeFail::Connect) {
        char gatewayName[KMO_GATEWAY_NAME_SIZE];
        client_GatewayName(gatewayName);
        LOG_Write(17, "%s conectandose al gateway en [%s]", op, gatewayName);
    } else if (r.fail == ExchangeFail::Send) {
        LOG_Write(17, "%s SOCKET_Send", op);
    } else if (r.fail == ExchangeFail::Receive) {
        LOG_Write(17, "%s SOCKET_Receive", op);
    }
    client_LogTimeout(op, r);
}
