// The client's main loop: polling passes until the stop file, a stop signal
// or a failed heartbeat. A pass: heartbeat check, stop file, every terminal in
// table order, pause.
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

// Heartbeat while pre-authorisations are pending, then forward them.
// False when the heartbeat could not be sent.
bool process_Heartbeat(std::time_t loopStart, std::time_t* heartbeatTimer)
{
    if (!PLAT_FsExists(KMO_FILE_AUTORESP)) {
        return true;
    }
    const std::time_t t1 = std::time(nullptr);
    const std::time_t t2 = std::time(nullptr);
    LOG_Write(77, "KMOClient_Process transcurrieron %d segundos", static_cast<int>(t1 - loopStart));
    if (HeartbeatPeriod == -1 || t2 - *heartbeatTimer < HeartbeatPeriod) {
        return true;
    }
    LOG_Write(57, "KMOClient_Process enviando se\xF1" "al de vida");
    std::printf("Eviando se\xF1" "al de vida desde el client\n");
    std::fflush(stdout);
    if (KMOClient_EnviarMensaje_de_vida() == -1) {
        LOG_Write(17, "No se pudo enviar mensaje de vida ");
        return false;
    }
    *heartbeatTimer = std::time(nullptr);
    // The gateway is reachable again: hand it what was authorised locally.
    // The outcome stays in the files; the loop goes on either way.
    KMOClient_EnviarRecetasPreautorizadas();
    return true;
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

    for (;;) {
        if (const int sig = PLAT_StopSignal(); sig != 0) {
            return process_StopOnSignal(sig);
        }
        if (!process_Heartbeat(loopStart, &heartbeatTimer)) {
            return -1;
        }
        PassLeftovers left;
        if (process_StopFile(&left.stopFile) == 1) {
            return 0;
        }
        for (int k = 0; k < TerminalCount; ++k) {
            if (const int sig = PLAT_StopSignal(); sig != 0) {
                return process_StopOnSignal(sig);
            }
            left.terminal[k] = client_ServeTerminal(k, &heartbeatTimer);
        }
        if (const int sig = PLAT_StopSignal(); sig != 0) {
            return process_StopOnSignal(sig);
        }
        client_Pause(left);
    }
}
