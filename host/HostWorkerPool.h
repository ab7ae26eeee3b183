#pragma once
// The host worker threads: at most a fixed number of them, each running one host exchange at a time, so the
// threads and the connections to the host stay bounded however many transactions wait.

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Mutex.h"
#include "platform/WorkerThread.h"

// How many host exchanges run at once unless the operator says otherwise: as many as the lanes the POS server
// accepts, so that each lane's transaction has a worker of its own and a slow exchange holds up no other lane.
// The limits on outstanding requests (per lane and in all) stay the bound against a flood; threads are only
// started as transactions need them.
inline constexpr int kDefaultHostWorkers = 200;
// The most an operator may ask for.
inline constexpr int kMaxHostWorkers = 1024;

// Owns up to a maximum of worker threads and the jobs handed to them. A thread is started when a job finds
// every running one busy and the maximum is not reached, and stays until Stop, so an idle server has none (the
// host interface stops the pool once a load has drained).
// Post, SetMaxWorkers and Stop are for one thread (the host interface's processing thread; Stop and
// SetMaxWorkers for its owner while that thread does not post); the counts may be read from any thread. The
// threads share only m_Lock's members.
class CHostWorkerPool {
public:
    using Job = std::function<void()>;
    // Called on a worker's thread after each job; |refused| tells whether a job was refused (CanTake false, Post
    // Busy) since the last call, that is whether someone waits for a worker and may post now.
    using JobDoneCallback = std::function<void(bool refused)>;
    // Where a job went: to a worker; nowhere, every worker being busy (try again once a job is done); nowhere,
    // since no worker runs and none could be started.
    enum class PostResult { Taken, Busy, NoThread };

    CHostWorkerPool();
    // Stops the pool.
    ~CHostWorkerPool();
    CHostWorkerPool(const CHostWorkerPool&) = delete;
    CHostWorkerPool& operator=(const CHostWorkerPool&) = delete;

    // The most jobs at once, and threads, from now on (1..kMaxHostWorkers; anything else is clamped). Idle
    // threads above a lowered maximum stay until Stop.
    void SetMaxWorkers(int count) EXCLUDES(m_Lock);
    int GetMaxWorkers() const EXCLUDES(m_Lock);
    // Set before the first Post.
    void SetJobDoneCallback(JobDoneCallback callback) { m_JobDone = std::move(callback); }

    // Whether a job posted now would be taken (a worker is idle, or another may start). A refusal is marked in the
    // same step, under the lock the workers count their ends with: the next job to end reports it, even one that
    // ends before the caller has decided to wait, so a caller that waits for that report never misses it.
    bool CanTake() EXCLUDES(m_Lock);
    // Busy is a refusal as CanTake's is.
    PostResult Post(Job job) EXCLUDES(m_Lock);

    // Jobs handed out and not yet finished.
    int BusyCount() const EXCLUDES(m_Lock);
    int ThreadCount() const EXCLUDES(m_Lock);

    // Lets every job handed out run to its end, then joins every thread. The pool may be used again.
    void Stop() EXCLUDES(m_Lock);

private:
    int WorkerLoop() EXCLUDES(m_Lock);

    mutable CMutex m_Lock;
    CCondVar m_JobReady;                       // a job was handed out, or the pool stops; waited for with m_Lock
    std::deque<Job> m_Jobs GUARDED_BY(m_Lock); // handed out, not yet picked up
    std::vector<std::unique_ptr<CWorkerThread>> m_Threads GUARDED_BY(m_Lock);
    int m_Busy GUARDED_BY(m_Lock) = 0; // jobs handed out and not finished
    int m_MaxWorkers GUARDED_BY(m_Lock) = kDefaultHostWorkers;
    bool m_Refused GUARDED_BY(m_Lock) = false; // a job was refused since the last job ended
    bool m_Stopping GUARDED_BY(m_Lock) = false;
    JobDoneCallback m_JobDone; // set before the threads start, then only read
};
