// The process's own business, the platform's way: command-line options and the
// requests to stop (SIGTERM and SIGINT here; Ctrl+C, Ctrl+Break and the closing
// of the console on Windows).
#pragma once

// Command-line options, parsed by the project's own parser on every platform.
// PLAT_GetOpt returns the option letter, '?' for an unknown letter or a missing
// argument (after a diagnostic on standard error, unless switched off), or -1
// after the last option. Words that are not options are passed over wherever
// they stand; "--" ends the options. Setting the index to 0 (or 1) makes the
// next call start afresh from the first argument.
int PLAT_GetOpt(int argc, char* const argv[], const char* optstring);
const char* PLAT_OptArg();
int PLAT_OptInd();
void PLAT_SetOptInd(int index);
void PLAT_SetOptErr(int enabled);

// Stop requests. After PLAT_InstallStopSignals a stop request only records that
// a stop was asked for: it ends a pending PLAT_SleepMs early, and once a wake
// address is known it also opens one connection there and closes it again, so
// that a readiness wait watching a listening socket there returns. A write to
// a closed connection never ends the process. 0, or -1 when a handler could
// not be installed.
int PLAT_InstallStopSignals();
// The IPv4 address (dotted text) and port that a stop request connects to.
// 0, or -1 for a text that is not a dotted IPv4 address or a bad port.
int PLAT_StopSignalsWakeAt(const char* dotted, int port);
// The number of the first stop request received since the last clear, or 0.
int PLAT_StopSignal();
// 1 once a stop has been requested (and not cleared), else 0.
int PLAT_StopRequested();
void PLAT_ClearStopSignal();
// Asks this process to stop with `sig` (SIGTERM, SIGINT), through the same
// path as a request from outside. 0, or -1.
int PLAT_RaiseStop(int sig);
// "SIGTERM", "SIGINT", on Windows also "SIGBREAK", or "senal desconocida".
const char* PLAT_SignalName(int sig);

// Log reopen requests (SIGHUP here; none on Windows). After
// PLAT_InstallReopenSignal the signal only records the request, which
// PLAT_TakeReopenRequest hands over once: 1 when one came since the last
// call, else 0. Install: 0, or -1 when the handler could not be installed.
int PLAT_InstallReopenSignal();
int PLAT_TakeReopenRequest();

// The number of descriptors (handles, on Windows) that the process has open,
// or -1 when the system does not tell. Compared before and after an operation,
// it shows that nothing leaked.
int PLAT_OpenHandleCount();
