// Backlog drain of kmoclient: a kmoautoresp.txt of 1,000 locally authorised
// records, the gateway (kmogateway) on loopback, the client with -w 1
// -T 60000. Measures the time from the client's start until kmoautoresp.txt
// is gone, and the pick-up latency of terminal requests dropped while the
// backlog drains (from a request file's rename into place to its reply).
//
// Run by hand, from a build with the end-to-end harness:
//   cmake --build build --target kmo_drain_bench
//   build/bin/kmo_drain_bench [runs] [records]      (default 3 runs of 1000)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

const std::string kRequest = "|G01=1234|G04=5678|G08=90|G99=000020|";

std::string Record(int n)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "|G01=1234|G04=%06d|G08=90|G99=000020|G06=|G41=caja1|G52=G2026%07d|", n, n);
    return buf;
}

double Percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

struct Run {
    double drainMs = -1;
    std::vector<double> pickupMs;
};

Run Measure(int records)
{
    Run run;
    Sandbox sb;
    Gateway gw;
    Client client;
    std::string backlog;
    for (int i = 1; i <= records; ++i)
        backlog += Record(i) + "\n";
    if (!sb.ok() || !WriteFile(sb.path("kmoautoresp.txt"), backlog)) {
        std::fprintf(stderr, "cannot prepare the sandbox\n");
        return run;
    }
    if (const std::string why = gw.Start(sb, {}); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return run;
    }
    const std::vector<std::string> args = {"-n", "CLI1", "-r", sb.root(), "-g", gw.address(), "-T", "60000",
                                           "-w", "1", "-p", "0", "-t", "caja1"};
    const std::string in = sb.rootPath("caja1in.txt"), out = sb.rootPath("caja1out.txt");
    const std::string pending = sb.path("kmoautoresp.txt");
    const double start = os::NowMs();
    if (const std::string why = client.Start(sb, args); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return run;
    }
    // Requests one after the other while the backlog drains.
    while (Exists(pending)) {
        os::SleepMs(10);
        const double dropped = os::NowMs();
        if (!DropFile(in, kRequest))
            break;
        const bool answered = WaitUntil([&] {
            const std::optional<std::string> reply = ReadFile(out);
            return reply && !reply->empty();
        }, kWaitMs, 0);
        const double took = os::NowMs() - dropped;
        if (!answered) {
            std::fprintf(stderr, "a request was not answered within %d ms\n", kWaitMs);
            break;
        }
        std::remove(out.c_str());
        if (Exists(pending))
            run.pickupMs.push_back(took);   // only requests served while records remained
    }
    if (WaitUntil([&] { return !Exists(pending); }, 120000, 1))
        run.drainMs = os::NowMs() - start;
    const std::size_t valid = SplitLines(ReadFile(sb.path("kmoautorespvalid.txt")).value_or("")).size();
    if (valid < static_cast<std::size_t>(records)) {
        std::fprintf(stderr, "only %zu of %d records were accepted\n", valid, records);
        run.drainMs = -1;
    }
    client.StopWithFile();
    gw.Stop();
    return run;
}

}  // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int records = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
    std::vector<double> pickups;
    int status = 0;
    std::printf("%d records, -w 1 -T 60000, kmogateway on loopback\n", records);
    for (int r = 1; r <= runs; ++r) {
        const Run run = Measure(records);
        if (run.drainMs < 0) {
            std::printf("run %d: failed\n", r);
            status = 1;
            continue;
        }
        std::printf("run %d: backlog gone after %.0f ms, %zu requests served meanwhile\n", r, run.drainMs,
                    run.pickupMs.size());
        pickups.insert(pickups.end(), run.pickupMs.begin(), run.pickupMs.end());
    }
    if (!pickups.empty()) {
        std::printf("pick-up latency while draining (%zu requests): p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    pickups.size(), Percentile(pickups, 0.5), Percentile(pickups, 0.99),
                    *std::max_element(pickups.begin(), pickups.end()));
    }
    return status;
}
