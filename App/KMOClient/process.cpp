// The client's main loop: polling passes until the stop file or a stop
// signal. A pass: heartbeat check, stop file, every terminal in table order,
// the drain of the backlog when the heartbeat found the gateway, pause.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "inflight.h"
#include "kmoclient.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_fs.h"
#include "plat_proc.h"

namespace {

// Ends the loop for a stop signal; only ever called between two requests.
int process_StopOnSignal(int sig)
{
    LOG_Write(37, "KMOClient_Process recibio la se\xF1" "al %d (%s). Saliendo...", sig, PLAT_SignalName(sig));
    LOG_Write(77, "KMOClient_Process Exit");
    return 0;
}

// A failed heartbeat is not tried again sooner than this, whatever
// HeartbeatPeriod says, so that an outage adds no connection attempt per pass.
constexpr std::time_t kHeartbeatRetrySeconds = 30;

// Heartbeat while pre-authorisations are pending, then the first forwarding
// call. A failed heartbeat is logged and the pass goes on: the terminals are
// answered locally while the gateway is away. True when records remain for
// the drain after the terminals.
bool process_Heartbeat(std::time_t loopStart, std::time_t* heartbeatTimer, std::time_t* failedAt)
{
    if (!PLAT_FsExists(KMO_FILE_AUTORESP)) {
        return false;
    }
    const std::time_t t1 = std::time(nullptr);
    const std::time_t t2 = std::time(nullptr);
    LOG_Write(77, "KMOClient_Process transcurrieron %d segundos", static_cast<int>(t1 - loopStart));
    if (HeartbeatPeriod == -1 || t2 - *heartbeatTimer < HeartbeatPeriod ||
        (*failedAt != 0 && t2 - *failedAt < kHeartbeatRetrySeconds)) {
        return false;
    }
    LOG_Write(57, "KMOClient_Process enviando se\xF1" "al de vida");
    std::printf("Eviando se\xF1" "al de vida desde el client\n");
    std::fflush(stdout);
    if (KMOClient_EnviarMensaje_de_vida() == -1) {
        LOG_Write(17, "No se pudo enviar mensaje de vida ");
        *failedAt = std::time(nullptr);
        return false;
    }
    *failedAt = 0;
    *heartbeatTimer = std::time(nullptr);
    // The gateway is reachable again: hand it what was authorised locally.
    // A gateway that takes the heartbeat but fails the forwarding (one that
    // never answers, say) waits as long as after a failed heartbeat.
    const ForwardOutcome outcome = client_ForwardBatch(false);
    if (outcome == ForwardOutcome::Failed) {
        *failedAt = std::time(nullptr);
    }
    return outcome == ForwardOutcome::More;
}

// Drains the backlog, serving the terminals whenever one has a request
// waiting (those met already in this pass wait for the next). False when the
// stop file or a stop signal cut the drain short: the pass then ends without
// its pause.
bool process_Drain(PassLeftovers& left, std::time_t* heartbeatTimer)
{
    DrainStop why;
    while ((why = client_Drain(left)) == DrainStop::Terminal) {
        for (int k = 0; k < TerminalCount && PLAT_StopSignal() == 0; ++k) {
            if (left.terminal[k] == Leftover::None) {
                client_HealthTick();
                left.terminal[k] = client_ServeTerminal(k, heartbeatTimer);
            }
        }
    }
    return why != DrainStop::Stop;
}

// 1 when the stop file was found and removed; 0 otherwise (`*left` tells
// whether one stays behind).
int process_StopFile(bool* left)
{
    *left = false;
    char path[257] = {};
    if (FILE_JoinPath(path, sizeof path, RootPath, KMO_FILE_STOP, nullptr) != 0 || !PLAT_FsExists(path)) {
        return 0;
    }
    LOG_Write(37, "KMOClient_Process encontro archivo de stop. Saliendo...");
    int err = 0;
    if (PLAT_FsRemove(path, &err) == 0) {
        LOG_Write(77, "KMOClient_Process Exit");
        return 1;
    }
    if (err == ENOENT) {
        LOG_Write(17, "KMOClient_Process borrando archivo KMOCLIENTSTOP.tmp, ubicacion erronea");
    } else if (err == EACCES) {
        LOG_Write(17, "KMOClient_Process borrando archivo KMOCLIENTSTOP.tmp, no pudo accederlo");
    }
    *left = true;
    return 0;
}

}  // namespace

int KMOClient_Process()
{
    LOG_Write(57, "KMOClient_Process Entry");
    const std::time_t loopStart = std::time(nullptr);
    std::time_t heartbeatTimer = loopStart;
    inflight_Recover();   // requests a stop left half-served are served again
    client_HealthReady(heartbeatTimer);
    std::time_t heartbeatFailedAt = 0;

    for (;;) {
        if (const int sig = PLAT_StopSignal(); sig != 0) {
            return process_StopOnSignal(sig);
        }
        const bool draining = process_Heartbeat(loopStart, &heartbeatTimer, &heartbeatFailedAt);
        PassLeftovers left;
        if (process_StopFile(&left.stopFile) == 1) {
            return 0;
        }
        for (int k = 0; k < TerminalCount; ++k) {
            if (const int sig = PLAT_StopSignal(); sig != 0) {
                return process_StopOnSignal(sig);
            }
            client_HealthTick();
            left.terminal[k] = client_ServeTerminal(k, &heartbeatTimer);
        }
        const bool pause = !draining || process_Drain(left, &heartbeatTimer);
        if (const int sig = PLAT_StopSignal(); sig != 0) {
            return process_StopOnSignal(sig);
        }
        client_HealthPass(heartbeatTimer);
        if (pause) {
            client_Pause(left);
        }
    }
}
