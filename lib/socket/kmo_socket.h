// The socket layer: IPv4 TCP connections named by handle ids, the indexes of a
// 256-slot connection table. Errors are logged at level 10, information at 50,
// debug records at 70. Waits have no end unless the caller sets a time bound
// (SOCKET_SetDeadline); the connectivity test bounds its own.
#pragma once

#include <cstdint>

inline constexpr int SOCKET_TABLE_SIZE = 256;
inline constexpr int SOCKET_SET_SIZE = 64;
inline constexpr int SOCKET_RECEIVE_MAX = 4096;

// Start-up and shutdown. An option text holding 'T' switches on the
// multithreaded mode, which then stays on for the life of the process.
int SOCKET_Init(const char* options);
int SOCKET_Exit();

// The connection table.
int HANDLE_Get();
void HANDLE_Free(int id);
void HANDLE_Reset();

// "host:port[,ignored]" connects (client mode); "port[,ignored]" listens on
// every local interface (server mode). Returns the handle id or -1.
int SOCKET_Open(const char* address);
// Logs, shuts down with `how` (0 read, 1 write, 2 both), closes, frees the slot. Always 0.
int SOCKET_Close(int id, int how);

// Sends all *len bytes; *len gets the bytes sent. 0, or -1.
int SOCKET_Send(int id, const char* data, int* len);
// Connected socket: one receive of at most `size` (limited to 4096) bytes into
// `buf`, *len gets the count; 0, or -1 (peer closed or error, *len unchanged).
// Listening socket: accepts one client; its handle id (with *len 0) or -1.
int SOCKET_Receive(int id, char* buf, int size, int* len);

int SOCKET_SetOption(int id, int mode);
int SOCKET_Select();
std::uint16_t SOCKET_IsSet(int id);
std::uint16_t SOCKET_TestConnection(const char* address);

// Extensions for the layer's server-mode users (the project's gateway):
// the local IPv4 address that server mode binds (dotted text; default every
// interface, "0.0.0.0"), and the local port of an open connection (for a port
// the system picked). SOCKET_SetListenAddress returns 0, or -1 for a text that
// is not a dotted IPv4 address; SOCKET_LocalPort returns the port or -1.
int SOCKET_SetListenAddress(const char* dotted);
int SOCKET_LocalPort(int id);

// Time bound of the calling thread's waits. After SOCKET_SetDeadline(ms) with
// ms > 0, every connect (SOCKET_Open in client mode), send and receive (not an
// accept) of this thread must end within ms milliseconds of the call: one that runs out of time
// fails as that operation fails (-1), with a level-10 record that says so and
// after how long, and SOCKET_TimedOut() then gives 1. 0 or less lifts the
// bound (the default: waits without end). Returns 0.
int SOCKET_SetDeadline(int milliseconds);
// 1 when the calling thread's last bounded connect, send or receive failed
// because its time ran out; else 0.
int SOCKET_TimedOut();
