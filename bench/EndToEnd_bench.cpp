// The whole road under load: N POS lanes each send a bounded number of Sales through the POS server, the host
// interface and the discovered providers to the host simulator, which answers at once. The simulator runs in a
// child process (forked before any thread exists), so the CPU this process spends, less the lanes' own threads,
// is the server's.
//
// Counters of each run:
//   tx_per_s        transactions answered per second of wall time
//   answer_to_reply time from the simulator's answer to the final reply reaching the lane (mean, p50, p99, max ms);
//                   by the session's rule a reply goes out after a second without input from the lane
//   server_cpu_us   the server's CPU time (user + system) per transaction
//   peak_threads    most threads of this process seen during the run
//   rss_mb          resident memory at the end of the run; peak_rss_mb the process's high-water mark
// The "Quiet10ms" runs set the session's receive wait (the quiet period before delivery) to 10 ms, to show what
// the rest of the road costs once the delivery rule no longer paces the lanes.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/PeakSampler.h"
#include "common/Wait.h"
#include "peers/EndToEndFixture.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/WorkerThread.h"

namespace {

// The simulator child: its discovery hosts and the pipes to ask it for the answer times.
struct CSimulatorChild {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    std::vector<std::string> discoveryHosts;
};
CSimulatorChild g_Child;

bool ReadLine(int fd, std::string* line) {
    line->clear();
    char c = 0;
    for (;;) {
        const ssize_t got = ::read(fd, &c, 1);
        if (got <= 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        *line += c;
    }
}

void WriteText(int fd, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t put = ::write(fd, text.data() + at, text.size() - at);
        if (put <= 0) {
            return;
        }
        at += static_cast<size_t>(put);
    }
}

// The field "15" (invoice) of a host message, which names the Sale of a lane.
std::string InvoiceOf(const std::string& hostMessage) {
    CHostRequestMessage message;
    std::string problem;
    CHostRequestMessage::Decode(hostMessage, &message, &problem);
    return message.m_Invoice;
}

// Runs in the child: serves until the parent closes its pipe. "times" asks for "invoice tick" lines of every
// answered Sale since the last ask, then "end"; "card ACCOUNT CENTS" puts a card in place.
[[noreturn]] void RunSimulatorChild(int commands, int replies) {
    CHostSimulatorOptions options;
    options.providers = 2;
    options.discoveryHosts = 2;
    CHostSimulator simulator(EndToEndPki().Leaf(TestLeaf::LoopbackIp), options);
    if (!simulator.Start()) {
        _exit(1);
    }
    WriteText(replies, simulator.DiscoveryHost(0) + " " + simulator.DiscoveryHost(1) + "\n");
    std::string line;
    while (ReadLine(commands, &line)) {
        if (line == "times") {
            std::string out;
            for (const CHostExchange& exchange : simulator.Exchanges()) {
                out += InvoiceOf(exchange.request) + " " + std::to_string(exchange.receivedTickMs) + "\n";
            }
            simulator.Host().ClearExchanges();
            WriteText(replies, out + "end\n");
        } else if (line.rfind("card ", 0) == 0) {
            std::istringstream in(line.substr(5));
            std::string account;
            long long cents = 0;
            in >> account >> cents;
            simulator.Host().AddCard(account, cents);
            WriteText(replies, "ok\n");
        }
    }
    simulator.Stop();
    _exit(0);
}

bool StartSimulatorChild() {
    int down[2];
    int up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) {
        return false;
    }
    EndToEndPki(); // both processes hold the same CA
    const pid_t pid = ::fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        ::close(down[1]);
        ::close(up[0]);
        RunSimulatorChild(down[0], up[1]);
    }
    ::close(down[0]);
    ::close(up[1]);
    g_Child.pid = pid;
    g_Child.toChild = down[1];
    g_Child.fromChild = up[0];
    std::string line;
    if (!ReadLine(g_Child.fromChild, &line)) {
        return false;
    }
    const size_t blank = line.find(' ');
    g_Child.discoveryHosts = {line.substr(0, blank), line.substr(blank + 1)};
    return true;
}

void StopSimulatorChild() {
    if (g_Child.pid > 0) {
        ::close(g_Child.toChild);
        int status = 0;
        ::waitpid(g_Child.pid, &status, 0);
        ::close(g_Child.fromChild);
        g_Child.pid = -1;
    }
}

std::map<std::string, uint64_t> TakeAnswerTimes() {
    WriteText(g_Child.toChild, "times\n");
    std::map<std::string, uint64_t> times;
    std::string line;
    while (ReadLine(g_Child.fromChild, &line) && line != "end") {
        const size_t blank = line.find(' ');
        times[line.substr(0, blank)] = std::stoull(line.substr(blank + 1));
    }
    return times;
}

void AddCard(const std::string& account, long long cents) {
    WriteText(g_Child.toChild, "card " + account + " " + std::to_string(cents) + "\n");
    std::string ok;
    ReadLine(g_Child.fromChild, &ok);
}

double ProcessCpuUs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double ThreadCpuUs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// What the lanes measured.
struct CLaneResults {
    std::mutex lock;
    std::map<std::string, uint64_t> replyTicks; // invoice -> clock tick of the final reply
    double laneCpuUs = 0;
    int approved = 0;
    int failed = 0;
    std::string firstError;
};

