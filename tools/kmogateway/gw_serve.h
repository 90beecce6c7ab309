// The serving loop of kmogateway.
#pragma once

#include "gw_options.h"

// Serves the connections of the listening handle `listenId` until a stop is
// requested, one packet and at most one answer per connection, then closes
// every connection it accepted (the listening one stays for the caller).
void GW_Serve(int listenId, const GwOptions& opts);
