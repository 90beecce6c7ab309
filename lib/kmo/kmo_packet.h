// KMO packets: 4-byte length (network order, 6 + text length), 2-byte TranType
// (network order), 4-byte sender name, then the text without its NUL.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat_sock.h"

inline constexpr std::size_t KMO_PACKET_HEADER_SIZE = 10;

// Builds the packet in `packet` (capacity `cap`). Returns its size (10 + text
// length), or -1 for a null/empty name or text or a packet that would not fit
// (the buffer is then unchanged).
int KMO_MakePacket(std::uint16_t tranType, const char* name, const char* text,
                   char* packet, std::size_t cap);

// 1 when the name starts with "CLI" and the text with '|' (needs 11 bytes).
std::uint16_t KMO_IsPacketValid(const char* packet);

// The packet's TranType when acceptance class `cls` admits it, else 0.
std::uint16_t KMO_IsTransactionOK(std::uint16_t cls, const char* packet);

// Sends `*len` bytes, looping over partial sends. Stores the bytes sent in *len;
// 0, or -1 when a send failed. A length of 0 or less sends nothing and gives 0.
int KMO_SendPacket(PLAT_Sock sock, const char* data, int* len);

// Receives one whole packet into `buf` (capacity `cap`): the length field, then
// exactly the bytes it announces. Always returns 0; *len holds the bytes in the
// buffer, 0 or less when nothing arrived, fewer than 4 + length when the packet
// was cut short. An incomplete length field or a packet larger than `cap`
// counts as a failed receive (*len 0 or less) and nothing is written past `cap`.
int KMO_ReceivePacket(PLAT_Sock sock, char* buf, std::size_t cap, int* len);

// One receive of a connection: at most `size` bytes into `buf`, the count in
// *got. 0 when bytes arrived, -1 when the connection ended or failed (or the
// caller's time bound ran out). `ctx` is the caller's.
using KMO_ReadFn = int (*)(void* ctx, char* buf, int size, int* got);

// Reads one whole packet through `read` into `buf` (capacity `cap`): receives
// until the length field, then every byte it announces, are in the buffer,
// and never asks for a byte past the packet. Returns 0 with the packet's size
// in *len; -1 when a receive failed or the connection ended before the packet
// was whole, or when the announced packet would not fit `cap` (logged at 4).
// Bytes that follow the packet are not read.
int KMO_ReceiveWhole(KMO_ReadFn read, void* ctx, char* buf, std::size_t cap, int* len);
