// Pieces of the client shared between its own files (and its tests); not part
// of the client's operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "kmoclient.h"

// Troquel records in field G06: one width for all, 51, 52 or 53 characters.
inline constexpr std::size_t KMO_TROQUEL_RECORD_MAX = 53;
// Five records of the widest kind, and the terminating zero.
inline constexpr std::size_t KMO_TROQUEL_SIZE = 5 * KMO_TROQUEL_RECORD_MAX + 1;   // 266

// Outcome of the troquel check of a request.
enum class TroquelCheck { Ok, BadFormat, TooMany };

// Checks a G06 value: its length must be a multiple of 51, 52 or 53 (tried in
// that order; empty is accepted) and at most KMO_TROQUEL_SIZE - 1. Records whose
// leading number is zero are dropped; the others are concatenated, in order,
// into `kept` (KMO_TROQUEL_SIZE bytes) and counted in `*keptCount`. More kept
// records than `maxTroqueles` gives TooMany.
TroquelCheck client_CheckTroqueles(std::string_view g06, int maxTroqueles,
                                   char* kept, int* keptCount);

// What serving a terminal left behind in its request file.
enum class Leftover : std::uint8_t {
    None,         // no request, or it was read and removed
    Unreadable,   // the request could not be read (its writer still has it open)
    NotRemoved,   // the request was answered but its file could not be removed
};

// Serves terminal k once: request file, checks, exchange, reply. Sets
// `*heartbeatTimer` when the gateway answered.
Leftover client_ServeTerminal(int k, std::time_t* heartbeatTimer);

// What a pass left for the pause to ignore: files the pass has already seen.
struct PassLeftovers {
    bool stopFile = false;                      // the stop file could not be removed
    Leftover terminal[KMO_MAX_TERMINALS] = {};
};

// Tries the connectivity probes in order; 1 when one of them answered, else 0.
std::uint16_t client_TestConnectivity();
// Replaces the build's probe list ("host:port;host:port;..."; the text must
// outlive its use); null restores the build's. For tests, which must never
// reach a host outside this machine.
void client_SetProbeHosts(const char* hosts);

// The pause at the end of a pass: WaitTimeout milliseconds, cut short by a
// stop signal and, in WaitMode 1, by a new request or a new stop file. What
// the pass left behind does not cut it short (an unreadable request is retried
// after a second), so a stuck file cannot make the loop spin.
void client_Pause(const PassLeftovers& left);
// Ends the pause's directory watch, if any (the shutdown's FILE_DirWaitClose).
void client_PauseEnd();

// "host:port" of the gateway. Sized so that the longest host and port fit.
inline constexpr std::size_t KMO_GATEWAY_NAME_SIZE = KMO_HOST_SIZE + 16;
inline void client_GatewayName(char (&out)[KMO_GATEWAY_NAME_SIZE])
{
    std::snprintf(out, sizeof out, "%s:%d", HostGateway, PortGateway);
}

// Health: called by the loop at its safe points (never inside a request).
// Ready: the line on standard error and READY=1 once serving starts, with the
// heartbeat timer's first value. Tick: between requests and in the pause;
// reopens the log after a request and sends the watchdog keep-alive when due.
// Pass: after each pass; a tick and, at most once a second, the status (last
// pass, last gateway contact, records waiting). Stopping: STOPPING=1.
void client_HealthReady(std::time_t heartbeatTimer);
void client_HealthTick();
void client_HealthPass(std::time_t heartbeatTimer);
void client_HealthStopping();

// -h and -V.
void client_PrintUsage(std::FILE* out);
void client_PrintVersion(std::FILE* out);
