// The heartbeat ("mensaje de vida"): one packet that tells the gateway the
// client is alive, on a connection of its own; no answer is read.
#include <cstdio>
#include <cstring>

#include "kmo_packet.h"
#include "kmo_tran.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"

namespace {

// The heartbeat's own sender name; the configured Name stays for requests.
constexpr const char* kHeartbeatName = "CLI1";

char g_fieldBuffer[KMO_REQUEST_SIZE];

}  // namespace

int KMOClient_EnviarMensaje_de_vida()
{
    LOG_Write(77, "KMOClient_Enviar Mensage de vida Entry");
    std::memset(KMOClient_RequestBuffer, 0, sizeof KMOClient_RequestBuffer);
    std::memset(g_fieldBuffer, 0, sizeof g_fieldBuffer);

    // |G01=<FarmCode>|G81=0001|
    char fieldValue[KMO_FARM_SIZE] = {};
    std::snprintf(fieldValue, sizeof fieldValue, "%s", FarmCode);
    KMO_TranPutfield(KMOClient_RequestBuffer, sizeof KMOClient_RequestBuffer, "G01", fieldValue);
    // The value's own '|' closes the field.
    KMO_TranPutfield(g_fieldBuffer, sizeof g_fieldBuffer, "G81", "0001|");
    const std::size_t used = std::strlen(KMOClient_RequestBuffer);
    std::snprintf(KMOClient_RequestBuffer + used, sizeof KMOClient_RequestBuffer - used, "%s", g_fieldBuffer);

    std::memset(KMOClient_SendBuffer, 0, sizeof KMOClient_SendBuffer);
    int len = KMO_MakePacket(0, kHeartbeatName, KMOClient_RequestBuffer, KMOClient_SendBuffer,
                             sizeof KMOClient_SendBuffer);
    if (len == -1) {
        LOG_Write(17, "KMOClient_EnviarMensaje_de_vida KMO_MakePacket");
        return -1;
    }

    const ExchangeResult ex = client_Exchange("KMOClient_MensajeDeVida", len, false);
    if (ex.fail == ExchangeFail::Connect) {
        char gatewayName[KMO_GATEWAY_NAME_SIZE];
        client_GatewayName(gatewayName);
        LOG_Write(17, "KMOClient_MensajeDeVida conectandose al gateway en [%s]", gatewayName);
    } else if (ex.fail == ExchangeFail::Send) {
        LOG_Write(17, "KMOClient_Enviar_Mensaje_de_vida SOCKET_Send");
    }
    client_LogTimeout("KMOClient_MensajeDeVida", ex);
    return ex.fail == ExchangeFail::None ? 0 : -1;
}
