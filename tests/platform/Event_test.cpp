#include "platform/Event.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "common/TestClock.h"
#include "platform/WorkerThread.h"

TEST(EventTest, ManualResetStaysSetAutoResetReleasesOne) {
    CEvent manual(true);
    CEvent automatic(false);
    manual.Set();
    automatic.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(automatic.IsSet()); // testing does not consume
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.IsSet());
}

TEST(EventTest, WaitForAnyReturnsLowestSignalledIndexOrTimeout) {
    CEvent a(true), b(false), c(true);
    EXPECT_EQ(WaitForAnyEvent({&a, &b, &c}, 0), kWaitTimeout);
    c.Set();
    b.Set();
    EXPECT_EQ(WaitForAnyEvent({&a, &b, &c}, 0), 1);
    EXPECT_EQ(WaitForAnyEvent({&a, &b, &c}, 0), 2); // b was consumed, c is manual
}

TEST(EventTest, WaitForAnyWakesOnSetFromAnotherThread) {
    CEvent a(false), b(false);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        b.Set();
    });
    EXPECT_EQ(WaitForAnyEvent({&a, &b}, kInfinite), 1);
    setter.join();
}

TEST(EventTest, LongTimeoutsRunOnTheManualClock) {
    CTestClock clock;
    CScopedClock scoped(clock);
    CEvent event(true);
    std::atomic<bool> done{false};
    std::thread advancer([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            clock.Advance(1000);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.Wait(30000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(WaitForAnyEvent({&event}, 3000), kWaitTimeout);
    done = true;
    advancer.join();
}

TEST(ManualClockTest, AutoAdvanceSleepsMoveTimeAtOnce) {
    CTestClock clock(5000);
    clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    clock.SleepMs(35000);
    EXPECT_EQ(clock.TickMs(), 40000u);
}

TEST(WorkerThreadTest, RunsReportsExitAndCanBeMadeToFail) {
    CEvent started(true);
    CWorkerThread worker("test", [&] {
        started.Set();
        return 7;
    });
    ASSERT_TRUE(worker.Start());
    EXPECT_TRUE(started.Wait(5000));
    EXPECT_TRUE(worker.WaitForExit(5000));
    worker.Join();
    EXPECT_EQ(worker.ExitCode(), 7);

    CWorkerThread::FailNextStartsForTesting(1);
    CWorkerThread failing("failing", [] { return 0; });
    EXPECT_FALSE(failing.Start());
    CWorkerThread next("next", [] { return 0; });
    EXPECT_TRUE(next.Start());
}

namespace {
// Whether |fd| is readable now.
bool Readable(int fd) {
    return PollReadable(fd, 0) == PollResult::Ready;
}
} // namespace

TEST(EventWatchTest, DescriptorIsReadableWhileAWatchedEventIsSetAndTryTakeSaysWhich) {
    CEvent manual(true), automatic(false);
    CEventWatch watch({&manual, &automatic});
    ASSERT_TRUE(watch.Valid());
    EXPECT_FALSE(Readable(watch.Fd()));
    EXPECT_EQ(kWaitTimeout, watch.TryTake());

    automatic.Set();
    EXPECT_TRUE(Readable(watch.Fd()));
    EXPECT_EQ(1, watch.TryTake());
    EXPECT_FALSE(automatic.IsSet());    // consumed, as WaitForAnyEvent would
    EXPECT_FALSE(Readable(watch.Fd())); // the readiness went with the take
    EXPECT_EQ(kWaitTimeout, watch.TryTake());

    // An event set before the watch began is found by the first take; the lowest index wins.
    manual.Set();
    automatic.Set();
    CEventWatch late({&manual, &automatic});
    EXPECT_EQ(0, late.TryTake());
    EXPECT_EQ(0, late.TryTake()); // manual reset stays set
}

TEST(EventWatchTest, SetFromAnotherThreadWakesAPollOnTheDescriptor) {
    CEvent event(false);
    CEventWatch watch({&event});
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        event.Set();
    });
    EXPECT_EQ(PollResult::Ready, PollReadable(watch.Fd(), 5000));
    EXPECT_EQ(0, watch.TryTake());
    setter.join();
}

TEST(EventWatchTest, SetsRacingWithTheWatchersEndReachNoClosedDescriptor) {
    // Events set without pause while watches come and go: a Set that copied a watcher just before it went
    // must not write to its descriptor (closed, or already another file's).
    CEvent event(false);
    std::atomic<bool> done{false};
    std::thread setter([&] {
        while (!done) {
            event.Set();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        CEventWatch watch({&event});
        watch.TryTake();
    }
    done = true;
    setter.join();
    CEventWatch after({&event});
    EXPECT_TRUE(after.Valid());
}

TEST(EventWatchTest, AManualResetEventKeepsTheDescriptorReadableUntilItIsResetAndTaken) {
    CEvent manual(true);
    manual.Set();
    CEventWatch watch({&manual}); // set before the watch began
    EXPECT_TRUE(Readable(watch.Fd()));
    EXPECT_EQ(0, watch.TryTake());
    EXPECT_TRUE(Readable(watch.Fd())); // still set: a poll loop still sees it
    manual.Reset();
    EXPECT_EQ(kWaitTimeout, watch.TryTake());
    EXPECT_FALSE(Readable(watch.Fd()));
}
