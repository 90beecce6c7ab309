// The gateway's judgement of a packet and its reply texts:
//   |F01=<G01>|F04=<G04>|F08=<G08>|F41=<G41>|F50=<code>|F51=<message>[|F52=<ref>]|
// packed with the request's TranType and the sender name "GATE".
#include "gw_reply.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "kmo_packet.h"
#include "kmo_tran.h"
#include "kmo_valid.h"
#include "log.h"

namespace {

constexpr int kLogError = 15;
constexpr int kLogDebug = 75;

constexpr const char* kSender = "GATE";
constexpr const char* kInvalidMessage = "TRANSACCION INVALIDA";

// Texts of at most this many bytes reach a client in its one 4096-byte receive.
constexpr std::size_t kReplyTextMax = 4096 - KMO_PACKET_HEADER_SIZE;

using FieldBuffer = std::array<char, KMO_TRAN_RESULT_SIZE>;

// The value of `tag` in `text`, empty when absent (cut to 511 characters).
FieldBuffer gw_Field(const char* text, const char* tag)
{
    FieldBuffer value{};
    KMO_TranGetField(text, tag, value.data(), value.size());
    return value;
}

// G99, when present, is a six-digit type code; G01, when given, a number.
bool gw_FieldsValid(const char* text)
{
    if (KMO_TranHasField(text, "G99") != 0) {
        const FieldBuffer g99 = gw_Field(text, "G99");
        if (KMO_ValidFieldNumeric(g99.data()) == 0 || KMO_ValidFieldLength(g99.data(), 6) == 0) {
            return false;
        }
    }
    const FieldBuffer g01 = gw_Field(text, "G01");
    return g01[0] == '\0' || KMO_ValidFieldNumeric(g01.data()) != 0;
}

// Builds the reply packet for `request`; `withRef` adds F52 with the next
// reference. A reply that cannot be built becomes a plain close.
GwAnswer gw_Reply(GwCounters& counters, std::uint16_t tranType, const char* request,
                  const char* code, const char* message, bool withRef)
{
    std::array<char, kReplyTextMax + 1> text{};
    bool ok = true;
    static constexpr std::array<std::array<const char*, 2>, 4> kEchoed = {{
        {"F01", "G01"}, {"F04", "G04"}, {"F08", "G08"}, {"F41", "G41"},
    }};
    for (const auto& [replyTag, requestTag] : kEchoed) {
        const FieldBuffer value = gw_Field(request, requestTag);
        ok = ok && KMO_TranPutfield(text.data(), text.size(), replyTag, value.data()) == 0;
    }
    ok = ok && KMO_TranPutfield(text.data(), text.size(), "F50", code) == 0;
    ok = ok && KMO_TranPutfield(text.data(), text.size(), "F51", message) == 0;
    if (withRef) {
        std::array<char, 16> ref{};
        std::snprintf(ref.data(), ref.size(), "%012llu",
                      static_cast<unsigned long long>(counters.nextRef % GW_REF_LIMIT));
        counters.nextRef = (counters.nextRef + 1) % GW_REF_LIMIT;
        ok = ok && KMO_TranPutfield(text.data(), text.size(), "F52", ref.data()) == 0;
    }
    KMO_TranClose(text.data(), text.size());

    GwAnswer answer;
    std::vector<char> packet(KMO_PACKET_HEADER_SIZE + kReplyTextMax);
    const int size = ok ? KMO_MakePacket(tranType, kSender, text.data(), packet.data(), packet.size()) : -1;
    if (size < 0) {
        LOG_Write(kLogError, "GATEWAY_Answer cannot build the reply, closing instead");
        return answer;
    }
    packet.resize(static_cast<std::size_t>(size));
    answer.action = GwAction::Send;
    answer.bytes = std::move(packet);
    LOG_Write(kLogDebug, "GATEWAY_Answer reply=[%s]", text.data());
    return answer;
}

}  // namespace

GwAnswer GW_Answer(const GwOptions& opts, GwCounters& counters, const char* packet, std::size_t len)
{
    if (len > GW_PACKET_MAX) return GwAnswer{};   // the loop never collects more
    // A zero-filled copy with room to spare: the checks read the first 11
    // bytes whatever the packet's size, and the text becomes a C string.
    std::vector<char> copy(std::max<std::size_t>(len, KMO_PACKET_HEADER_SIZE + 1) + 1, '\0');
    std::copy(packet, packet + len, copy.begin());
    const char* text = copy.data() + KMO_PACKET_HEADER_SIZE;
    const auto tranType = static_cast<std::uint16_t>(
        (static_cast<unsigned char>(copy[4]) << 8) | static_cast<unsigned char>(copy[5]));

    if (len < KMO_PACKET_HEADER_SIZE || KMO_IsPacketValid(copy.data()) == 0) {
        LOG_Write(kLogDebug, "GATEWAY_Answer invalid packet, refused");
        return gw_Reply(counters, tranType, text, "ER", kInvalidMessage, true);
    }
    if (tranType == 0) {
        LOG_Write(kLogDebug, "GATEWAY_Answer heartbeat, no answer");
        return GwAnswer{GwAction::Ignore, {}};
    }
    const std::uint16_t accepted = KMO_IsTransactionOK(0, copy.data());
    if ((accepted != 1 && accepted != 3) || !gw_FieldsValid(text)) {
        LOG_Write(kLogDebug, "GATEWAY_Answer invalid request TranType=[%u], refused",
                  static_cast<unsigned>(tranType));
        return gw_Reply(counters, tranType, text, "ER", kInvalidMessage, true);
    }

    const std::size_t last = opts.policies.size() - 1;
    GwPolicy policy = opts.policies[std::min(counters.policyIndex, last)];
    if (counters.policyIndex <= last) ++counters.policyIndex;
    if (!opts.refuseG04.empty()) {
        const FieldBuffer g04 = gw_Field(text, "G04");
        if (std::find(opts.refuseG04.begin(), opts.refuseG04.end(), g04.data()) != opts.refuseG04.end()) {
            policy = GwPolicy::Refuse;
        }
    }

    switch (policy) {
    case GwPolicy::Approve:
        return gw_Reply(counters, tranType, text, "00",
                        opts.messageSet ? opts.message.c_str() : "RECETA APROBADA", true);
    case GwPolicy::Refuse:
        return gw_Reply(counters, tranType, text, "ER",
                        opts.messageSet ? opts.message.c_str() : "RECETA RECHAZADA", true);
    case GwPolicy::NoF52:
        return gw_Reply(counters, tranType, text, "00",
                        opts.messageSet ? opts.message.c_str() : "RECETA APROBADA", false);
    case GwPolicy::Raw:
        return GwAnswer{GwAction::Send, opts.raw};
    case GwPolicy::Silent:
        return GwAnswer{GwAction::Hold, {}};
    case GwPolicy::Close:
        break;
    }
    return GwAnswer{GwAction::Close, {}};
}
