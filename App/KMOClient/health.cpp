// What the client tells about its own health: the line on standard error when
// serving starts, and the service manager's notifications (ready, status,
// watchdog keep-alives, stopping). Also takes the log reopen requests, since
// both happen at the same safe points: between two requests and in the pause.
// Keep-alives come only from those points, so a loop stuck in one request
// stops sending them and the service manager can restart the client.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "kmoclient.h"
#include "kmoclient_config.h"
#include "kmoclient_internal.h"
#include "log.h"
#include "plat_notify.h"
#include "plat_proc.h"
#include "plat_time.h"

namespace {

// Status updates are sent at most this often, whatever the pass rate.
constexpr double kStatusEverySeconds = 1.0;

struct HealthState {
    bool notifying = false;        // a service manager listens
    double keepAliveEvery = 0.0;   // seconds; 0: the service manager asks for none
    double lastKeepAlive = 0.0;
    double lastStatus = -1e9;
    std::time_t started = 0;       // the heartbeat timer's value at loop entry
};

HealthState g_health;

void health_Stamp(std::time_t t, char (&out)[20])
{
    std::tm tm{};
    PLAT_LocalTime(t, &tm);
    std::strftime(out, sizeof out, "%Y/%m/%d %H:%M:%S", &tm);
}

// Records waiting to be forwarded: the lines of the pre-authorisation file.
long health_RecordsWaiting()
{
    std::ifstream in(KMO_FILE_AUTORESP, std::ios::binary);
    long lines = 0;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            lines += buf[i] == '\n' ? 1 : 0;
        }
    }
    return lines;
}

void health_SendStatus(std::time_t lastContact)
{
    char pass[20], contact[20];
    health_Stamp(std::time(nullptr), pass);
    health_Stamp(lastContact, contact);
    char message[160];
    std::snprintf(message, sizeof message, "STATUS=last pass %s, last gateway contact %s, %ld records waiting", pass,
                  lastContact != g_health.started ? contact : "none", health_RecordsWaiting());
    PLAT_NotifySend(message);
    g_health.lastStatus = PLAT_MonotonicSeconds();
}

}  // namespace

void client_HealthReady(std::time_t heartbeatTimer)
{
    g_health = HealthState{};
    g_health.started = heartbeatTimer;
    // Half the interval asked for, so that one late keep-alive is not fatal.
    g_health.keepAliveEvery = static_cast<double>(PLAT_NotifyWatchdogUsec()) / 2e6;
    g_health.lastKeepAlive = PLAT_MonotonicSeconds();
    std::fprintf(stderr, "kmoclient %s serving: gateway %s:%d, root %s, %d terminal%s, wait mode %d (%s)\n",
                 KMO_VERSION, HostGateway, PortGateway, RootPath, TerminalCount, TerminalCount == 1 ? "" : "s",
                 WaitMode, WaitMode == 1 ? "woken by new files" : "sleep");
    std::fflush(stderr);
    g_health.notifying = PLAT_NotifySend("READY=1") != 0;
    if (g_health.notifying) {
        health_SendStatus(heartbeatTimer);
    }
}

void client_HealthTick()
{
    if (PLAT_TakeReopenRequest() == 1) {
        LOG_Write(57, "KMOClient_Process reabriendo el archivo de log");
        if (LOG_Reopen() != 0) {
            LOG_Write(17, "KMOClient_Process reabriendo el archivo de log: %s", std::strerror(LOG_OpenError()));
        } else {
            LOG_Write(57, "KMOClient_Process archivo de log reabierto");
        }
    }
    if (g_health.notifying && g_health.keepAliveEvery > 0.0) {
        const double now = PLAT_MonotonicSeconds();
        if (now - g_health.lastKeepAlive >= g_health.keepAliveEvery) {
            PLAT_NotifySend("WATCHDOG=1");
            g_health.lastKeepAlive = now;
        }
    }
}

void client_HealthPass(std::time_t heartbeatTimer)
{
    client_HealthTick();
    if (g_health.notifying && PLAT_MonotonicSeconds() - g_health.lastStatus >= kStatusEverySeconds) {
        health_SendStatus(heartbeatTimer);
    }
}

void client_HealthStopping()
{
    PLAT_NotifySend("STOPPING=1");
}
