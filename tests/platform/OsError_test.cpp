// The classes that callers above the platform decide on: each number a decision of theirs depends on lands in
// the class they test, and the causes they name themselves keep the numbers their log texts print; the texts and
// the EINTR retry of the platform's failed calls.

#include "platform/OsError.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {
struct ClassCase {
    int number;
    EOsErrorClass expected;
};

// A session that probes its peer ends on PeerGone and Invalid, waits on WouldBlock, and lets the next read find
// out on anything else; the accept loop and the host transport tell NoResources from the peer's fault.
const ClassCase kClassCases[] = {
    {0, EOsErrorClass::None},
    {EAGAIN, EOsErrorClass::WouldBlock},
    {EWOULDBLOCK, EOsErrorClass::WouldBlock},
    {EINPROGRESS, EOsErrorClass::InProgress},
    {EINTR, EOsErrorClass::Interrupted},
    {ECONNRESET, EOsErrorClass::PeerGone},
    {ECONNABORTED, EOsErrorClass::PeerGone},
    {ENETRESET, EOsErrorClass::PeerGone},
    {ENETDOWN, EOsErrorClass::PeerGone},
    {ESHUTDOWN, EOsErrorClass::PeerGone},
    {ETIMEDOUT, EOsErrorClass::PeerGone},
    {ENOTCONN, EOsErrorClass::PeerGone},
    {EPIPE, EOsErrorClass::PeerGone},
    {EBADF, EOsErrorClass::Invalid},
    {ENOTSOCK, EOsErrorClass::Invalid},
    {EFAULT, EOsErrorClass::Invalid},
    {EINVAL, EOsErrorClass::Invalid},
    {EMSGSIZE, EOsErrorClass::Invalid},
    {EOPNOTSUPP, EOsErrorClass::Invalid},
    {EISCONN, EOsErrorClass::Invalid},
    {EMFILE, EOsErrorClass::NoResources},
    {ENFILE, EOsErrorClass::NoResources},
    {ENOBUFS, EOsErrorClass::NoResources},
    {ENOMEM, EOsErrorClass::NoResources},
    {EADDRNOTAVAIL, EOsErrorClass::NoResources},
    {ENOENT, EOsErrorClass::NotFound},
    // Refused or unreachable says nothing about this machine, and a probe leaves it to the next read.
    {ECONNREFUSED, EOsErrorClass::Other},
    {EHOSTUNREACH, EOsErrorClass::Other},
    {ENETUNREACH, EOsErrorClass::Other},
    {EACCES, EOsErrorClass::Other},
    {EISDIR, EOsErrorClass::Other},
    {ECANCELED, EOsErrorClass::Other},
    {4242, EOsErrorClass::Other},
};
} // namespace

TEST(OsErrorTest, EachNumberLandsInTheClassItsCallersDecideOn) {
    for (const ClassCase& c : kClassCases) {
        const COsError error = COsError::FromNumber(c.number);
        EXPECT_EQ(error.Class(), c.expected) << c.number;
        EXPECT_EQ(error.Number(), c.number);
        EXPECT_EQ(error.Ok(), c.number == 0) << c.number;
    }
    EXPECT_TRUE(COsError().Ok());
    EXPECT_EQ(COsError().Number(), 0);
}

TEST(OsErrorTest, ErrnoIsReadAtOnceAndAClassGivenByTheCallWins) {
    errno = ECONNRESET;
    const COsError reset = COsError::FromErrno();
    errno = 0;
    EXPECT_EQ(reset, COsError::FromNumber(ECONNRESET));
    COsError filled;
    errno = EAGAIN;
    StoreErrno(&filled);
    StoreErrno(nullptr);
    EXPECT_TRUE(filled.Is(EOsErrorClass::WouldBlock));

    const COsError aborted = COsError::WithClass(EOsErrorClass::PeerGone, EPERM);
    EXPECT_TRUE(aborted.Is(EOsErrorClass::PeerGone));
    EXPECT_EQ(aborted.Number(), EPERM);
}

TEST(OsErrorTest, CausesNamedByTheCallerKeepTheSystemsNumbersAndTexts) {
    const struct {
        COsError error;
        int number;
    } cases[] = {
        {COsError::TimedOut(), ETIMEDOUT}, {COsError::Cancelled(), ECANCELED},
        {COsError::ShutDown(), ESHUTDOWN}, {COsError::PeerClosed(), EPIPE},
        {COsError::NotOpen(), EBADF},      {COsError::TooLong(), EMSGSIZE},
        {COsError::BadArgument(), EINVAL}, {COsError::NameTooLong(), ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error, COsError::FromNumber(c.number)) << c.number;
        EXPECT_EQ(c.error.Text(), std::strerror(c.number));
    }
    // The strerror text also for a number it has none for, unlike OsErrorText.
    EXPECT_EQ(COsError::FromNumber(4242).Text(), std::strerror(4242));
    EXPECT_EQ(OsErrorText(4242), "");
}

TEST(OsErrorTest, FailureTextIsWhatThenTheLibrarysText) {
    EXPECT_EQ(COsError::FromNumber(ENOENT).FailureText("cannot open a/b"),
              "cannot open a/b: No such file or directory");
    EXPECT_EQ(COsError::FromNumber(EWOULDBLOCK).FailureText("cannot lock x"),
              "cannot lock x: Resource temporarily unavailable");
    EXPECT_EQ(COsError::FromNumber(12345).FailureText("odd"), "odd: Unknown error 12345");
    EXPECT_EQ(OsErrorText(12345), "");
}

TEST(OsErrorTest, FailWithErrnoKeepsErrnoForTheCaller) {
    std::string error;
    COsError cause;
    errno = EACCES;
    EXPECT_FALSE(FailWithErrno(&error, "cannot write f", &cause));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(error, "cannot write f: Permission denied");
    EXPECT_EQ(cause, COsError::FromNumber(EACCES));
    errno = ENOSPC;
    EXPECT_FALSE(FailWithErrno(nullptr, "no text wanted"));
    EXPECT_EQ(errno, ENOSPC);
}

TEST(OsErrorTest, RetryOnEintrCallsAgainUntilAnotherAnswerAndKeepsItsCause) {
    const int failures[] = {EINTR, EINTR, EAGAIN};
    int calls = 0;
    COsError cause;
    const int result = RetryOnEintr(
        [&] {
            errno = failures[calls++];
            return -1;
        },
        &cause);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(cause.Is(EOsErrorClass::WouldBlock));

    calls = 0;
    COsError none;
    EXPECT_EQ(RetryOnEintr(
                  [&] {
                      errno = EINTR;
                      return ++calls == 2 ? 7 : -1;
                  },
                  &none),
              7);
    EXPECT_TRUE(none.Ok());
}
