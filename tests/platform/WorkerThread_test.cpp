#include "platform/WorkerThread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Event.h"

namespace {
constexpr uint32_t kLongWaitMs = 10000; // only ever reached when the worker is broken
} // namespace

TEST(WorkerThreadLifeTest, NotStartedWorkerIsNeitherStartedNorRunningAndJoinsAtOnce) {
    CWorkerThread worker("idle", [] { return 1; });
    EXPECT_FALSE(worker.Started());
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_TRUE(worker.WaitForExit(0));
    worker.Join();
    EXPECT_EQ(worker.ExitCode(), 0);
}

TEST(WorkerThreadLifeTest, RunsUntilItsBodyReturnsAndKeepsItsExitCode) {
    CEvent release(true);
    CWorkerThread worker("body", [&] { return release.Wait(kLongWaitMs) ? 42 : -1; });
    ASSERT_TRUE(worker.Start());
    EXPECT_TRUE(worker.Started());
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_FALSE(worker.WaitForExit(20)); // the body is still held: the wait times out
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_EQ(worker.ExitCode(), 0);

    release.Set();
    EXPECT_TRUE(worker.WaitForExit(kLongWaitMs));
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_TRUE(worker.Started()); // until joined
    EXPECT_EQ(worker.ExitCode(), 42);

    worker.Join();
    EXPECT_FALSE(worker.Started());
    worker.Join(); // a second join does nothing
    EXPECT_TRUE(worker.WaitForExit(0));
    EXPECT_EQ(worker.ExitCode(), 42);
}

TEST(WorkerThreadLifeTest, StartedWorkerCannotBeStartedAgainUntilJoined) {
    CEvent release(true);
    std::atomic<int> runs{0};
    CWorkerThread worker("again", [&] {
        runs.fetch_add(1);
        release.Wait(kLongWaitMs);
        return runs.load();
    });
    ASSERT_TRUE(worker.Start());
    EXPECT_FALSE(worker.Start());
    release.Set();
    EXPECT_TRUE(worker.WaitForExit(kLongWaitMs));
    EXPECT_FALSE(worker.Start()); // ended but not joined
    worker.Join();
    EXPECT_EQ(worker.ExitCode(), 1);

    ASSERT_TRUE(worker.Start()); // a joined worker starts afresh
    worker.Join();
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(worker.ExitCode(), 2);
}

TEST(WorkerThreadLifeTest, StartThatFailsLeavesTheWorkerUnstartedAndStartableLater) {
    std::atomic<int> runs{0};
    CWorkerThread worker("failing", [&] { return runs.fetch_add(1) + 5; });
    CWorkerThread::FailNextStartsForTesting(2);
    EXPECT_FALSE(worker.Start());
    EXPECT_FALSE(worker.Started());
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_TRUE(worker.WaitForExit(0));
    worker.Join();
    EXPECT_FALSE(worker.Start()); // the second of the two failures
    ASSERT_TRUE(worker.Start());
    worker.Join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(worker.ExitCode(), 5);
}

// The body may ask about its own worker (or hand it to a thread that does) from its first instruction on, while
// its owner may still be inside Start.
TEST(WorkerThreadLifeTest, BodySeesItsOwnWorkerRunning) {
    std::atomic<bool> sawStarted{false};
    std::atomic<bool> sawRunning{false};
    std::unique_ptr<CWorkerThread> worker;
    worker = std::make_unique<CWorkerThread>("self", [&] {
        sawStarted = worker->Started();
        sawRunning = worker->IsRunning();
        return 0;
    });
    ASSERT_TRUE(worker->Start());
    worker->Join();
    EXPECT_TRUE(sawStarted.load());
    EXPECT_TRUE(sawRunning.load());
}

TEST(WorkerThreadLifeTest, DestroyingARunningWorkerWaitsForItsBody) {
    CEvent release(true);
    std::atomic<bool> finished{false};
    auto worker = std::make_unique<CWorkerThread>("running", [&] {
        release.Wait(kLongWaitMs);
        finished = true;
        return 0;
    });
    ASSERT_TRUE(worker->Start());
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        release.Set();
    });
    worker.reset();
    EXPECT_TRUE(finished.load());
    releaser.join();
}

// Ending a worker on its own thread cannot wait for the thread; letting it run on would have it write its exit
// code into freed memory. It is a fault of the caller, and fatal.
TEST(WorkerThreadDeathTest, EndingAWorkerOnItsOwnThreadAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* name;
        std::function<void(std::unique_ptr<CWorkerThread>&)> end;
    } cases[] = {
        {"Join", [](std::unique_ptr<CWorkerThread>& owner) { owner->Join(); }},
        {"destructor", [](std::unique_ptr<CWorkerThread>& owner) { owner.reset(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(
            {
                std::unique_ptr<CWorkerThread> owner;
                CEvent made(true);
                owner = std::make_unique<CWorkerThread>("self-ending", [&] {
                    made.Wait(kLongWaitMs);
                    c.end(owner);
                    return 3;
                });
                owner->Start();
                made.Set();
                // The abort ends the process before this wait does.
                CEvent never(true);
                never.Wait(kLongWaitMs);
            },
            "worker thread \"self-ending\" joined or destroyed on its own thread");
    }
}

TEST(WorkerThreadLifeTest, AStartThatFailsSaysWhyAndASuccessfulOneForgetsIt) {
    CWorkerThread worker("failing", [] { return 0; });
    CWorkerThread::FailNextStartsForTesting(1);
    EXPECT_FALSE(worker.Start());
    EXPECT_TRUE(worker.StartError().Is(EOsErrorClass::NoResources));
    EXPECT_EQ(worker.StartError().Number(), EAGAIN);
    ASSERT_TRUE(worker.Start());
    EXPECT_TRUE(worker.StartError().Ok());
    worker.Join();
}
