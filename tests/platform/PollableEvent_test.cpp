#include "platform/PollableEvent.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/DescriptorExhaustion.h"
#include "platform/Socket.h"

TEST(PollableEvent, DescriptorIsReadableExactlyWhileTheEventIsSet) {
    CPollableEvent event;
    ASSERT_TRUE(event.Valid());
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(PollReadable(event.Fd(), 0), PollResult::Timeout);
    event.Set();
    event.Set(); // manual reset: a second Set changes nothing, one Reset clears both
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet()); // testing does not consume it
    EXPECT_EQ(PollReadable(event.Fd(), 0), PollResult::Ready);
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(PollReadable(event.Fd(), 0), PollResult::Timeout);
    event.Reset(); // resetting a clear event is harmless
    EXPECT_FALSE(event.IsSet());
    EXPECT_TRUE(CPollableEvent(true).IsSet());
}

TEST(PollableEvent, IsAlsoAnEventThatWaitsForAnyEventSees) {
    CPollableEvent event;
    CEvent other(false);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        event.Set();
    });
    EXPECT_EQ(WaitForAnyEvent({&other, &event.Event()}, 5000), 1);
    setter.join();
    EXPECT_EQ(PollReadable(event.Fd(), 0), PollResult::Ready); // the same setting, seen by a poll
    event.Reset();
    EXPECT_EQ(WaitForAnyEvent({&other, &event.Event()}, 0), kWaitTimeout);
}

TEST(PollableEvent, ResetsRacingWithSetsNeverLeaveASetEventUnreadable) {
    CPollableEvent event;
    std::thread setter([&] {
        for (int i = 0; i < 2000; ++i) {
            event.Set();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        event.Reset();
    }
    setter.join();
    EXPECT_EQ(PollReadable(event.Fd(), 0), event.IsSet() ? PollResult::Ready : PollResult::Timeout);
    event.Set();
    EXPECT_EQ(PollReadable(event.Fd(), 0), PollResult::Ready);
    event.Reset();
    EXPECT_EQ(PollReadable(event.Fd(), 0), PollResult::Timeout);
}

TEST(PollableFlag, ReadsAsABoolAndIsReadableWhileRaised) {
    CPollableFlag flag;
    ASSERT_GE(flag.Fd(), 0);
    EXPECT_FALSE(flag);
    EXPECT_EQ(PollReadable(flag.Fd(), 0), PollResult::Timeout);
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        flag = true;
    });
    EXPECT_EQ(PollReadable(flag.Fd(), 5000), PollResult::Ready); // a sleeping poll wakes when it is raised
    raiser.join();
    EXPECT_TRUE(flag.load());
    flag.store(false);
    EXPECT_FALSE(flag);
    EXPECT_EQ(PollReadable(flag.Fd(), 0), PollResult::Timeout);
}

TEST(PollableEvent, AnEventMadeWithoutADescriptorSaysWhy) {
    CPollableEvent before; // everything the event needs, made once with descriptors
    EXPECT_TRUE(before.Error().Ok());
    CDescriptorExhaustion exhausted;
    ASSERT_TRUE(exhausted.Exhausted());
    CPollableEvent event;
    EXPECT_FALSE(event.Valid());
    EXPECT_TRUE(event.Error().Is(EOsErrorClass::NoResources));
    EXPECT_EQ(event.Error().Number(), EMFILE);
}
