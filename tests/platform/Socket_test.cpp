// The socket helpers under the conditions that break hand-written loops: a send buffer far smaller than the
// data (every send is short, a non-blocking one meets EAGAIN), and a signal whose handler interrupts the blocked
// call (EINTR, since the handler is installed without SA_RESTART); and the causes their failures hand back.

#include "platform/Socket.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>

#include <gtest/gtest.h>

#include "common/TestClock.h"
#include "common/Wait.h"
#include "platform/LocalSocket.h"
#include "platform/TcpClient.h"

namespace {

std::atomic<int> g_Interruptions{0};

void CountInterruption(int) {
    ++g_Interruptions;
}

// While it lives, SIGUSR1 runs a handler that only counts, and interrupts the system call it lands in.
class CInterruptingSignal {
public:
    CInterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = CountInterruption;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: a blocked call returns EINTR (or what it got so far)
        ::sigaction(SIGUSR1, &action, &m_Previous);
        g_Interruptions = 0;
    }
    ~CInterruptingSignal() { ::sigaction(SIGUSR1, &m_Previous, nullptr); }
    CInterruptingSignal(const CInterruptingSignal&) = delete;
    CInterruptingSignal& operator=(const CInterruptingSignal&) = delete;

private:
    struct sigaction m_Previous {};
};

// Sends SIGUSR1 to |target| every half millisecond while it lives. |target| must not be joined before it ends.
class CSignalStorm {
public:
    explicit CSignalStorm(pthread_t target)
        : m_Thread([this, target] {
              while (!m_Stop.load()) {
                  ::pthread_kill(target, SIGUSR1);
                  std::this_thread::sleep_for(std::chrono::microseconds(500));
              }
          }) {}
    ~CSignalStorm() {
        m_Stop = true;
        m_Thread.join();
    }
    CSignalStorm(const CSignalStorm&) = delete;
    CSignalStorm& operator=(const CSignalStorm&) = delete;

private:
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

// A connected stream socket pair whose sending end has the smallest send buffer the system allows.
struct CNarrowPair {
    CNarrowPair() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0) << std::strerror(errno);
        sender = CSocketFd(fds[0]);
        receiver = CSocketFd(fds[1]);
        EXPECT_EQ(SetSocketBufferSize(sender.Get(), true, 1), 0);
        EXPECT_EQ(SetSocketBufferSize(receiver.Get(), false, 1), 0);
    }
    CSocketFd sender;
    CSocketFd receiver;
};

// |size| bytes that show where a byte was lost or repeated.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return bytes;
}

// Reads from |fd| until |size| bytes came or the peer closed, slowly at first so that the sender fills its
// buffer and blocks.
std::string ReadAll(int fd, size_t size) {
    std::string got;
    char block[1024];
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (got.size() < size) {
        const long n = RecvSome(fd, block, sizeof block);
        if (n <= 0) {
            break;
        }
        got.append(block, static_cast<size_t>(n));
    }
    return got;
}

constexpr size_t kPayload = 1024 * 1024;

} // namespace

TEST(SocketTest, SendAllDeliversEveryByteInOrderThroughShortSends) {
    for (const bool nonBlocking : {false, true}) {
        SCOPED_TRACE(nonBlocking ? "non-blocking (EAGAIN)" : "blocking");
        CNarrowPair pair;
        ASSERT_TRUE(SetNonBlocking(pair.sender.Get(), nonBlocking));
        ASSERT_LT(GetSocketBufferSize(pair.sender.Get(), true), 65536) << "the buffer must be far below the data";
        const std::string payload = Pattern(kPayload);
        std::string received;
        std::thread reader([&] { received = ReadAll(pair.receiver.Get(), payload.size()); });
        EXPECT_EQ(SendAll(pair.sender.Get(), payload.data(), payload.size()), static_cast<long>(payload.size()));
        reader.join();
        EXPECT_TRUE(received == payload) << "received " << received.size() << " of " << payload.size() << " bytes";
    }
}

TEST(SocketTest, SignalsThatInterruptABlockedSendOrReceiveLoseNothing) {
    CInterruptingSignal signal;
    CNarrowPair pair;
    const std::string payload = Pattern(kPayload);

    // The sender blocks on a full buffer again and again while the signals land in it.
    long sent = 0;
    std::thread sender([&] { sent = SendAll(pair.sender.Get(), payload.data(), payload.size()); });
    std::optional<CSignalStorm> storm(std::in_place, sender.native_handle());
    const std::string received = ReadAll(pair.receiver.Get(), payload.size());
    storm.reset();
    sender.join();
    EXPECT_EQ(sent, static_cast<long>(payload.size()));
    EXPECT_TRUE(received == payload) << "received " << received.size() << " of " << payload.size() << " bytes";
    EXPECT_GT(g_Interruptions.load(), 0);

    // The receiver blocks on an empty socket while the signals land in it; the bytes sent later are its answer.
    const int before = g_Interruptions.load();
    std::atomic<long> got{-2};
    char byte = 0;
    std::thread receiver([&] { got = RecvSome(pair.receiver.Get(), &byte, 1); });
    storm.emplace(receiver.native_handle());
    EXPECT_TRUE(WaitUntil([&] { return g_Interruptions.load() > before + 20; }));
    EXPECT_EQ(SendAll(pair.sender.Get(), "z", 1), 1);
    EXPECT_TRUE(WaitUntil([&] { return got.load() != -2; }));
    storm.reset();
    receiver.join();
    EXPECT_EQ(got.load(), 1);
    EXPECT_EQ(byte, 'z');
}

