// Judging one received packet and building the gateway's answer to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gw_options.h"

enum class GwAction {
    Ignore,     // a heartbeat: no answer
    Send,       // send `bytes`, then close
    Close,      // close without a word
    Hold,       // keep the connection open and never answer
};

struct GwAnswer {
    GwAction action = GwAction::Close;
    std::vector<char> bytes;
};

// What the answers so far have used up: the position in the policy list and
// the next reference number.
struct GwCounters {
    std::size_t policyIndex = 0;
    std::uint64_t nextRef = 1;
};

// The answer to one complete packet of `len` bytes (length field included).
// A request (TranType 1 or 3) is answered by the next policy; a heartbeat is
// ignored; anything else, an invalid packet or a request with a malformed G99
// or G01 is refused with "TRANSACCION INVALIDA" and does not use up a policy.
GwAnswer GW_Answer(const GwOptions& opts, GwCounters& counters, const char* packet, std::size_t len);
