// Stop requests (SIGTERM and SIGINT here; console control events on Windows)
// and broken pipes, the platform's way.
#pragma once

// Catches the stop requests from now on and ignores broken pipes (a write to a
// closed pipe or socket then fails instead of ending the process). A stop
// request sets the stop flag and, once a wake address is known, opens one
// connection to it and closes it again, so that a readiness wait that watches
// a listening socket there returns. 0, or -1 when a handler cannot be installed.
int PLAT_StopSignalsCatch();

// The IPv4 address (dotted text) and port that a stop request connects to.
// 0, or -1 for a text that is not a dotted IPv4 address or a bad port.
int PLAT_StopSignalsWakeAt(const char* dotted, int port);

// 1 once a stop has been requested, else 0.
int PLAT_StopRequested();
