#include "host/HostWorkerPool.h"

#include <algorithm>

CHostWorkerPool::CHostWorkerPool() = default;

CHostWorkerPool::~CHostWorkerPool() {
    Stop();
}

void CHostWorkerPool::SetMaxWorkers(int count) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_MaxWorkers = std::clamp(count, 1, kMaxHostWorkers);
}

int CHostWorkerPool::GetMaxWorkers() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_MaxWorkers;
}

bool CHostWorkerPool::CanTake() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    // Below the maximum, a worker is idle or another may start.
    return m_Busy < m_MaxWorkers;
}

CHostWorkerPool::PostResult CHostWorkerPool::Post(Job job) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Busy >= m_MaxWorkers) {
        return PostResult::Busy;
    }
    const int threads = static_cast<int>(m_Threads.size());
    if (m_Busy < threads) {
        ++m_Busy;
        m_Jobs.push_back(std::move(job));
        m_JobReady.notify_one();
        return PostResult::Taken;
    }
    auto thread = std::make_unique<CWorkerThread>("HostRequestWorker", [this] { return WorkerLoop(); });
    if (!thread->Start()) {
        // The running workers take it once one is free; without any there is nobody to wait for.
        return threads == 0 ? PostResult::NoThread : PostResult::Busy;
    }
    m_Threads.push_back(std::move(thread));
    ++m_Busy;
    m_Jobs.push_back(std::move(job));
    m_JobReady.notify_one();
    return PostResult::Taken;
}

int CHostWorkerPool::BusyCount() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Busy;
}

int CHostWorkerPool::ThreadCount() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return static_cast<int>(m_Threads.size());
}

void CHostWorkerPool::Stop() {
    std::vector<std::unique_ptr<CWorkerThread>> threads;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Stopping = true;
        m_JobReady.notify_all();
        threads.swap(m_Threads);
    }
    // Every job's waits give way to g_ShutdownEvent, so this ends as soon as their exchanges have noticed it.
    for (auto& thread : threads) {
        thread->Join();
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Stopping = false;
}

int CHostWorkerPool::WorkerLoop() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_Lock);
            m_JobReady.wait(lock, [this] { return !m_Jobs.empty() || m_Stopping; });
            if (m_Jobs.empty()) {
                return 0; // stopping, and every job handed out has been picked up
            }
            job = std::move(m_Jobs.front());
            m_Jobs.pop_front();
        }
        job();
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            --m_Busy;
        }
        if (m_JobDone) {
            m_JobDone();
        }
    }
}
