#include "platform/PollableEvent.h"

#include <gtest/gtest.h>

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
