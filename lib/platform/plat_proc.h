// The process's own business, the platform's way: command-line options and the
// signals that ask the process to stop.
#pragma once

// Command-line options through the system's getopt. PLAT_GetOpt returns the
// option letter, '?' for an unknown letter or a missing argument (after the
// parser's own diagnostic on standard error, unless switched off), or -1 after
// the last option. Words that are not options are passed over wherever they
// stand, whatever the environment asks of the parser. Setting the index to 0
// makes the next call start afresh from the first argument.
int PLAT_GetOpt(int argc, char* const argv[], const char* optstring);
const char* PLAT_OptArg();
int PLAT_OptInd();
void PLAT_SetOptInd(int index);
void PLAT_SetOptErr(int enabled);

// Stop signals. After PLAT_InstallStopSignals, SIGTERM and SIGINT only record
// that a stop was asked for (they interrupt a pending sleep or wait), and a
// write to a closed connection never ends the process. 0, or -1 when a handler
// could not be installed.
int PLAT_InstallStopSignals();
// The number of the first stop signal received since the last clear, or 0.
int PLAT_StopSignal();
void PLAT_ClearStopSignal();
// "SIGTERM", "SIGINT", or "senal desconocida".
const char* PLAT_SignalName(int sig);

// Log reopen requests (SIGHUP here; none on Windows). After
// PLAT_InstallReopenSignal the signal only records the request, which
// PLAT_TakeReopenRequest hands over once: 1 when one came since the last
// call, else 0. Install: 0, or -1 when the handler could not be installed.
int PLAT_InstallReopenSignal();
int PLAT_TakeReopenRequest();
