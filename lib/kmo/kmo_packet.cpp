// KMO packets: building, checking, and moving them over a socket. Integers on
// the wire are big-endian and are encoded byte by byte.
#include "kmo_packet.h"

#include <climits>
#include <cstring>

#include "log.h"

namespace {

constexpr int kLogError = 4;
constexpr int kLogDebug = 64;

constexpr std::size_t kLengthSize = 4;
constexpr std::size_t kTypeOffset = 4;
constexpr std::size_t kNameOffset = 6;
constexpr std::size_t kNameSize = 4;

void packet_PutBe32(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

void packet_PutBe16(unsigned char* p, std::uint16_t v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

std::uint32_t packet_GetBe32(const unsigned char* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

std::uint16_t packet_GetBe16(const unsigned char* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Receives exactly `want` bytes into `buf`, stopping at the first receive that
// gives 0 (peer closed) or less (failure). Returns the bytes received, or the
// result of the failing receive when nothing arrived at all.
long packet_RecvAll(PLAT_Sock sock, char* buf, std::size_t want)
{
    std::size_t got = 0;
    while (got < want) {
        const long n = PLAT_SockRecv(sock, buf + got, want - got);
        if (n <= 0) {
            return got > 0 ? static_cast<long>(got) : n;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

}  // namespace

int KMO_MakePacket(std::uint16_t tranType, const char* name, const char* text, char* packet,
                   std::size_t cap)
{
    LOG_Write(kLogDebug, "KMO_MakePacket Entry");
    int result = -1;
    if (name != nullptr && name[0] != '\0' && text != nullptr && text[0] != '\0' && packet != nullptr) {
        const std::size_t n = std::strlen(text);
        if (n <= cap && cap - n >= KMO_PACKET_HEADER_SIZE &&
            n <= static_cast<std::size_t>(INT_MAX) - KMO_PACKET_HEADER_SIZE) {
            auto* out = reinterpret_cast<unsigned char*>(packet);
            // The text goes first so that a text held in the packet buffer
            // itself is moved before the header overwrites it.
            std::memmove(out + KMO_PACKET_HEADER_SIZE, text, n);
            packet_PutBe32(out, static_cast<std::uint32_t>(n + KMO_PACKET_HEADER_SIZE - kLengthSize));
            packet_PutBe16(out + kTypeOffset, tranType);
            // Four name bytes; a shorter name is padded with zeros, which are
            // the bytes a zero-filled name buffer holds behind its NUL.
            const std::size_t nameLen = strnlen(name, kNameSize);
            std::memcpy(out + kNameOffset, name, nameLen);
            std::memset(out + kNameOffset + nameLen, 0, kNameSize - nameLen);
            result = static_cast<int>(n + KMO_PACKET_HEADER_SIZE);
        }
    }
    LOG_Write(kLogDebug, "KMO_MakePacket Exit");
    return result;
}

std::uint16_t KMO_IsPacketValid(const char* packet)
{
    LOG_Write(kLogDebug, "KMO_IsPacketValid Entry");
    const bool valid = packet != nullptr && packet[kNameOffset] == 'C' &&
                       packet[kNameOffset + 1] == 'L' && packet[kNameOffset + 2] == 'I' &&
                       packet[KMO_PACKET_HEADER_SIZE] == '|';
    LOG_Write(kLogDebug, "KMO_IsPacketValid Exit");
    return valid ? 1 : 0;
}

std::uint16_t KMO_IsTransactionOK(std::uint16_t cls, const char* packet)
{
    if (packet == nullptr) {
        return 0;
    }
    const std::uint16_t tranType =
        packet_GetBe16(reinterpret_cast<const unsigned char*>(packet) + kTypeOffset);
    LOG_Write(kLogDebug, "KMO_IsTransactionOK TranType=[%hd]", static_cast<short>(tranType));

    bool accepted = false;
    switch (cls) {
    case 0:
        accepted = tranType == 1 || tranType == 3 || tranType == 7;
        break;
    case 1:
        accepted = tranType == 1 || tranType == 2 || tranType == 3 || tranType == 4 ||
                   tranType == 7 || tranType == 8 || tranType == 99;
        break;
    case 2:
        accepted = tranType == 2 || tranType == 4;
        break;
    case 3:
        accepted = tranType == 8;
        break;
    default:
        break;
    }
    return accepted ? tranType : 0;
}

int KMO_SendPacket(PLAT_Sock sock, const char* data, int* len)
{
    if (len == nullptr) {
        return -1;
    }
    if (*len <= 0) {
        *len = 0;
        return 0;
    }
    if (data == nullptr) {
        *len = 0;
        return -1;
    }
    const std::size_t want = static_cast<std::size_t>(*len);
    std::size_t sent = 0;
    int result = 0;
    while (sent < want) {
        const long n = PLAT_SockSend(sock, data + sent, want - sent);
        // A send that takes nothing would make the loop spin for ever on a
        // blocking socket; it counts as a failure like -1.
        if (n <= 0) {
            result = -1;
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    *len = static_cast<int>(sent);
    return result;
}

int KMO_ReceivePacket(PLAT_Sock sock, char* buf, std::size_t cap, int* len)
{
    if (len == nullptr) {
        return 0;
    }
    if (buf == nullptr || cap < kLengthSize) {
        *len = -1;
        return 0;
    }

    // The length field may itself arrive in pieces; it is complete only when
    // all four bytes are there.
    const long head = packet_RecvAll(sock, buf, kLengthSize);
    if (head < static_cast<long>(kLengthSize)) {
        *len = head > 0 ? -1 : static_cast<int>(head);
        return 0;
    }

    const std::uint32_t body = packet_GetBe32(reinterpret_cast<const unsigned char*>(buf));
    const std::size_t limit = cap < static_cast<std::size_t>(INT_MAX) ? cap : INT_MAX;
    if (body > limit - kLengthSize) {
        *len = -1;
        return 0;
    }

    const long got = packet_RecvAll(sock, buf + kLengthSize, body);
    *len = static_cast<int>(kLengthSize + (got > 0 ? static_cast<std::size_t>(got) : 0));
    return 0;
}

namespace {

// Reads exactly `want` bytes at `buf`; false when the connection ended first.
bool packet_ReadExactly(KMO_ReadFn read, void* ctx, char* buf, std::size_t want, std::size_t* have)
{
    while (*have < want) {
        const std::size_t missing = want - *have;
        const int ask = missing > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(missing);
        int got = 0;
        if (read(ctx, buf + *have, ask, &got) != 0 || got <= 0 || got > ask) {
            return false;
        }
        *have += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

int KMO_ReceiveWhole(KMO_ReadFn read, void* ctx, char* buf, std::size_t cap, int* len)
{
    if (read == nullptr || buf == nullptr || len == nullptr || cap < kLengthSize) {
        return -1;
    }
    std::size_t have = 0;
    if (!packet_ReadExactly(read, ctx, buf, kLengthSize, &have)) {
        LOG_Write(kLogError, "KMO_ReceiveWhole la conexion termino tras %zu bytes del encabezado", have);
        return -1;
    }
    const std::uint32_t body = packet_GetBe32(reinterpret_cast<const unsigned char*>(buf));
    const std::size_t limit = cap < static_cast<std::size_t>(INT_MAX) ? cap : INT_MAX;
    if (body > limit - kLengthSize) {
        LOG_Write(kLogError, "KMO_ReceiveWhole el paquete anuncia %lu bytes, caben %zu",
                  static_cast<unsigned long>(body), limit - kLengthSize);
        return -1;
    }
    const std::size_t total = kLengthSize + body;
    if (!packet_ReadExactly(read, ctx, buf, total, &have)) {
        LOG_Write(kLogError, "KMO_ReceiveWhole la conexion termino tras %zu de %zu bytes", have, total);
        return -1;
    }
    *len = static_cast<int>(total);
    return 0;
}
