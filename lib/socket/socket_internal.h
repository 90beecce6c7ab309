// State and helpers shared by the socket layer's files, and the hooks its tests
// use. Not for the layer's users.
#pragma once

#include <cstdint>

#include "kmo_socket.h"
#include "plat_sock.h"

// Debug, information and error levels of the layer.
inline constexpr int SOCKET_LOG_ERROR = 10;
inline constexpr int SOCKET_LOG_INFO = 50;
inline constexpr int SOCKET_LOG_DEBUG = 70;

// Connection table. Ids outside 0..255 read as a free slot and are never written.
PLAT_Sock socket_SlotSocket(int id);
std::uint16_t socket_SlotIsServer(int id);
void socket_SlotStore(int id, PLAT_Sock s, std::uint16_t isServer);

// True for a slot value that names a socket of ours: not free (-1) and not
// taken-but-unfilled (0, which on Linux is standard input and never touched).
inline bool socket_Holds(PLAT_Sock s)
{
    return s != PLAT_SOCK_BAD && s != 0;
}

// A socket as log records show it ("%d"): Windows' unsigned SOCKET values are
// small handles, and the free mark shows as -1 on every platform.
inline int socket_LogId(PLAT_Sock s)
{
    return s == PLAT_SOCK_BAD ? -1 : static_cast<int>(s);
}

bool socket_Multithreaded();

// Master read set (single-threaded mode only): add drops silently when full,
// remove takes out the first occurrence, register adds and raises the highest
// socket.
void socket_ReadSetAdd(PLAT_Sock s);
void socket_ReadSetRemove(PLAT_Sock s);
void socket_ReadSetRegister(PLAT_Sock s);

// The five messages of one use of the locked slot protocol. `released` takes
// the cycle's handle id as its only argument.
struct SocketLockTexts {
    const char* cannotOpen;
    const char* opened;
    const char* waitFailed;
    const char* acquired;
    const char* released;
};

// Takes a slot (HANDLE_Get) or frees one (HANDLE_Free): plainly in
// single-threaded mode, through the named lock in multithreaded mode.
// Take returns the slot or -1; free returns 0, or -1 when the slot stays taken.
int socket_TakeSlot(const SocketLockTexts& texts);
int socket_FreeSlot(int id, const SocketLockTexts& texts);

// The address that server mode binds (network byte order).
std::uint32_t socket_ListenAddress();

// The peer address that the accept role refuses.
const char* socket_BarredPeer();

// The calling thread's time bound (SOCKET_SetDeadline). socket_TimeLeftMs
// gives the milliseconds left (0 once it has passed), or -1 without a bound;
// socket_TimeSpentMs the milliseconds since the bound was set. A timed-out
// operation logs `text` (a format with one %d, the milliseconds spent) and
// marks SOCKET_TimedOut. socket_BoundSave/Restore let one operation use a
// bound of its own and hand the caller's back afterwards.
int socket_TimeLeftMs();
int socket_TimeSpentMs();
void socket_NoteTimedOut(bool timedOut, const char* text);
struct SocketBound {
    double start = 0;
    double end = 0;   // 0: no bound
};
SocketBound socket_BoundSave();
void socket_BoundRestore(const SocketBound& bound);

// ---- Test hooks ----

// Replaces the barred peer address; nullptr restores the built-in one.
void socket_SetBarredPeer(const char* dotted);

// Names the named lock that SOCKET_Init creates and the protocol opens
// (default "kmosock.mutex"); nullptr restores the default.
void socket_SetLockName(const char* name);
const char* socket_LockName();

// Switches the multithreaded mode flag directly (it has no other way back off).
void socket_SetMultithreaded(bool on);

// Replaces the name resolver (same contract as PLAT_SockResolveIPv4); nullptr
// restores the platform's.
using SocketResolver = int (*)(const char* host, std::uint32_t* addr);
void socket_SetResolver(SocketResolver resolver);
// Resolves `host` to its first IPv4 address: 0 or a PLAT_RESOLVE_* code. With
// `leftMs` of 0 or more the wait is bounded: SOCKET_RESOLVE_TIMED_OUT when the
// resolver has not answered by then (it finishes unseen); -1 waits for it.
inline constexpr int SOCKET_RESOLVE_TIMED_OUT = -2;
int socket_Resolve(const char* host, std::uint32_t* addr, int leftMs);

// Views of the socket sets.
std::uint32_t socket_ReadSetCount();
PLAT_Sock socket_ReadSetMember(std::uint32_t i);
PLAT_Sock socket_HighestSocket();
std::uint32_t socket_ReadySetCount();
void socket_ReadSetClear();
