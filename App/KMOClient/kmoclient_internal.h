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

// One exchange with the gateway (exchange.cpp): connect, send the `len` bytes
// of the send buffer and, when `wantReply`, read the whole reply packet into
// the zero-filled receive buffer (its text, from offset 10, ends in a NUL).
// The connection is closed before it returns. ExchangeTimeout bounds the whole
// exchange. `op` names the caller in the records written here.
enum class ExchangeFail : std::uint8_t { None, Connect, Send, Receive };
struct ExchangeResult {
    ExchangeFail fail = ExchangeFail::None;
    bool timedOut = false;   // the failure was the bound running out
    double seconds = 0;      // how long the exchange took
};
ExchangeResult client_Exchange(const char* op, int len, bool wantReply);
// The level-17 record of an exchange that ran out of time; nothing otherwise.
void client_LogTimeout(const char* op, const ExchangeResult& r);
// The level-17 records of a failed exchange: "<op> conectandose al gateway en
// [host:port]", "<op> SOCKET_Send" or "<op> SOCKET_Receive", then the time-out
// record when the bound ran out; nothing for an exchange that succeeded.
void client_LogExchangeFailure(const char* op, const ExchangeResult& r);

// One call of the forwarding of kmoautoresp.txt (batch.cpp), the work of
// KMOClient_EnviarRecetasPreautorizadas: Done when every record has been dealt
// with, More when the five-record limit stopped it with records left and the
// gateway accepting, Failed when the file could not be read or a record could
// not be exchanged (it stays first for a later call). `draining` says that
// another call follows at once: the file is then rewritten only now and then,
// its progress mark telling the next call where to go on.
enum class ForwardOutcome : std::uint8_t { Done, More, Failed };
ForwardOutcome client_ForwardBatch(bool draining);

// Why the drain of the backlog (drain.cpp) stopped.
enum class DrainStop : std::uint8_t {
    Finished,   // nothing left, or the gateway stopped accepting
    Terminal,   // a terminal has a request waiting: serve it, then drain on
    Stop,       // the stop file appeared or a stop signal came
};
// Calls the forwarding again and again while records remain and the gateway
// accepts; between calls it looks for waiting requests (those the pass left
// behind do not count), the stop file and a stop signal.
DrainStop client_Drain(const PassLeftovers& left);

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
