// The connectivity test after a failed exchange with the gateway: can the
// wide-area network be reached at all? The probes come from the build; tests
// put loopback addresses in their place.
#include <cstring>
#include <string_view>

#include "kmo_socket.h"
#include "kmoclient_config.h"
#include "kmoclient_internal.h"

namespace {

std::string_view g_probeHosts = KMO_PROBE_HOSTS;

}  // namespace

void client_SetProbeHosts(const char* hosts)
{
    g_probeHosts = hosts != nullptr ? hosts : KMO_PROBE_HOSTS;
}

std::uint16_t client_TestConnectivity()
{
    std::string_view hosts = g_probeHosts;
    while (!hosts.empty()) {
        const std::size_t sep = hosts.find(';');
        const std::string_view host = hosts.substr(0, sep);
        hosts = sep == std::string_view::npos ? std::string_view{} : hosts.substr(sep + 1);
        if (host.empty()) {
            continue;
        }
        char address[KMO_GATEWAY_NAME_SIZE] = {};
        if (host.size() >= sizeof address) {
            continue;
        }
        std::memcpy(address, host.data(), host.size());
        if (SOCKET_TestConnection(address) == 1) {
            return 1;
        }
    }
    return 0;
}
