// The clock seam's waits until a tick, on a manual clock. A waiter works its moment out from a reading of the
// clock and then waits; a test's Advance may land between the two. Each form of wait must end once the clock
// has reached the moment, also when it got there before the wait began, and never before.

#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestClock.h"
#include "common/Wait.h"
#include "platform/Event.h"
#include "platform/Poll.h"
#include "platform/PollableEvent.h"

namespace {

struct SDeadlineWait {
    const char* name;
    std::function<void(uint64_t tickMs)> wait;
};

// Each form waits for something that never comes (an event nobody sets), so only the time ends it.
std::vector<SDeadlineWait> DeadlineWaits(CEvent& unset, CPollableEvent& unsetPollable) {
    return {
        {"SleepUntilMs", [](uint64_t tick) { GetClock().SleepUntilMs(tick); }},
        {"CEvent::WaitUntilTick", [&unset](uint64_t tick) { EXPECT_FALSE(unset.WaitUntilTick(tick)); }},
        {"WaitForAnyEventUntil",
         [&unset](uint64_t tick) { EXPECT_EQ(kWaitTimeout, WaitForAnyEventUntil({&unset}, tick)); }},
        {"PollItemsUntil",
         [&unsetPollable](uint64_t tick) {
             std::vector<CPollItem> items{{unsetPollable.Fd(), true}};
             EXPECT_EQ(0, PollItemsUntil(items, tick));
         }},
    };
}

class ClockDeadlineTest : public ::testing::Test {
protected:
    // Starts |wait| for |tickMs| on a thread of its own.
    void Start(const SDeadlineWait& wait, uint64_t tickMs) {
        m_Done = false;
        m_Waiter = std::thread([this, wait, tickMs] {
            wait.wait(tickMs);
            m_Done = true;
        });
    }
    // Whether the wait has ended within |ms| of real time. A wait that has not is let go (the clock moved far
    // on), so a failure does not hang the suite.
    bool EndsWithin(uint32_t ms) {
        const bool ended = WaitUntil([this] { return m_Done.load(); }, ms);
        if (!ended) {
            m_Clock.Advance(24ull * 3600 * 1000);
        }
        m_Waiter.join();
        return ended;
    }

    CTestClock m_Clock;
    CScopedClock m_Scoped{m_Clock};
    std::atomic<bool> m_Done{false};
    std::thread m_Waiter;
};

TEST_F(ClockDeadlineTest, AWaitForATickTheClockPassedBeforeTheWaitBeganEndsAtOnce) {
    CEvent unset(true);
    CPollableEvent unsetPollable;
    for (const SDeadlineWait& wait : DeadlineWaits(unset, unsetPollable)) {
        const uint64_t tick = m_Clock.TickMs() + 3600u * 1000; // the waiter's reading
        m_Clock.Advance(3600u * 1000);                         // the test's move, before the wait begins
        Start(wait, tick);
        EXPECT_TRUE(EndsWithin(10000)) << wait.name << " slept through the moment it waited for";
    }
}

TEST_F(ClockDeadlineTest, AWaitForATickEndsWhenTheClockReachesItAndNotBefore) {
    CEvent unset(true);
    CPollableEvent unsetPollable;
    for (const SDeadlineWait& wait : DeadlineWaits(unset, unsetPollable)) {
        const uint64_t tick = m_Clock.TickMs() + 30000;
        Start(wait, tick);
        m_Clock.Advance(29999);
        EXPECT_FALSE(WaitUntil([this] { return m_Done.load(); }, 50)) << wait.name << " ended early";
        m_Clock.Advance(1);
        EXPECT_TRUE(EndsWithin(10000)) << wait.name;
    }
}

TEST(SystemClockTest, SleepUntilATickThatHasPassedReturnsAtOnce) {
    CSystemClock clock;
    const uint64_t now = clock.TickMs();
    clock.SleepUntilMs(now - 1000);
    clock.SleepUntilMs(now + 20);
    EXPECT_GE(clock.TickMs(), now + 20);
}

} // namespace
