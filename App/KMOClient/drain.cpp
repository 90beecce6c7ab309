// Draining the backlog of locally authorised records once the gateway is back:
// forwarding runs five records at a time, and between two calls the terminals
// come first, so a long backlog never holds up a waiting request.
#include <cstdio>

#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_fs.h"
#include "plat_proc.h"

namespace {

constexpr std::size_t kFilePathSize = 257;

// True when terminal k has a request waiting that the pass has not already
// met (a request that could not be read or removed waits for the next pass).
bool drain_RequestWaiting(const PassLeftovers& left)
{
    for (int k = 0; k < TerminalCount; ++k) {
        if (left.terminal[k] != Leftover::None) {
            continue;
        }
        char fileName[64] = {};
        char path[kFilePathSize] = {};
        const int n = std::snprintf(fileName, sizeof fileName, "%sin.txt", Terminals[k]);
        if (n > 0 && static_cast<std::size_t>(n) < sizeof fileName &&
            FILE_JoinPath(path, sizeof path, RootPath, fileName, nullptr) == 0 && PLAT_FsReadable(path)) {
            return true;
        }
    }
    return false;
}

bool drain_StopFile()
{
    char path[kFilePathSize] = {};
    return FILE_JoinPath(path, sizeof path, RootPath, KMO_FILE_STOP, nullptr) == 0 && PLAT_FsExists(path);
}

}  // namespace

DrainStop client_Drain(const PassLeftovers& left)
{
    for (;;) {
        client_HealthTick();   // a long drain still tells the service manager it is alive
        if (PLAT_StopSignal() != 0 || drain_StopFile()) {
            return DrainStop::Stop;
        }
        if (drain_RequestWaiting(left)) {
            return DrainStop::Terminal;
        }
        if (!PLAT_FsExists(KMO_FILE_AUTORESP) || client_ForwardBatch(true) != ForwardOutcome::More) {
            return DrainStop::Finished;
        }
    }
}
