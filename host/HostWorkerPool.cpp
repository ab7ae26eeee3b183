#include "host/HostWorkerPool.h"

#include <algorithm>

CHostWorkerPool::CHostWorkerPool() = default;

CHostWorkerPool::~CHostWorkerPool() {
    Stop();
}

void CHostWorkerPool::SetMaxWorkers(int count) {
    CMutexLock lock(m_Lock);
    m_MaxWorkers = std::clamp(count, 1, kMaxHostWorkers);
}

int CHostWorkerPool::GetMaxWorkers() const {
    CMutexLock lock(m_Lock);
    return m_MaxWorkers;
}

bool CHostWorkerPool::CanTake() {
    CMutexLock lock(m_Lock);
    // Below the maximum, a worker is idle or another may start.
    if (m_Busy < m_MaxWorkers) {
        return true;
    }
    m_Refused = true;
    return false;
}

CHostWorkerPool::PostResult CHostWorkerPool::Post(Job job) {
    CMutexLock lock(m_Lock);
    if (m_Busy >= m_MaxWorkers) {
        m_Refused = true;
        return PostResult::Busy;
    }
    const int threads = static_cast<int>(m_Threads.size());
    if (m_Busy < threads) {
        ++m_Busy;
        m_Jobs.push_back(std::move(job));
        m_JobReady.NotifyOne();
        return PostResult::Taken;
    }
    auto thread = std::make_unique<CWorkerThread>("HostRequestWorker", [this] { return WorkerLoop(); });
    if (!thread->Start()) {
        if (threads == 0) {
            return PostResult::NoThread; // without a worker there is nobody to wait for
        }
        // The running workers take it once one is free, and the first to be free says so.
        m_Refused = true;
        return PostResult::Busy;
    }
    m_Threads.push_back(std::move(thread));
    ++m_Busy;
    m_Jobs.push_back(std::move(job));
    m_JobReady.NotifyOne();
    return PostResult::Taken;
}

int CHostWorkerPool::BusyCount() const {
    CMutexLock lock(m_Lock);
    return m_Busy;
}

int CHostWorkerPool::ThreadCount() const {
    CMutexLock lock(m_Lock);
    return static_cast<int>(m_Threads.size());
}

void CHostWorkerPool::Stop() {
    std::vector<std::unique_ptr<CWorkerThread>> threads;
    {
        CMutexLock lock(m_Lock);
        m_Stopping = true;
        m_JobReady.NotifyAll();
        threads.swap(m_Threads);
    }
    // Every job's waits give way to g_ShutdownEvent, so this ends as soon as their exchanges have noticed it.
    for (auto& thread : threads) {
        thread->Join();
    }
    CMutexLock lock(m_Lock);
    m_Stopping = false;
}

int CHostWorkerPool::WorkerLoop() {
    for (;;) {
        Job job;
        {
            CMutexLock lock(m_Lock);
            while (m_Jobs.empty() && !m_Stopping) {
                m_JobReady.Wait(m_Lock);
            }
            if (m_Jobs.empty()) {
                return 0; // stopping, and every job handed out has been picked up
            }
            job = std::move(m_Jobs.front());
            m_Jobs.pop_front();
        }
        job();
        bool refused = false;
        {
            CMutexLock lock(m_Lock);
            --m_Busy;
            refused = m_Refused;
            m_Refused = false;
        }
        if (m_JobDone) {
            m_JobDone(refused);
        }
    }
}
