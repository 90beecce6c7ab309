// Pick-up latency of kmoclient: the time from a request file's rename into
// place to the appearance of its reply, against kmogateway on loopback.
// Measured with the directory wait (-w 1, a pause of 60 s) and, for
// comparison, with plain polling (-w 0, a pause of 50 ms).
//
// Run by hand, from a build with the end-to-end harness:
//   cmake --build build --target kmo_pickup_bench
//   build/bin/kmo_pickup_bench [requests]        (default 50)
// It prints min, median, p95 and max in milliseconds for each mode. The
// gateway is always up, so the client never probes its connectivity hosts.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

const std::string kRequest = "|G01=1234|G04=5678|G08=90|G99=000020|";

struct Stats {
    double min = 0, median = 0, p95 = 0, max = 0;
};

Stats Summarise(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1) + 0.5)]; };
    return {ms.front(), at(0.5), at(0.95), ms.back()};
}

// One client in the given mode; the latencies of `n` requests, or empty on failure.
std::vector<double> Measure(const char* waitMode, const char* pause, int n)
{
    Sandbox sb;
    Gateway gw;
    Client client;
    if (!sb.ok()) {
        std::fprintf(stderr, "no temporary directory\n");
        return {};
    }
    if (const std::string why = gw.Start(sb, {}); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return {};
    }
    const std::vector<std::string> args = {"-n", "CLI1", "-r", sb.root(), "-g", gw.address(), "-T", pause,
                                           "-w", waitMode, "-p", "-1", "-t", "caja1"};
    if (const std::string why = client.Start(sb, args); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return {};
    }
    const std::string in = sb.rootPath("caja1in.txt"), out = sb.rootPath("caja1out.txt");
    std::vector<double> ms;
    // One warm-up request: the client may still be starting.
    for (int i = -1; i < n; ++i) {
        // Let the client settle into its wait, as a terminal's next customer would.
        os::SleepMs(20);
        const double start = os::NowMs();
        if (!DropFile(in, kRequest))
            break;
        const bool answered = WaitUntil([&] {
            const std::optional<std::string> reply = ReadFile(out);
            return reply && !reply->empty();
        }, kWaitMs, 0);
        const double took = os::NowMs() - start;
        if (!answered) {
            std::fprintf(stderr, "request %d not answered within %d ms\n", i + 1, kWaitMs);
            break;
        }
        std::remove(out.c_str());
        if (i >= 0)
            ms.push_back(took);
    }
    client.StopWithFile();
    gw.Stop();
    return static_cast<int>(ms.size()) == n ? ms : std::vector<double>{};
}

}  // namespace

int main(int argc, char* argv[])
{
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    struct Mode {
        const char* label;
        const char* waitMode;
        const char* pause;
    };
    int status = 0;
    std::printf("%-28s %8s %8s %8s %8s   (ms, %d requests)\n", "mode", "min", "median", "p95", "max", n);
    for (const Mode& m : {Mode{"-w 1 -T 60000 (dir wait)", "1", "60000"}, Mode{"-w 0 -T 50 (polling)", "0", "50"}}) {
        const std::vector<double> ms = Measure(m.waitMode, m.pause, n);
        if (ms.empty()) {
            std::printf("%-28s failed\n", m.label);
            status = 1;
            continue;
        }
        const Stats s = Summarise(ms);
        std::printf("%-28s %8.2f %8.2f %8.2f %8.2f\n", m.label, s.min, s.median, s.p95, s.max);
    }
    return status;
}
