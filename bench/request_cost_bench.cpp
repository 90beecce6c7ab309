// What one request costs kmoclient, against the bare system calls it needs.
//
// A round puts a request in place for each of 100 terminals at once (renamed
// in from a staging folder) and takes the time until every reply exists.
// "kmoclient" serves the round with the real client (-w 1, so it wakes at the
// first rename); "bare" serves the same round in this process with nothing but
// the calls the road of a request cannot do without: open, read and remove the
// request, keep it in a synced in-flight file, one connection to the gateway
// (connect, send, receive the whole reply, close), write and sync the reply,
// drop the in-flight file. Both talk to the same kmogateway on loopback.
//
// Run by hand, from a build with the end-to-end harness:
//   cmake --build build --target kmo_request_cost_bench
//   build/bin/kmo_request_cost_bench [--no-inflight] [rounds]   (default 20)
// It prints the median time per request of each, and their ratio.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "plat_file.h"
#include "plat_fs.h"
#include "plat_sock.h"

namespace {

using namespace e2e;

constexpr int kTerminals = 100;
// Whether the bare road keeps the request in a synced in-flight file, as the
// client does; "--no-inflight" leaves it out (the road of older clients).
bool g_inflight = true;
const std::string kRequest = "|G01=1234|G04=5678|G08=90|G99=000020|";

std::string Terminal(int k)
{
    return "caja" + std::to_string(k);
}

std::string TerminalList()
{
    std::string list;
    for (int k = 0; k < kTerminals; ++k) {
        list += (k == 0 ? "" : ",") + Terminal(k);
    }
    return list;
}

// Writes every request under the staging folder, then renames them into the
// root as fast as it can. The time of the first rename.
double PlaceRound(const Sandbox& sb)
{
    const std::string stage = sb.path("stage");
    for (int k = 0; k < kTerminals; ++k) {
        WriteFile(stage + "/" + Terminal(k) + "in.txt", kRequest);
    }
    const double start = os::NowMs();
    for (int k = 0; k < kTerminals; ++k) {
        const std::string name = Terminal(k) + "in.txt";
        std::rename((stage + "/" + name).c_str(), sb.rootPath(name).c_str());
    }
    return start;
}

// Waits for every reply of the round, in table order, and removes them.
bool CollectRound(const Sandbox& sb)
{
    for (int k = 0; k < kTerminals; ++k) {
        const std::string out = sb.rootPath(Terminal(k) + "out.txt");
        if (!WaitUntil([&] { return Exists(out); }, kWaitMs, 1)) {
            std::fprintf(stderr, "no reply for %s\n", Terminal(k).c_str());
            return false;
        }
    }
    for (int k = 0; k < kTerminals; ++k) {
        std::remove(sb.rootPath(Terminal(k) + "out.txt").c_str());
    }
    return true;
}

// The bare road of one request; false when any call failed.
bool BareServe(const Sandbox& sb, int k, std::uint32_t gwAddr, std::uint16_t gwPort)
{
    const std::string in = sb.rootPath(Terminal(k) + "in.txt");
    std::array<char, 1025> request{};
    PLAT_File f = PLAT_FileOpenReadExclusive(in.c_str());
    if (f == PLAT_FILE_BAD) {
        return false;
    }
    const long got = PLAT_FileReadText(f, request.data(), request.size() - 1);
    PLAT_FileClose(f);
    if (got <= 0) {
        return false;
    }
    const std::string inflight = sb.path("inflight.txt");
    if ((g_inflight && PLAT_FileReplace(inflight.c_str(), request.data(), static_cast<std::size_t>(got)) != 0) ||
        PLAT_FsRemove(in.c_str(), nullptr) != 0) {
        return false;
    }

    std::string text(request.data(), static_cast<std::size_t>(got));
    text += "G06=|G41=" + Terminal(k) + "|";
    std::string packet(10, '\0');
    const std::uint32_t len = static_cast<std::uint32_t>(6 + text.size());
    packet[0] = static_cast<char>(len >> 24);
    packet[1] = static_cast<char>(len >> 16);
    packet[2] = static_cast<char>(len >> 8);
    packet[3] = static_cast<char>(len);
    packet[5] = 1;
    std::memcpy(&packet[6], "CLI1", 4);
    packet += text;

    const PLAT_Sock s = PLAT_SockTcp();
    bool ok = s != PLAT_SOCK_BAD && PLAT_SockConnect(s, gwAddr, gwPort) == 0 &&
              PLAT_SockSend(s, packet.data(), packet.size()) == static_cast<long>(packet.size());
    std::array<char, 4096> reply{};
    std::size_t have = 0, want = 4;
    while (ok && have < want) {
        const long n = PLAT_SockRecv(s, reply.data() + have, want - have);
        ok = n > 0;
        have += ok ? static_cast<std::size_t>(n) : 0;
        if (ok && want == 4 && have >= 4) {
            want = (static_cast<std::uint8_t>(reply[2]) << 8 | static_cast<std::uint8_t>(reply[3])) + 4u;
            ok = want <= reply.size() - 1;
        }
    }
    if (s != PLAT_SOCK_BAD) {
        PLAT_SockShutdown(s, 2);
        PLAT_SockClose(s);
    }
    if (!ok) {
        return false;
    }

    const std::string out = sb.rootPath(Terminal(k) + "out.txt");
    PLAT_File o = PLAT_FileOpenWriteExclusive(out.c_str());
    if (o == PLAT_FILE_BAD) {
        return false;
    }
    ok = PLAT_FileWriteText(o, reply.data() + 10, have - 10) >= 0 && PLAT_FileSync(o) == 0;
    PLAT_FileClose(o);
    return ok && (!g_inflight || PLAT_FsRemove(inflight.c_str(), nullptr) == 0);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds per request of each round, or empty on failure.
std::vector<double> MeasureClient(const Sandbox& sb, const Gateway& gw, int rounds)
{
    Client client;
    const std::vector<std::string> args = {"-n", "CLI1", "-r", sb.root(), "-g", gw.address(), "-T", "60000",
                                           "-w", "1", "-p", "-1", "-t", TerminalList()};
    if (const std::string why = client.Start(sb, args); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return {};
    }
    std::vector<double> perRequest;
    for (int r = -1; r < rounds; ++r) {   // one warm-up round
        os::SleepMs(50);
        const double start = PlaceRound(sb);
        if (!CollectRound(sb)) {
            return {};
        }
        if (r >= 0) {
            perRequest.push_back((os::NowMs() - start) / kTerminals);
        }
    }
    client.StopWithFile();
    return perRequest;
}

std::vector<double> MeasureBare(const Sandbox& sb, const Gateway& gw, int rounds)
{
    std::uint32_t addr = 0;
    if (PLAT_SockStartup() != 0 || PLAT_SockParseIPv4("127.0.0.1", &addr) != 0) {
        return {};
    }
    std::vector<double> perRequest;
    for (int r = -1; r < rounds; ++r) {
        os::SleepMs(50);
        const double start = PlaceRound(sb);
        for (int k = 0; k < kTerminals; ++k) {
            if (!BareServe(sb, k, addr, static_cast<std::uint16_t>(gw.port()))) {
                std::fprintf(stderr, "bare road failed for %s\n", Terminal(k).c_str());
                return {};
            }
        }
        if (!CollectRound(sb)) {
            return {};
        }
        if (r >= 0) {
            perRequest.push_back((os::NowMs() - start) / kTerminals);
        }
    }
    PLAT_SockCleanup();
    return perRequest;
}

}  // namespace

int main(int argc, char* argv[])
{
    int rounds = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-inflight") == 0) {
            g_inflight = false;
        } else {
            rounds = std::max(1, std::atoi(argv[i]));
        }
    }
    Sandbox sb;
    Gateway gw;
    if (!sb.ok() || std::system(("mkdir -p '" + sb.path("stage") + "'").c_str()) != 0) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    if (const std::string why = gw.Start(sb, {}); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    // Alternate the two, so that a change in the host's load touches both.
    std::vector<double> client, bare;
    for (int i = 0; i < 2; ++i) {
        const std::vector<double> b = MeasureBare(sb, gw, rounds / 2 + 1);
        const std::vector<double> c = MeasureClient(sb, gw, rounds / 2 + 1);
        if (b.empty() || c.empty()) {
            std::printf("failed\n");
            return 1;
        }
        bare.insert(bare.end(), b.begin(), b.end());
        client.insert(client.end(), c.begin(), c.end());
    }
    const double mc = Median(client), mb = Median(bare);
    std::printf("per request, median of %zu rounds of %d requests:\n", client.size(), kTerminals);
    std::printf("  kmoclient %8.3f ms\n  bare      %8.3f ms\n  ratio     %8.2f\n", mc, mb, mc / mb);
    return 0;
}
