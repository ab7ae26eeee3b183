// Cost of CLogger::LogLine for many callers at once, with a writer that keeps up and with one that is slow:
// the time per call must stay the same, because callers only queue and never wait for the disk.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "common/TempDir.h"

#include "foundation/Logger.h"

namespace {
std::unique_ptr<CLogger> g_Logger;

void BM_LogLine(benchmark::State& state) {
    const auto writerDelay = std::chrono::milliseconds(state.range(0));
    if (state.thread_index() == 0) {
        g_Logger->SetBatchHookForTesting([writerDelay](size_t) {
            if (writerDelay.count() > 0) {
                std::this_thread::sleep_for(writerDelay); // a slow disk
            }
        });
    }
    const std::string payload(60, 'p');
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_Logger->LogLine("thread %d line %d %s", state.thread_index(), ++n, payload.c_str()));
    }
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    if (state.thread_index() == 0) {
        g_Logger->Flush();
    }
}
// Argument: how long the writer spends on each batch beyond the real write, in ms.
BENCHMARK(BM_LogLine)->Arg(0)->Arg(20)->Threads(1)->Threads(8)->Iterations(50000)->UseRealTime();
} // namespace

int main(int argc, char** argv) {
    // The logger writes into its folder under the current folder: keep that out of the caller's tree.
    CScopedTempDir folder("kestrove-bench");
    if (folder.Path().empty()) {
        return 1;
    }
    std::filesystem::create_directory(CLogger::kFolderName);
    g_Logger = CLogger::CreateForTesting();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    g_Logger.reset();
    return 0;
}
