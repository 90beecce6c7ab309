// A connected pair of loopback TCP sockets, made through the platform seam so
// that the packet tests and the fuzz checks run alike on every platform.
#pragma once

#include <cstdint>

#include "plat_sock.h"

// Fills `out` with two connected sockets (out[1] sends to out[0] and back).
// True on success; on failure both are PLAT_SOCK_BAD.
inline bool StreamPairOpen(PLAT_Sock out[2])
{
    out[0] = out[1] = PLAT_SOCK_BAD;
    static const bool started = PLAT_SockStartup() == 0;   // for the life of the process
    std::uint32_t loopback = 0;
    if (!started || PLAT_SockParseIPv4("127.0.0.1", &loopback) != 0) {
        return false;
    }
    const PLAT_Sock listener = PLAT_SockTcp();
    if (listener == PLAT_SOCK_BAD) {
        return false;
    }
    bool ok = PLAT_SockBind(listener, loopback, 0) == 0 && PLAT_SockListen(listener, 1) == 0;
    const int port = ok ? PLAT_SockLocalPort(listener) : -1;
    if (port > 0) {
        out[1] = PLAT_SockTcp();
        ok = out[1] != PLAT_SOCK_BAD && PLAT_SockConnect(out[1], loopback, static_cast<std::uint16_t>(port)) == 0;
        if (ok) {
            out[0] = PLAT_SockAccept(listener, nullptr, nullptr);
            ok = out[0] != PLAT_SOCK_BAD;
        }
    } else {
        ok = false;
    }
    PLAT_SockClose(listener);
    if (!ok) {
        for (int i = 0; i < 2; ++i) {
            if (out[i] != PLAT_SOCK_BAD) {
                PLAT_SockClose(out[i]);
                out[i] = PLAT_SOCK_BAD;
            }
        }
    }
    return ok;
}
