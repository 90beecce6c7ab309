// Invariants of the transaction-text and packet operations under arbitrary
// input. Every buffer handed to an operation is followed by guard bytes; a
// changed guard byte means a write past the capacity that was passed.
#include "kmo_fuzz_check.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>


#include "kmo_packet.h"
#include "kmo_tran.h"
#include "stream_pair.h"

namespace {

constexpr char kFill = '\x5A';
constexpr std::size_t kGuard = 16;

// `cap` usable bytes plus guard bytes, all set to kFill.
struct GuardedBuf {
    std::vector<char> bytes;
    std::size_t cap;

    explicit GuardedBuf(std::size_t c) : bytes(c + kGuard, kFill), cap(c) {}
    GuardedBuf(std::size_t c, std::string_view init) : GuardedBuf(c)
    {
        std::memcpy(bytes.data(), init.data(), init.size());
        bytes[init.size()] = '\0';
    }
    char* data() { return bytes.data(); }
    bool GuardIntact() const
    {
        return std::all_of(bytes.begin() + static_cast<long>(cap), bytes.end(),
                           [](char c) { return c == kFill; });
    }
    bool Untouched() const
    {
        return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == kFill; });
    }
};

struct Input {
    std::size_t smallCap = 1;
    std::uint16_t cls = 0;
    std::uint16_t type = 0;
    std::string text;
    std::optional<std::string> tag, value, name;
};

Input fuzz_Parse(const std::uint8_t* data, std::size_t size)
{
    Input in;
    auto byte = [&](std::size_t i) { return i < size ? data[i] : std::uint8_t{0}; };
    in.smallCap = 1 + byte(0) % 40;
    in.cls = byte(1) % 6 == 5 ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>(byte(1) % 6);
    in.type = static_cast<std::uint16_t>((byte(1) << 8) | byte(2));

    const std::string_view rest =
        size > 3 ? std::string_view(reinterpret_cast<const char*>(data) + 3, size - 3) : std::string_view{};
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    while (parts.size() < 3) {
        const std::size_t nul = rest.find('\0', from);
        if (nul == std::string_view::npos) {
            break;
        }
        parts.push_back(rest.substr(from, nul - from));
        from = nul + 1;
    }
    parts.push_back(rest.substr(std::min(from, rest.size())));
    in.text = std::string(parts[0]);
    if (parts.size() > 1) in.tag = std::string(parts[1]);
    if (parts.size() > 2) in.value = std::string(parts[2]);
    if (parts.size() > 3) in.name = std::string(parts[3]);
    return in;
}

const char* c_str(const std::optional<std::string>& s)
{
    return s ? s->c_str() : nullptr;
}

bool fuzz_Readable(std::string_view value, std::string_view text)
{
    return value.find('|') == std::string_view::npos && text.find(value) != std::string_view::npos;
}

const char* fuzz_CheckGet(const Input& in)
{
    const char* tag = c_str(in.tag);
    GuardedBuf dest(in.smallCap);
    const char* got = KMO_TranGetField(in.text.c_str(), tag, dest.data(), dest.cap);
    if (in.text.empty() || tag == nullptr || tag[0] == '\0') {
        if (got != nullptr || !dest.Untouched()) return "get: invalid input not refused";
        return nullptr;
    }
    if (got != dest.data()) return "get: did not return the caller's buffer";
    if (!dest.GuardIntact()) return "get: wrote past the destination";

    const std::string_view searched = std::string_view(in.text).substr(0, KMO_TRAN_WORK_SIZE - 1);
    const char* shared = KMO_TranGetField(in.text.c_str(), tag, nullptr, 0);
    if (shared == nullptr) return "get: null result with the result buffer";
    const std::size_t sharedLen = strnlen(shared, KMO_TRAN_RESULT_SIZE);
    if (sharedLen >= KMO_TRAN_RESULT_SIZE) return "get: result buffer overrun";
    if (!fuzz_Readable(std::string_view(shared, sharedLen), searched)) return "get: result not a value of the text";

    if (dest.Untouched()) {
        if (sharedLen != 0) return "get: field read into one buffer but not the other";
        return nullptr;
    }
    const std::size_t len = strnlen(dest.data(), dest.cap);
    if (len >= dest.cap) return "get: value not terminated inside the capacity";
    if (std::string_view(dest.data(), len) != std::string_view(shared, std::min(sharedLen, dest.cap - 1)))
        return "get: caller's copy differs from the result buffer's";
    return nullptr;
}