void RunLanes(benchmark::State& state, bool quiet) {
    const int lanes = static_cast<int>(state.range(0));
    const int perLane = static_cast<int>(state.range(1));
    if (g_Child.pid <= 0) {
        state.SkipWithError("no simulator child");
        return;
    }
    CEndToEndOptions options;
    options.clockFactor = 0; // real time: the figures are the server's own
    options.externalDiscovery = g_Child.discoveryHosts;
    if (quiet) {
        options.sessionTimings.receiveWaitMs = 10;
    }
    for (int lane = 0; lane < lanes; ++lane) {
        AddCard("60064900" + std::to_string(10000000 + lane), 1000000);
    }
    TakeAnswerTimes();

    for (auto _ : state) {
        CEndToEndWorld world(options);
        if (!world.Start()) {
            state.SkipWithError(world.LastError().c_str());
            return;
        }
        CLaneResults results;
        // This process's own peak: the server runs in it.
        CPeakSampler sampler(0, 5, false);

        // All lanes log in first, a few milliseconds apart as lanes come up in a shop (the server's listen
        // backlog is 5), and start their Sales together once every one is in.
        std::vector<std::unique_ptr<CPosClient>> clients(static_cast<size_t>(lanes));
        std::atomic<int> ready{0};
        CEvent go(true);
        double cpuBefore = 0;
        uint64_t wallBefore = 0;
        std::vector<std::unique_ptr<CWorkerThread>> threads;
        for (int lane = 0; lane < lanes; ++lane) {
            threads.push_back(std::make_unique<CWorkerThread>("bench-lane", [&, lane] {
                auto& client = clients[static_cast<size_t>(lane)];
                client = world.NewLane();
                if (!client) {
                    std::lock_guard<std::mutex> lock(results.lock);
                    results.failed += perLane;
                    results.firstError = results.firstError.empty() ? world.LastError() : results.firstError;
                }
                ready.fetch_add(1);
                go.Wait(kInfinite);
                const double cpuStart = ThreadCpuUs();
                for (int i = 0; client && i < perLane; ++i) {
                    const std::string invoice = std::to_string(100000 + lane * 100 + i);
                    SPosRequest request =
                        CEndToEndWorld::Request("Sale", "60064900" + std::to_string(10000000 + lane), "1.00", invoice);
                    SPosReply reply;
                    const bool ok = world.Transact(*client, request, &reply, nullptr, 60000);
                    const uint64_t tick = GetClock().TickMs();
                    std::lock_guard<std::mutex> lock(results.lock);
                    if (ok && reply.cmdStatus == "Approved") {
                        ++results.approved;
                        results.replyTicks[invoice] = tick;
                    } else {
                        ++results.failed;
                        if (results.firstError.empty()) {
                            results.firstError = ok ? reply.textResponse : world.LastError();
                        }
                    }
                }
                std::lock_guard<std::mutex> lock(results.lock);
                results.laneCpuUs += ThreadCpuUs() - cpuStart;
                return 0;
            }));
            threads.back()->Start();
            GetClock().SleepMs(3);
        }
        while (ready.load() < lanes) {
            GetClock().SleepMs(1);
        }
        cpuBefore = ProcessCpuUs();
        wallBefore = GetClock().TickMs();
        go.Set();
        threads.clear(); // joins every lane
        const uint64_t wallMs = GetClock().TickMs() - wallBefore;
        const double serverCpuUs = ProcessCpuUs() - cpuBefore - results.laneCpuUs;
        sampler.Stop();
        const long rssKb = ProcessStatusField(0, "VmRSS:");
        const long peakRssKb = ProcessStatusField(0, "VmHWM:");
        world.Stop();
        if (!results.firstError.empty()) {
            state.SetLabel("first failure: " + results.firstError);
        }

        std::vector<double> latencies;
        for (const auto& [invoice, answered] : TakeAnswerTimes()) {
            const auto reply = results.replyTicks.find(invoice);
            if (reply != results.replyTicks.end() && reply->second >= answered) {
                latencies.push_back(static_cast<double>(reply->second - answered));
            }
        }
        std::sort(latencies.begin(), latencies.end());
        auto percentile = [&](double p) {
            return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * (latencies.size() - 1))];
        };
        const double total = std::max(results.approved, 1);
        state.SetIterationTime(static_cast<double>(wallMs) / 1000.0);
        state.counters["tx"] = results.approved;
        state.counters["failed"] = results.failed;
        state.counters["tx_per_s"] = results.approved * 1000.0 / static_cast<double>(std::max<uint64_t>(wallMs, 1));
        state.counters["answer_to_reply_mean_ms"] =
            latencies.empty() ? 0.0 : std::accumulate(latencies.begin(), latencies.end(), 0.0) / latencies.size();
        state.counters["answer_to_reply_p50_ms"] = percentile(0.5);
        state.counters["answer_to_reply_p99_ms"] = percentile(0.99);
        state.counters["answer_to_reply_max_ms"] = latencies.empty() ? 0.0 : latencies.back();
        state.counters["server_cpu_us"] = serverCpuUs / total;
        state.counters["peak_threads"] = static_cast<double>(sampler.Threads());
        state.counters["rss_mb"] = static_cast<double>(rssKb) / 1024.0;
        state.counters["peak_rss_mb"] = static_cast<double>(peakRssKb) / 1024.0;
    }
}

void BM_EndToEndSales(benchmark::State& state) {
    RunLanes(state, false);
}

void BM_EndToEndSalesQuiet10ms(benchmark::State& state) {
    RunLanes(state, true);
}

BENCHMARK(BM_EndToEndSales)
    ->Args({1, 5})
    ->Args({10, 5})
    ->Args({50, 3})
    ->Args({200, 3})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EndToEndSalesQuiet10ms)
    ->Args({1, 50})
    ->Args({10, 20})
    ->Args({50, 10})
    ->Args({200, 5})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // The child must be forked while this process has a single thread.
    if (!StartSimulatorChild()) {
        std::fprintf(stderr, "the host simulator child did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    StopSimulatorChild();
    return 0;
}
