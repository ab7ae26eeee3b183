#include "host/HostWorkerPool.h"

#include <atomic>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "common/Wait.h"
#include "platform/Event.h"
#include "platform/Mutex.h"

namespace {

// Jobs that stay busy until released, recording how many ran at once.
class CBlockingJobs {
public:
    CHostWorkerPool::Job Job(int id) {
        return [this, id] {
            const int running = ++m_Running;
            int peak = m_Peak.load();
            while (running > peak && !m_Peak.compare_exchange_weak(peak, running)) {
            }
            m_Release.Wait(kInfinite);
            --m_Running;
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Done.push_back(id);
        };
    }
    void Release() { m_Release.Set(); }
    int Running() const { return m_Running.load(); }
    int Peak() const { return m_Peak.load(); }
    std::vector<int> Done() const {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Done;
    }

private:
    CEvent m_Release{true};
    std::atomic<int> m_Running{0};
    std::atomic<int> m_Peak{0};
    mutable std::mutex m_Lock;
    std::vector<int> m_Done;
};

} // namespace

TEST(HostWorkerPoolTest, ThreadsGrowOnlyAsWorkNeedsThemAndNeverPastTheMaximum) {
    CHostWorkerPool pool;
    pool.SetMaxWorkers(3);
    EXPECT_EQ(pool.ThreadCount(), 0); // an idle server holds no worker
    CBlockingJobs jobs;
    for (int id = 0; id < 3; ++id) {
        ASSERT_TRUE(pool.CanTake());
        EXPECT_EQ(pool.Post(jobs.Job(id)), CHostWorkerPool::PostResult::Taken);
    }
    EXPECT_FALSE(pool.CanTake());
    EXPECT_EQ(pool.Post(jobs.Job(3)), CHostWorkerPool::PostResult::Busy);
    EXPECT_EQ(pool.ThreadCount(), 3);
    EXPECT_EQ(pool.BusyCount(), 3);
    ASSERT_TRUE(WaitUntil([&] { return jobs.Running() == 3; }));

    jobs.Release();
    ASSERT_TRUE(WaitUntil([&] { return pool.BusyCount() == 0; }));
    // A worker that is free again takes the next job: no new thread.
    for (int id = 4; id < 10; ++id) {
        while (pool.Post(jobs.Job(id)) != CHostWorkerPool::PostResult::Taken) {
            ASSERT_TRUE(WaitUntil([&] { return pool.CanTake(); }));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return jobs.Done().size() == 9; }));
    EXPECT_EQ(pool.ThreadCount(), 3);
    EXPECT_LE(jobs.Peak(), 3);
}

TEST(HostWorkerPoolTest, StopLetsEveryJobHandedOutFinishAndThePoolStartsAgain) {
    CHostWorkerPool pool;
    pool.SetMaxWorkers(2);
    std::atomic<int> finished{0};
    std::atomic<int> callbacks{0};
    pool.SetJobDoneCallback([&](bool) { ++callbacks; });
    CEvent release(true);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(pool.Post([&] {
            release.Wait(kInfinite);
            ++finished;
        }),
                  CHostWorkerPool::PostResult::Taken);
    }
    CWorkerThread releaser("releaser", [&] {
        release.Set();
        return 0;
    });
    ASSERT_TRUE(releaser.Start());
    pool.Stop();
    releaser.Join();
    EXPECT_EQ(finished.load(), 2);
    EXPECT_EQ(callbacks.load(), 2);
    EXPECT_EQ(pool.ThreadCount(), 0);
    EXPECT_EQ(pool.BusyCount(), 0);

    ASSERT_EQ(pool.Post([&] { ++finished; }), CHostWorkerPool::PostResult::Taken);
    ASSERT_TRUE(WaitUntil([&] { return finished.load() == 3; }));
}

TEST(HostWorkerPoolTest, AThreadThatCannotStartLeavesTheJobWaitingOrUnserved) {
    CHostWorkerPool pool;
    pool.SetMaxWorkers(2);
    CWorkerThread::FailNextStartsForTesting(1);
    std::atomic<int> ran{0};
    EXPECT_EQ(pool.Post([&] { ++ran; }), CHostWorkerPool::PostResult::NoThread); // nobody to wait for

    CBlockingJobs jobs;
    ASSERT_EQ(pool.Post(jobs.Job(1)), CHostWorkerPool::PostResult::Taken);
    CWorkerThread::FailNextStartsForTesting(1);
    EXPECT_EQ(pool.Post(jobs.Job(2)), CHostWorkerPool::PostResult::Busy); // the running worker will take it
    EXPECT_EQ(pool.ThreadCount(), 1);
    jobs.Release();
    pool.Stop();
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(jobs.Done(), std::vector<int>{1});
}

TEST(HostWorkerPoolTest, TheFirstJobToEndAfterARefusalReportsIt) {
    // Whatever the moment a job ends, a refusal before it is reported by it and by no later one: the one who was
    // refused is told that a worker is free, even when the worker ended before the refused one went to sleep.
    CHostWorkerPool pool;
    pool.SetMaxWorkers(2);
    CMutex lock;
    std::vector<bool> reports;
    pool.SetJobDoneCallback([&](bool refused) {
        CMutexLock held(lock);
        reports.push_back(refused);
    });
    auto reported = [&] {
        CMutexLock held(lock);
        return reports;
    };
    CBlockingJobs first;
    CBlockingJobs second;
    CBlockingJobs third;
    ASSERT_EQ(pool.Post(first.Job(1)), CHostWorkerPool::PostResult::Taken);
    ASSERT_EQ(pool.Post(second.Job(2)), CHostWorkerPool::PostResult::Taken);
    EXPECT_FALSE(pool.CanTake()); // refused
    first.Release();
    ASSERT_TRUE(WaitUntil([&] { return reported().size() == 1; }));
    EXPECT_EQ(reported(), std::vector<bool>{true});

    // Nobody refused since: the next end reports nothing.
    ASSERT_EQ(pool.Post(third.Job(3)), CHostWorkerPool::PostResult::Taken);
    second.Release();
    ASSERT_TRUE(WaitUntil([&] { return reported().size() == 2; }));
    EXPECT_EQ(reported(), (std::vector<bool>{true, false}));

    // A Post that finds every worker busy is a refusal too.
    CBlockingJobs fourth;
    ASSERT_EQ(pool.Post(fourth.Job(4)), CHostWorkerPool::PostResult::Taken);
    EXPECT_EQ(pool.Post(fourth.Job(5)), CHostWorkerPool::PostResult::Busy);
    third.Release();
    ASSERT_TRUE(WaitUntil([&] { return reported().size() == 3; }));
    EXPECT_EQ(reported(), (std::vector<bool>{true, false, true}));
    fourth.Release();
    pool.Stop();
    EXPECT_EQ(reported(), (std::vector<bool>{true, false, true, false}));
}

TEST(HostWorkerPoolTest, TheMaximumIsClampedToItsRange) {
    CHostWorkerPool pool;
    EXPECT_EQ(pool.GetMaxWorkers(), kDefaultHostWorkers);
    pool.SetMaxWorkers(0);
    EXPECT_EQ(pool.GetMaxWorkers(), 1);
    pool.SetMaxWorkers(kMaxHostWorkers + 1);
    EXPECT_EQ(pool.GetMaxWorkers(), kMaxHostWorkers);
}
