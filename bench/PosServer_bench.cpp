// 200 POS lanes at once (the server's maximum) against the real server on loopback, with a stand-in host that
// completes every transaction at once. Each lane logs in and sends a bounded number of requests, one at a time
// as a lane does. Checks that every request gets exactly one reply (its own: the reply carries the request's
// header as trace data), and reports logins and transactions per second, the CPU time the server side spent
// per transaction, the peak thread count and memory, and how far the reply time exceeds the one second of
// quiet that the delivery rule waits for.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/ParamSets.h"
#include "common/PeakSampler.h"
#include "common/TempDir.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "peers/PosClient.h"
#include "peers/QueueStandInHost.h"
#include "platform/Clock.h"
#include "server/PosServer.h"
#include "transaction/TransactionQueue.h"

namespace {

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct SLaneResult {
    bool loggedIn = false;
    uint64_t loginDoneMs = 0;
    int replies = 0; // final replies that answered the request just sent
    int wrong = 0;   // missing, foreign or unexpected replies
    uint64_t maxExtraMs = 0;
    uint64_t sumExtraMs = 0;
    double cpuSeconds = 0; // the lane thread's own CPU time, to take out of the process's
};

void RunLane(int port, int lane, int requests, uint64_t quietMs, SLaneResult* result) {
    CSystemClock clock;
    CPosClient client;
    SPosReply reply;
    if (!client.ConnectAndLogIn("127.0.0.1", port, &reply, SPosLogin(), 30000)) {
        std::fprintf(stderr, "lane %d not logged in: %s\n", lane, client.LastError().c_str());
        result->cpuSeconds = ThreadCpuSeconds();
        return;
    }
    result->loggedIn = true;
    result->loginDoneMs = clock.TickMs();
    SPosRequest request;
    request.tranCode = "Sale";
    request.acctNo = "6011000000000012";
    request.purchase = "1.00";
    for (int i = 0; i < requests; ++i) {
        char header[32];
        std::snprintf(header, sizeof header, "L%03dR%03d", lane, i);
        request.invoiceNo = request.refNo = std::to_string(lane * 1000 + i);
        const uint64_t sent = clock.TickMs();
        if (!client.SendRequest(request, header) || !client.ReadReply(&reply, 30000) ||
            reply.textResponse.rfind("Queued:", 0) != 0 || reply.traceData != header) {
            ++result->wrong;
            break;
        }
        if (!client.ReadReply(&reply, 30000) || !reply.decrypted || reply.cmdStatus != "Approved" ||
            reply.traceData != header) {
            ++result->wrong;
            break;
        }
        const uint64_t took = clock.TickMs() - sent;
        const uint64_t extra = took > quietMs ? took - quietMs : 0;
        result->maxExtraMs = std::max(result->maxExtraMs, extra);
        result->sumExtraMs += extra;
        ++result->replies;
    }
    // Nothing more may come: a duplicate would show up here.
    if (client.ReadReply(&reply, 50)) {
        ++result->wrong;
    }
    result->cpuSeconds = ThreadCpuSeconds();
}

void BM_PosServerLanes(benchmark::State& state) {
    const int lanes = static_cast<int>(state.range(0));
    const int requests = static_cast<int>(state.range(1));
    CScopedTempDir folder("kestrove-posbench");
    if (folder.Path().empty()) {
        state.SkipWithError("no temporary folder could be made");
        return;
    }
    std::filesystem::create_directory(CLogger::kFolderName);
    CParamStore::Instance().LoadParams();
    // No one-lane hold.
    CParamStore::Instance().SetParams(ParamsWith(CParamStore::Instance().GetParams(), {{kParamNumberOfLanes, "99"}}));
    if (!CRequest::Instance().StartCrypto()) {
        state.SkipWithError("the crypto object did not start");
        return;
    }
    for (auto _ : state) {
        g_TransactionQueue.RemoveAll();
        CQueueStandInHost host;
        host.Start(1);
        CPosServer server;
        const uint64_t quietMs = server.GetTimings().receiveWaitMs;
        if (server.Start(0) != 0) {
            state.SkipWithError("the server did not start");
            return;
        }
        // This process's own peak: the server runs in it.
        CPeakSampler sampler(0, 20, false);

        CSystemClock clock;
        const uint64_t start = clock.TickMs();
        const double cpuStart = ProcessCpuSeconds();
        std::vector<SLaneResult> results(static_cast<size_t>(lanes));
        std::vector<std::thread> threads;
        for (int lane = 0; lane < lanes; ++lane) {
            threads.emplace_back(RunLane, server.GetPort(), lane, requests, quietMs,
                                 &results[static_cast<size_t>(lane)]);
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        const uint64_t elapsedMs = clock.TickMs() - start;
        const double cpu = ProcessCpuSeconds() - cpuStart;
        sampler.Stop();

        int loggedIn = 0;
        int replies = 0;
        int wrong = 0;
        uint64_t lastLogin = start;
        uint64_t maxExtra = 0;
        uint64_t sumExtra = 0;
        double laneCpu = 0;
        for (const SLaneResult& r : results) {
            loggedIn += r.loggedIn ? 1 : 0;
            lastLogin = std::max(lastLogin, r.loginDoneMs);
            replies += r.replies;
            wrong += r.wrong;
            maxExtra = std::max(maxExtra, r.maxExtraMs);
            sumExtra += r.sumExtraMs;
            laneCpu += r.cpuSeconds;
        }
        const int expected = lanes * requests;
        if (loggedIn != lanes || replies != expected || wrong != 0 ||
            host.Decided() != static_cast<uint64_t>(expected)) {
            std::fprintf(stderr, "logged in %d of %d, replies %d of %d, wrong %d, host decided %llu\n", loggedIn, lanes,
                         replies, expected, wrong, static_cast<unsigned long long>(host.Decided()));
            state.SkipWithError("a lane was not served, or a reply was lost, foreign or duplicated");
        }
        const double seconds = static_cast<double>(elapsedMs) / 1000.0;
        state.counters["logins_per_s"] =
            loggedIn * 1000.0 / static_cast<double>(std::max<uint64_t>(lastLogin - start, 1));
        state.counters["tx_per_s"] = replies / seconds;
        state.counters["server_cpu_us_per_tx"] = replies > 0 ? (cpu - laneCpu) * 1e6 / replies : 0;
        state.counters["peak_threads"] = static_cast<double>(sampler.Threads());
        state.counters["peak_rss_kB"] = static_cast<double>(ProcessStatusField(0, "VmHWM:"));
        state.counters["reply_over_quiet_ms_mean"] = replies > 0 ? static_cast<double>(sumExtra) / replies : 0;
        state.counters["reply_over_quiet_ms_max"] = static_cast<double>(maxExtra);
        state.counters["lost_or_duplicated"] = wrong + (expected - replies);
    }
}

} // namespace

BENCHMARK(BM_PosServerLanes)->Args({200, 3})->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
