#pragma once
// The host worker threads: at most a fixed number of them, each running one host exchange at a time, so the
// threads and the connections to the host stay bounded however many transactions wait.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/WorkerThread.h"

// How many host exchanges run at once unless the operator says otherwise.
inline constexpr int kDefaultHostWorkers = 32;
// The most an operator may ask for.
inline constexpr int kMaxHostWorkers = 1024;

// Owns up to a maximum of worker threads and the jobs handed to them. A thread is started when a job finds
// every running one busy and the maximum is not reached, and stays until Stop, so an idle server has none.
// Post, SetMaxWorkers and Stop are for one thread (the host interface's processing thread; Stop and
// SetMaxWorkers for its owner while that thread does not post); the counts may be read from any thread. The
// threads share only m_Lock's members.
class CHostWorkerPool {
public:
    using Job = std::function<void()>;
    // Where a job went: to a worker; nowhere, every worker being busy (try again later); nowhere, since no
    // worker runs and none could be started.
    enum class PostResult { Taken, Busy, NoThread };

    CHostWorkerPool();
    // Stops the pool.
    ~CHostWorkerPool();
    CHostWorkerPool(const CHostWorkerPool&) = delete;
    CHostWorkerPool& operator=(const CHostWorkerPool&) = delete;

    // The most jobs at once, and threads, from now on (1..kMaxHostWorkers; anything else is clamped). Idle
    // threads above a lowered maximum stay until Stop.
    void SetMaxWorkers(int count);
    int GetMaxWorkers() const;
    // Called on the worker's thread after each job, so the owner can hand out the next one at once.
    // Set before the first Post.
    void SetJobDoneCallback(std::function<void()> callback) { m_JobDone = std::move(callback); }

    // Whether a job posted now would be taken (a worker is idle, or another may start).
    bool CanTake() const;
    PostResult Post(Job job);

    // Jobs handed out and not yet finished.
    int BusyCount() const;
    int ThreadCount() const;

    // Lets every job handed out run to its end, then joins every thread. The pool may be used again.
    void Stop();

private:
    int WorkerLoop();

    mutable std::mutex m_Lock;
    std::condition_variable m_JobReady;
    std::deque<Job> m_Jobs;                                // handed out, not yet picked up; m_Lock
    std::vector<std::unique_ptr<CWorkerThread>> m_Threads; // m_Lock
    int m_Busy = 0;                                        // jobs handed out and not finished; m_Lock
    int m_MaxWorkers = kDefaultHostWorkers;                // m_Lock
    bool m_Stopping = false;                               // m_Lock
    std::function<void()> m_JobDone;
};