TEST(SocketTest, AnAcceptInterruptedBySignalsStillTakesTheConnection) {
    CInterruptingSignal signal;
    int port = 0;
    int step = -1;
    CSocketFd listening = ListenTcpOn(LoopbackIpv4(), 0, 1, 0, &port, &step);
    ASSERT_TRUE(listening.Valid()) << step << " " << std::strerror(errno);
    CSocketFd accepted;
    Ipv4Endpoint peer;
    std::atomic<bool> done{false};
    std::thread acceptor([&] {
        accepted = AcceptTcp(listening.Get(), &peer);
        done = true;
    });
    std::optional<CSignalStorm> storm(std::in_place, acceptor.native_handle());
    EXPECT_TRUE(WaitUntil([&] { return g_Interruptions.load() > 20; }));
    CSocketFd client = ConnectTcp(LoopbackIpv4(), port, 5000);
    EXPECT_TRUE(client.Valid()) << std::strerror(errno);
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    storm.reset();
    acceptor.join();
    ASSERT_TRUE(accepted.Valid()) << std::strerror(errno);
    EXPECT_EQ(peer.address, LoopbackIpv4());
    EXPECT_NE(peer.port, 0);
}

TEST(SocketTest, AWaitOnTheClockEndsWhenTheClockSaysNotWhenRealTimeDoes) {
    CNarrowPair pair;
    CTestClock clock;
    CScopedClock scoped(clock);
    PollResult result = PollResult::Error;
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        result = WaitReadableOnClock(pair.receiver.Get(), 60000);
        done = true;
    });
    // Real time passes, the clock stands still: the wait goes on.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    clock.Advance(60000);
    waiter.join();
    EXPECT_EQ(result, PollResult::Timeout);

    // Data ends it before the time does.
    ASSERT_EQ(SendAll(pair.sender.Get(), "x", 1), 1);
    EXPECT_EQ(WaitReadableOnClock(pair.receiver.Get(), 60000), PollResult::Ready);
}

TEST(SocketTest, FailedCallsHandBackTheCauseTheirCallersDecideOn) {
    // Nothing to read yet, and no room to send: wait, the connection is sound.
    CNarrowPair pair;
    COsError error;
    EXPECT_EQ(PeekOneByteNow(pair.receiver.Get(), &error), -1);
    EXPECT_TRUE(error.Is(EOsErrorClass::WouldBlock)) << error.Number();
    const std::string payload = Pattern(kPayload);
    error = COsError();
    for (size_t sent = 0; sent < payload.size();) {
        const long n = SendSomeNow(pair.sender.Get(), payload.data() + sent, payload.size() - sent, &error);
        if (n < 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    EXPECT_TRUE(error.Is(EOsErrorClass::WouldBlock)) << error.Number();

    // The peer went away: an orderly close leaves a send nobody takes, a reset a read that fails.
    pair.receiver.Close();
    EXPECT_EQ(SendSomeNow(pair.sender.Get(), "x", 1, &error), -1);
    EXPECT_EQ(error, COsError::FromNumber(EPIPE));
    int port = 0;
    int step = 0;
    CSocketFd listening = ListenTcpOn(LoopbackIpv4(), 0, 1, 0, &port, &step);
    ASSERT_TRUE(listening.Valid());
    CSocketFd client = ConnectTcp(LoopbackIpv4(), port, 5000);
    CSocketFd served = AcceptTcp(listening.Get(), nullptr, &error);
    ASSERT_TRUE(served.Valid()) << error.Text();
    linger hard{1, 0};
    ASSERT_EQ(::setsockopt(served.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    served.Close();
    char byte = 0;
    EXPECT_EQ(RecvOnce(client.Get(), &byte, 1, &error), -1);
    EXPECT_EQ(error, COsError::FromNumber(ECONNRESET));

    // A socket that cannot accept at all ends an accept loop: its cause is neither the peer's nor a shortage.
    CSocketFd notListening = NewTcpSocket();
    EXPECT_FALSE(AcceptTcp(notListening.Get(), nullptr, &error).Valid());
    EXPECT_TRUE(error.Is(EOsErrorClass::Invalid)) << error.Number();
    uint32_t address = 0;
    const COsError unknown = ResolveHostIpv4("", &address);
    EXPECT_TRUE(unknown.Is(EOsErrorClass::NotFound));
    EXPECT_EQ(unknown.Number(), 11001);
}

TEST(SocketTest, AMessageSocketThatCannotMoveNowSaysWouldBlock) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    CSocketFd sender(fds[0]);
    CSocketFd receiver(fds[1]);
    char buffer[64] = {};
    COsError error;
    EXPECT_EQ(ReceiveMessage(receiver.Get(), buffer, sizeof buffer, nullptr, true, &error), -1);
    EXPECT_TRUE(error.Is(EOsErrorClass::WouldBlock)) << error.Number();
    error = COsError();
    for (int i = 0; i < 100000 && SendMessage(sender.Get(), buffer, sizeof buffer, true, &error) >= 0; ++i) {
    }
    EXPECT_TRUE(error.Is(EOsErrorClass::WouldBlock)) << error.Number();
}
