#pragma once
// The peaks of another process's threads, resident memory and descriptors, for benchmarks that watch a server.

#include <atomic>
#include <cstdint>
#include <sys/types.h>
#include <thread>

// Samples process |pid| every |periodMs| from its own thread until Stop or the destructor: the peak of its
// threads, resident memory and the anonymous part of it, and, when |countDescriptors|, of its open descriptors
// (listing them costs a read of /proc/<pid>/fd a sample). Peaks stay 0 for what was not sampled. The getters
// may be read from any thread.
class CPeakSampler {
public:
    CPeakSampler(pid_t pid, uint32_t periodMs, bool countDescriptors);
    ~CPeakSampler();
    CPeakSampler(const CPeakSampler&) = delete;
    CPeakSampler& operator=(const CPeakSampler&) = delete;

    void Stop();
    long Threads() const { return m_Threads.load(); }
    long RssKb() const { return m_RssKb.load(); }
    long AnonKb() const { return m_AnonKb.load(); }
    long Fds() const { return m_Fds.load(); }

private:
    std::atomic<bool> m_Stop{false};
    std::atomic<long> m_Threads{0};
    std::atomic<long> m_RssKb{0};
    std::atomic<long> m_AnonKb{0};
    std::atomic<long> m_Fds{0};
    std::thread m_Thread; // last: starts once the peaks are there
};