const char* fuzz_CheckHasAndDel(const Input& in)
{
    const char* tag = c_str(in.tag);
    if (tag != nullptr) {
        const bool has = in.text.find(*in.tag) != std::string::npos;
        if (KMO_TranHasField(in.text.c_str(), tag) != (has ? 1 : 0)) return "has: wrong answer";
    }

    GuardedBuf buf(in.text.size() + 1, in.text);
    const int rc = KMO_TranDelField(buf.data(), tag);
    if (!buf.GuardIntact()) return "del: wrote past the text";
    const std::string after(buf.data());
    if (in.text.empty() || tag == nullptr || tag[0] == '\0') {
        if (rc != -1 || after != in.text) return "del: invalid input not refused";
        return nullptr;
    }
    if (rc != 0) return "del: valid input refused";
    if (after == in.text) return nullptr;
    // Exactly one segment went: from the first match of the tag up to and
    // including the first '|' behind it.
    const std::size_t at = in.text.find(*in.tag);
    const std::size_t k = in.text.size() - std::min(after.size(), in.text.size());
    if (at == std::string::npos || k == 0 || after.size() >= in.text.size()) return "del: text changed wrongly";
    const std::string_view cut = std::string_view(in.text).substr(at, k);
    if (cut.back() != '|' || cut.find('|') != k - 1) return "del: removed segment does not end at its separator";
    if (after != in.text.substr(0, at) + in.text.substr(at + k)) return "del: text changed outside the field";
    return nullptr;
}

const char* fuzz_CheckPutAndClose(const Input& in)
{
    const char* tag = c_str(in.tag);
    const char* value = c_str(in.value);
    for (std::size_t extra : {std::size_t{0}, in.smallCap, std::size_t{4096}}) {
        GuardedBuf buf(in.text.size() + 1 + extra, in.text);
        const int rc = KMO_TranPutfield(buf.data(), buf.cap, tag, value);
        if (!buf.GuardIntact()) return "put: wrote past the capacity";
        const std::string after(buf.data());
        if (rc != 0) {
            if (rc != -1 || after != in.text) return "put: failure changed the text";
            continue;
        }
        if (after.compare(0, in.text.size(), in.text) != 0) return "put: earlier text changed";
        const bool needsSep = in.text.empty() || in.text.back() != '|';
        if (needsSep && after[in.text.size()] != '|') return "put: separator missing before the field";
        const std::string field = *in.tag + "=" + *in.value;
        if (after.size() < field.size() || after.compare(after.size() - field.size(), field.size(), field) != 0)
            return "put: field not appended";
    }

    for (std::size_t extra : {std::size_t{0}, std::size_t{1}}) {
        GuardedBuf buf(in.text.size() + 1 + extra, in.text);
        KMO_TranClose(buf.data(), buf.cap);
        if (!buf.GuardIntact()) return "close: wrote past the capacity";
        const std::string expect = extra == 1 && !in.text.empty() ? in.text + "|" : in.text;
        if (std::string(buf.data()) != expect) return "close: wrong text";
    }

    // Put then get on a fresh text gives the value back (cut to the
    // destination) whenever the tag cannot be confused with the separators.
    if (tag == nullptr || value == nullptr || in.tag->empty() ||
        in.tag->find_first_of("=|") != std::string::npos || in.value->find('|') != std::string::npos) {
        return nullptr;
    }
    GuardedBuf text(1025, "");
    const bool fits = 1 + in.tag->size() + 1 + in.value->size() + 1 <= text.cap;
    if (KMO_TranPutfield(text.data(), text.cap, tag, value) != (fits ? 0 : -1)) return "put: wrong result for fit";
    KMO_TranClose(text.data(), text.cap);
    if (!text.GuardIntact()) return "put/close: wrote past the capacity";
    // The closing '|' needs one byte more than the put itself.
    if (!fits || std::strlen(text.data()) + 1 == text.cap) return nullptr;
    GuardedBuf dest(in.smallCap);
    KMO_TranGetField(text.data(), tag, dest.data(), dest.cap);
    if (std::string_view(dest.data(), strnlen(dest.data(), dest.cap)) != in.value->substr(0, dest.cap - 1))
        return "put/get: value not read back";
    const char* shared = KMO_TranGetField(text.data(), tag, nullptr, 0);
    if (shared == nullptr || std::string(shared) != in.value->substr(0, KMO_TRAN_RESULT_SIZE - 1))
        return "put/get: value not read back through the result buffer";
    return nullptr;
}

