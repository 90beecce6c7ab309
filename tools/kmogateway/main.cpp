// kmogateway: a gateway for tests, demonstrations and installation checks.
// It listens on a loopback address, answers each request packet according to
// its policy list and prints "listening on ADDR:PORT" once it is ready.
#include <cstdio>
#include <string>
#include <vector>

#include "gw_options.h"
#include "gw_record.h"
#include "gw_serve.h"
#include "kmo_socket.h"
#include "log.h"
#include "plat_proc.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

}  // namespace

int main(int argc, char** argv)
{
    GwOptions opts;
    std::string error;
    switch (GW_ParseOptions(argc, argv, opts, error)) {
    case GwParse::Help:
        std::fputs(GW_Usage(), stdout);
        return 0;
    case GwParse::Usage:
        std::fprintf(stderr, "kmogateway: %s\n%s", error.c_str(), GW_Usage());
        return kExitUsage;
    case GwParse::Error:
        std::fprintf(stderr, "kmogateway: %s\n", error.c_str());
        return kExitUsage;
    case GwParse::Run:
        break;
    }

    if (PLAT_InstallStopSignals() != 0) {
        std::fprintf(stderr, "kmogateway: cannot catch the stop signals\n");
        return kExitFailure;
    }
    if (!opts.record.empty() && GW_RecordOpen(opts.record) != 0) {
        std::fprintf(stderr, "kmogateway: cannot open record file '%s'\n", opts.record.c_str());
        return kExitUsage;
    }
    if (opts.logSet) {
        std::vector<char> spec(opts.log.begin(), opts.log.end());
        spec.push_back('\0');
        LOG_Open(1, 80, spec.data());
    }

    int result = kExitFailure;
    int listenId = -1;
    if (SOCKET_Init(nullptr) != 0) {
        std::fprintf(stderr, "kmogateway: cannot start the socket layer\n");
    } else if (SOCKET_SetListenAddress(opts.bind.c_str()) != 0 ||
               (listenId = SOCKET_Open(std::to_string(opts.port).c_str())) == -1) {
        std::fprintf(stderr, "kmogateway: cannot listen on %s:%d\n", opts.bind.c_str(), opts.port);
    } else {
        const int port = SOCKET_LocalPort(listenId);
        PLAT_StopSignalsWakeAt(opts.bind.c_str(), port);
        std::printf("listening on %s:%d\n", opts.bind.c_str(), port);
        std::fflush(stdout);
        LOG_Write(55, "GATEWAY listening on %s:%d", opts.bind.c_str(), port);

        GW_Serve(listenId, opts);
        SOCKET_Close(listenId, 2);
        LOG_Write(55, "GATEWAY stopped");
        result = 0;
    }
    SOCKET_Exit();
    GW_RecordClose();
    LOG_Close();
    return result;
}
