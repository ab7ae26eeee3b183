// The real program under load, measured from outside: the build's kestrove runs as a child process in a folder
// of its own against the host simulator in this process, and the lanes of this process connect to it. A sampler
// reads the child's /proc every 5 ms, so the figures are the server's alone.
//
// Counters of each run:
//   peak_threads, peak_fds, peak_rss_mb  the most seen while the load ran
//   idle_rss_mb                          resident memory once the server had started, before the load
//   after_rss_mb                         resident memory 5 s after the load ended
//   served, refused, failed              requests approved, refused at once, and neither
// BM_Lanes: that many lanes log in together, then each makes its Sales one after another.
// BM_OneLaneFlood: one lane sends that many Sales at once.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/ChildProcess.h"
#include "app/TestHostSide.h"
#include "common/PeakSampler.h"
#include "common/Wait.h"
#include "peers/EndToEndFixture.h"

namespace {

using testing_child::CChildProcess;
using testing_child::CTestHostSide;
using testing_child::KestroveProgram;

constexpr int kTimeoutMs = 120000;
constexpr long long kCardCents = 100000000;

std::string Card(int lane) {
    return "60064933" + std::to_string(10000000 + lane);
}

// The simulator, the server's folder and the running server, for one benchmark run.
class CProgramRun {
public:
    ~CProgramRun() {
        if (m_Server.Signal(SIGTERM)) {
            m_Server.Wait(kTimeoutMs);
        }
    }

    bool Start(int cards, std::string* error) {
        for (int lane = 0; lane < cards; ++lane) {
            m_HostSide.Simulator().Host().AddCard(Card(lane), kCardCents);
        }
        m_Port = m_HostSide.StartService(m_Server, m_Folder.Path() / "server", m_Folder.Path(), kTimeoutMs, error);
        return m_Port > 0;
    }

    pid_t Pid() const { return m_Server.Pid(); }
    int Port() const { return m_Port; }

    std::unique_ptr<CPosClient> NewLane() {
        auto lane = std::make_unique<CPosClient>();
        SPosReply reply;
        if (!lane->ConnectAndLogIn("127.0.0.1", m_Port, &reply, SPosLogin(), kTimeoutMs)) {
            return nullptr;
        }
        return lane;
    }

private:
    CScopedTempDir m_Folder{"kestrove-load"};
    CTestHostSide m_HostSide;
    CChildProcess m_Server;
    int m_Port = -1;
};

// What a run counts besides the samples.
struct CRunCounts {
    std::atomic<int> served{0};
    std::atomic<int> refused{0};
    std::atomic<int> failed{0};
};

// Starts the server, runs |load| while sampling, lets it settle and reports the counters.
template <typename Load> void MeasureRun(benchmark::State& state, int cards, Load load) {
    for (auto _ : state) {
        CProgramRun run;
        std::string error;
        if (!run.Start(cards, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long idleKb = ProcessStatusField(run.Pid(), "VmRSS:");
        CRunCounts counts;
        CPeakSampler sampler(run.Pid(), 5, true);
        const auto began = std::chrono::steady_clock::now();
        load(run, counts);
        const auto ended = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        sampler.Stop();
        const long afterKb = ProcessStatusField(run.Pid(), "VmRSS:");
        state.SetIterationTime(std::chrono::duration<double>(ended - began).count());
        state.counters["peak_threads"] = static_cast<double>(sampler.Threads());
        state.counters["peak_fds"] = static_cast<double>(sampler.Fds());
        state.counters["peak_rss_mb"] = static_cast<double>(sampler.RssKb()) / 1024.0;
        state.counters["idle_rss_mb"] = static_cast<double>(idleKb) / 1024.0;
        state.counters["after_rss_mb"] = static_cast<double>(afterKb) / 1024.0;
        state.counters["served"] = counts.served.load();
        state.counters["refused"] = counts.refused.load();
        state.counters["failed"] = counts.failed.load();
    }
}

void BM_Lanes(benchmark::State& state) {
    const int lanes = static_cast<int>(state.range(0));
    const int sales = static_cast<int>(state.range(1));
    MeasureRun(state, lanes, [&](CProgramRun& run, CRunCounts& counts) {
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int lane = 0; lane < lanes; ++lane) {
            threads.emplace_back([&, lane] {
                std::unique_ptr<CPosClient> client = run.NewLane();
                ++ready;
                while (!go.load()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                for (int i = 0; i < sales; ++i) {
                    SPosReply queued;
                    SPosReply final;
                    const bool ok = client != nullptr &&
                                    client->SendRequest(CEndToEndWorld::Request(
                                        "Sale", Card(lane), "1.00", std::to_string(100000 + lane * 100 + i))) &&
                                    client->ReadReply(&queued, kTimeoutMs) && queued.returnCode == 0 &&
                                    client->ReadReply(&final, kTimeoutMs) && final.cmdStatus == "Approved";
                    ++(ok ? counts.served : counts.failed);
                }
            });
        }
        while (ready.load() < lanes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        go = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
}

void BM_OneLaneFlood(benchmark::State& state) {
    const int requests = static_cast<int>(state.range(0));
    MeasureRun(state, 1, [&](CProgramRun& run, CRunCounts& counts) {
        std::unique_ptr<CPosClient> lane = run.NewLane();
        if (lane == nullptr) {
            counts.failed = requests;
            return;
        }
        std::string frames;
        for (int i = 0; i < requests; ++i) {
            frames += lane->RequestFrame(
                RequestFields(CEndToEndWorld::Request("Sale", Card(0), "0.01", std::to_string(100000 + i))));
        }
        SPosFloodReplies replies;
        FloodRequests(*lane, frames, requests, &replies, kTimeoutMs);
        counts.served = replies.approved;
        for (const auto& [code, count] : replies.refused) {
            counts.refused += count;
        }
        counts.failed = requests - counts.served.load() - counts.refused.load();
    });
}

BENCHMARK(BM_Lanes)->Args({200, 3})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneLaneFlood)->Arg(2500)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