const char* fuzz_CheckMakePacket(const Input& in)
{
    const char* name = c_str(in.name);
    const std::size_t n = in.text.size();
    const std::size_t cap = n + KMO_PACKET_HEADER_SIZE - in.smallCap % 3;
    GuardedBuf packet(cap);
    const int rc = KMO_MakePacket(in.type, name, in.text.c_str(), packet.data(), packet.cap);
    if (!packet.GuardIntact()) return "make: wrote past the capacity";
    const bool valid = name != nullptr && name[0] != '\0' && n > 0 && n + KMO_PACKET_HEADER_SIZE <= cap;
    if (!valid) {
        if (rc != -1 || !packet.Untouched()) return "make: refused input changed the buffer";
        return nullptr;
    }
    if (rc != static_cast<int>(n + KMO_PACKET_HEADER_SIZE)) return "make: wrong size";
    const auto* p = reinterpret_cast<const unsigned char*>(packet.data());
    const std::size_t length = (std::size_t{p[0]} << 24) | (std::size_t{p[1]} << 16) | (std::size_t{p[2]} << 8) | p[3];
    if (length != n + 6) return "make: wrong length field";
    if (((p[4] << 8) | p[5]) != in.type) return "make: wrong type field";
    char nameBytes[4] = {};
    std::memcpy(nameBytes, name, strnlen(name, 4));
    if (std::memcmp(packet.data() + 6, nameBytes, 4) != 0) return "make: wrong name bytes";
    if (std::memcmp(packet.data() + 10, in.text.data(), n) != 0) return "make: wrong text";
    return nullptr;
}

const char* fuzz_CheckParsers(const Input& in, const std::uint8_t* data, std::size_t size)
{
    std::vector<char> packet(std::max<std::size_t>(size, KMO_PACKET_HEADER_SIZE + 1), '\0');
    std::memcpy(packet.data(), data, size);
    const bool valid = std::memcmp(packet.data() + 6, "CLI", 3) == 0 && packet[10] == '|';
    if (KMO_IsPacketValid(packet.data()) != (valid ? 1 : 0)) return "valid: wrong answer";
    const std::uint16_t type = static_cast<std::uint16_t>((static_cast<unsigned char>(packet[4]) << 8) |
                                                          static_cast<unsigned char>(packet[5]));
    const std::uint16_t ok = KMO_IsTransactionOK(in.cls, packet.data());
    if (ok != 0 && ok != type) return "transaction: answer is neither 0 nor the type";
    return nullptr;
}

// Streams the raw input through KMO_SendPacket and KMO_ReceivePacket.
const char* fuzz_CheckReceive(const std::uint8_t* data, std::size_t size, std::size_t cap)
{
    size = std::min<std::size_t>(size, 16384);  // stays well inside a socket buffer
    PLAT_Sock fd[2];
    if (!StreamPairOpen(fd)) return nullptr;
    int len = static_cast<int>(size);
    const int sent = KMO_SendPacket(fd[1], reinterpret_cast<const char*>(data), &len);
    PLAT_SockShutdown(fd[1], 1);
    GuardedBuf buf(cap);
    int got = 12345;
    const int rc = KMO_ReceivePacket(fd[0], buf.data(), buf.cap, &got);
    PLAT_SockClose(fd[0]);
    PLAT_SockClose(fd[1]);

    if (sent != 0 || len != static_cast<int>(size)) return "send: not everything went out";
    if (rc != 0) return "receive: result is not 0";
    if (!buf.GuardIntact()) return "receive: wrote past the capacity";
    if (got > static_cast<int>(cap)) return "receive: length larger than the capacity";
    if (got > 0 && std::memcmp(buf.data(), data, static_cast<std::size_t>(got)) != 0)
        return "receive: bytes differ from those sent";
    if (size < 4 || cap < 4) {
        if (got > 0) return "receive: incomplete length field accepted";
        return nullptr;
    }
    const std::size_t want = 4 + ((std::size_t{data[0]} << 24) | (std::size_t{data[1]} << 16) |
                                  (std::size_t{data[2]} << 8) | data[3]);
    if (want > cap) {
        if (got > 0) return "receive: packet larger than the buffer accepted";
    } else if (static_cast<std::size_t>(got) != std::min(want, size)) {
        return "receive: wrong byte count";
    }
    return nullptr;
}

}  // namespace

const char* kmo_FuzzCheck(const std::uint8_t* data, std::size_t size)
{
    const Input in = fuzz_Parse(data, size);
    for (const char* failure : {fuzz_CheckGet(in), fuzz_CheckHasAndDel(in), fuzz_CheckPutAndClose(in),
                                fuzz_CheckMakePacket(in), fuzz_CheckParsers(in, data, size),
                                fuzz_CheckReceive(data, size, in.smallCap),
                                fuzz_CheckReceive(data, size, 4096)}) {
        if (failure != nullptr) {
            return failure;
        }
    }
    return nullptr;
}
