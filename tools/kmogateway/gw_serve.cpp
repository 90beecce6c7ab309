// One thread, one readiness wait over the listening socket and every accepted
// connection. Each connection collects one packet (the length field, then the
// bytes it announces), gets its answer and is closed. Pauses (--delay,
// --split) are served inline: the loop waits while one connection sleeps,
// which is acceptable for a test gateway; a client that sends nothing only
// keeps its own slot.
#include "gw_serve.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "gw_record.h"
#include "gw_reply.h"
#include "kmo_socket.h"
#include "log.h"
#include "plat_proc.h"
#include "plat_time.h"

namespace {

constexpr int kLogError = 15;
constexpr int kLogInfo = 55;
constexpr int kLogDebug = 75;

constexpr std::size_t kLengthField = 4;
// The readiness set holds 64 sockets, the listening one among them; a
// connection beyond that would never be reported, so it is closed at once.
constexpr int kMaxClients = SOCKET_SET_SIZE - 1;

struct Conn {
    bool open = false;
    bool held = false;                  // answered with silence: kept until the client leaves
    std::vector<char> data;             // the bytes of the packet so far
    std::size_t need = kLengthField;    // bytes wanted: the length field, then the packet
};

struct Server {
    int listenId = -1;
    const GwOptions* opts = nullptr;
    GwCounters counters;
    std::array<Conn, SOCKET_TABLE_SIZE> conns;
    int openCount = 0;
};

// Sleeps `ms` milliseconds in all, or less when a stop is requested.
// false when the pause was cut short by a stop.
bool srv_Pause(std::uint32_t ms)
{
    const double end = PLAT_MonotonicSeconds() + ms / 1000.0;
    while (PLAT_StopRequested() == 0) {
        const double left = end - PLAT_MonotonicSeconds();
        if (left <= 0) return true;
        PLAT_SleepMs(static_cast<std::uint32_t>(left * 1000.0) + 1);
    }
    return false;
}

// Closes a connection; bytes of a packet cut short are recorded first.
void srv_Drop(Server& srv, int id)
{
    Conn& conn = srv.conns[static_cast<std::size_t>(id)];
    if (!conn.open) return;
    GW_RecordAppend(conn.data.data(), conn.data.size());
    conn = Conn{};
    --srv.openCount;
    SOCKET_Close(id, 2);
}

void srv_Close(Server& srv, int id)
{
    srv.conns[static_cast<std::size_t>(id)].data.clear();
    srv_Drop(srv, id);
}

bool srv_Send(int id, const char* data, std::size_t len)
{
    if (len == 0) return true;
    int n = static_cast<int>(len);
    if (SOCKET_Send(id, data, &n) != 0) {
        LOG_Write(kLogError, "GATEWAY_Serve send failed ClientId=[%d] sent=[%d]", id, n);
        return false;
    }
    return true;
}

// Sends the answer, cut at the --split-at offsets with --split pauses between
// the parts when --split asks for it.
void srv_SendReply(const Server& srv, int id, const std::vector<char>& bytes)
{
    const std::uint32_t split = srv.opts->splitMs;
    if (split == 0) {
        srv_Send(id, bytes.data(), bytes.size());
        return;
    }
    std::size_t from = 0;
    for (const std::size_t cut : srv.opts->splitAt) {
        const std::size_t to = std::min(cut, bytes.size());
        if (to <= from) continue;
        if (!srv_Send(id, bytes.data() + from, to - from) || !srv_Pause(split)) return;
        from = to;
    }
    srv_Send(id, bytes.data() + from, bytes.size() - from);
}

// A whole packet has arrived: record it, answer it, close the connection.
void srv_Answer(Server& srv, int id)
{
    Conn& conn = srv.conns[static_cast<std::size_t>(id)];
    GW_RecordAppend(conn.data.data(), conn.data.size());
    const GwAnswer answer = GW_Answer(*srv.opts, srv.counters, conn.data.data(), conn.data.size());
    conn.data.clear();

    if (answer.action != GwAction::Ignore && !srv_Pause(srv.opts->delayMs)) {
        srv_Close(srv, id);
        return;
    }
    if (answer.action == GwAction::Hold) {
        conn.held = true;
        LOG_Write(kLogInfo, "GATEWAY_Serve holding ClientId=[%d] without answer", id);
        return;
    }
    if (answer.action == GwAction::Send) {
        srv_SendReply(srv, id, answer.bytes);
        LOG_Write(kLogInfo, "GATEWAY_Serve answered ClientId=[%d] with %zu bytes", id,
                  answer.bytes.size());
    } else {
        LOG_Write(kLogInfo, "GATEWAY_Serve closing ClientId=[%d] without answer", id);
    }
    srv_Close(srv, id);
}

void srv_Accept(Server& srv)
{
    char unused[1];
    int len = 0;
    const int id = SOCKET_Receive(srv.listenId, unused, sizeof unused, &len);
    if (id < 0) return;   // the layer has logged why
    if (id >= SOCKET_TABLE_SIZE || srv.openCount >= kMaxClients) {
        LOG_Write(kLogError, "GATEWAY_Serve too many connections, closing ClientId=[%d]", id);
        SOCKET_Close(id, 2);
        return;
    }
    Conn& conn = srv.conns[static_cast<std::size_t>(id)];
    conn = Conn{};
    conn.open = true;
    ++srv.openCount;
    LOG_Write(kLogDebug, "GATEWAY_Serve new connection ClientId=[%d]", id);
}

// Reads what one receive gives, never past the current packet.
void srv_Read(Server& srv, int id)
{
    Conn& conn = srv.conns[static_cast<std::size_t>(id)];
    std::array<char, SOCKET_RECEIVE_MAX> chunk{};
    const std::size_t want = std::min(conn.need - conn.data.size(), chunk.size());
    int len = 0;
    if (SOCKET_Receive(id, chunk.data(), static_cast<int>(want), &len) != 0 || len <= 0) {
        LOG_Write(kLogInfo, "GATEWAY_Serve ClientId=[%d] left after %zu bytes", id,
                  conn.data.size());
        srv_Drop(srv, id);
        return;
    }
    if (conn.held) return;   // whatever else it sends goes unanswered too
    conn.data.insert(conn.data.end(), chunk.data(), chunk.data() + len);

    if (conn.need == kLengthField && conn.data.size() == kLengthField) {
        const auto* p = reinterpret_cast<const unsigned char*>(conn.data.data());
        const std::uint32_t announced = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                        (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
        if (announced > GW_PACKET_MAX - kLengthField) {
            LOG_Write(kLogError, "GATEWAY_Serve ClientId=[%d] announces %lu bytes, dropped", id,
                      static_cast<unsigned long>(announced));
            srv_Drop(srv, id);
            return;
        }
        conn.need = kLengthField + announced;
        conn.data.reserve(conn.need);
    }
    if (conn.data.size() == conn.need) srv_Answer(srv, id);
}

}  // namespace

void GW_Serve(int listenId, const GwOptions& opts)
{
    Server srv;
    srv.listenId = listenId;
    srv.opts = &opts;
    srv.counters.nextRef = opts.refStart;

    std::vector<int> ready;
    while (PLAT_StopRequested() == 0) {
        if (SOCKET_Select() != 0) {
            if (PLAT_StopRequested() != 0) break;
            PLAT_SleepMs(10);   // do not spin on a wait that keeps failing
            continue;
        }
        // Take every answer before acting: closing and accepting may hand a
        // slot, or a socket number, to a connection the wait never saw.
        ready.clear();
        for (int id = 0; id < SOCKET_TABLE_SIZE; ++id) {
            if (srv.conns[static_cast<std::size_t>(id)].open && SOCKET_IsSet(id) != 0) {
                ready.push_back(id);
            }
        }
        const bool pending = SOCKET_IsSet(listenId) != 0;
        for (int id : ready) {
            if (PLAT_StopRequested() != 0) break;
            srv_Read(srv, id);
        }
        if (pending && PLAT_StopRequested() == 0) srv_Accept(srv);
    }

    LOG_Write(kLogInfo, "GATEWAY_Serve stopping, %d connections open", srv.openCount);
    for (int id = 0; id < SOCKET_TABLE_SIZE; ++id) srv_Drop(srv, id);
}
