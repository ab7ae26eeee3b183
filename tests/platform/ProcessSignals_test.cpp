// Termination signals as a descriptor: pending SIGTERM and SIGINT make it readable and are taken one by one.

#include "platform/ProcessSignals.h"

#include <csignal>

#include <gtest/gtest.h>

#include "platform/Socket.h"

TEST(TerminationSignalFdTest, PendingSignalsMakeItReadableAndAreTakenInTurn) {
    // This test program has no other thread that could take the signals first.
    BlockTerminationSignals();
    CTerminationSignalFd signals;
    ASSERT_TRUE(signals.Valid());
    EXPECT_EQ(0, signals.Take());
    EXPECT_EQ(PollResult::Timeout, PollReadable(signals.Fd(), 0));

    ASSERT_EQ(0, std::raise(SIGTERM));
    EXPECT_EQ(PollResult::Ready, PollReadable(signals.Fd(), 1000));
    EXPECT_EQ(SIGTERM, signals.Take());
    EXPECT_EQ(0, signals.Take());

    ASSERT_EQ(0, std::raise(SIGINT));
    EXPECT_EQ(SIGINT, signals.Take());
    EXPECT_EQ(PollResult::Timeout, PollReadable(signals.Fd(), 0));
}
