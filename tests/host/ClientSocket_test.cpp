#include "host/ClientSocket.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "common/DescriptorExhaustion.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "peers/TlsTestServer.h"
#include "platform/ProcessEvents.h"
#include "platform/TcpClient.h"

namespace {
uint32_t Loopback() {
    uint32_t address = 0;
    ResolveHostIpv4("127.0.0.1", &address);
    return address;
}

// A plain loopback listener and the server end of the one connection a test makes to it.
class ClientSocketTest : public TempDirTest {
protected:
    void SetUp() override {
        g_ShutdownEvent.Reset();
        m_Listen = ListenOnLoopback(0, 4, &m_Port);
        ASSERT_TRUE(m_Listen.Valid());
    }
    void TearDown() override { g_ShutdownEvent.Reset(); }

    // Connects |socket| and accepts the server end.
    void ConnectPair(CClientSocket& socket) {
        ASSERT_TRUE(socket.Connect(Loopback(), m_Port, 5000)) << socket.GetLastErrorText();
        m_Peer = AcceptOne(m_Listen.Get());
        ASSERT_TRUE(m_Peer.Valid());
    }
    void PeerSends(const std::string& bytes) {
        ASSERT_EQ(SendAll(m_Peer.Get(), bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    }
    // Waits (real time, bounded) until the client end sees |bytes| bytes waiting.
    static void WaitForBytes(CClientSocket& socket) {
        WaitUntil([&] { return socket.IsDataAvailable(); }, 2000);
    }

    CSocketFd m_Listen;
    CSocketFd m_Peer;
    int m_Port = 0;
};

int UnusedPort() {
    int port = 0;
    CSocketFd probe = ListenOnLoopback(0, 1, &port);
    return port; // closed again when |probe| goes: nothing listens there now
}

template <typename F> std::chrono::milliseconds Timed(F&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}
} // namespace

TEST_F(ClientSocketTest, ConnectsByNameAndByAddress) {
    for (const char* host : {"localhost", "127.0.0.1"}) {
        CClientSocket socket;
        EXPECT_TRUE(socket.Resolve(host, m_Port, 5000)) << host << ": " << socket.GetLastErrorText();
        EXPECT_TRUE(socket.IsConnected()) << host;
        EXPECT_TRUE(socket.NoDelay()) << host;
        CSocketFd peer = AcceptOne(m_Listen.Get());
        EXPECT_TRUE(peer.Valid());
    }
}

TEST_F(ClientSocketTest, FailedLookupStoresTheNameAndTheError) {
    CClientSocket socket;
    EXPECT_FALSE(socket.Resolve("", m_Port, 1000));
    EXPECT_EQ(socket.GetLastError(), 11001);
    EXPECT_EQ(socket.GetLastErrorText(), "DNS Lookup of '' Failed with Error 11001.");
    EXPECT_FALSE(socket.IsOpen());
}

TEST_F(ClientSocketTest, RefusedConnectFailsWith3006AndLeavesTheSocketClosed) {
    // The refused connect shows as writable; only SO_ERROR tells it is no connection.
    CClientSocket socket;
    EXPECT_FALSE(socket.Connect(Loopback(), UnusedPort(), 5000));
    EXPECT_EQ(socket.GetLastError(), 3006);
    EXPECT_EQ(socket.GetLastErrorText(), "Socket Error Trying to Connect [3006]");
    EXPECT_EQ(socket.GetLastSocketError(), ECONNREFUSED);
    EXPECT_FALSE(socket.IsOpen());
    // A closed object connects again.
    EXPECT_TRUE(socket.Connect(Loopback(), m_Port, 5000));
}

TEST_F(ClientSocketTest, AFailureOnThisMachineIsToldApartFromTheUnreachablePeer) {
    CClientSocket socket;
    const int port = m_Port;
    const uint32_t loopback = Loopback();
    EXPECT_FALSE(socket.Connect(loopback, UnusedPort(), 5000)); // the same code once, with descriptors
    {
        CDescriptorExhaustion exhausted;
        ASSERT_TRUE(exhausted.Exhausted());
        EXPECT_FALSE(socket.Connect(loopback, port, 5000));
        EXPECT_FALSE(socket.Resolve("127.0.0.1", port, 5000));
    }
    EXPECT_EQ(socket.GetLastError(), CClientSocket::kSocketCreationFailed);
    EXPECT_EQ(socket.GetLastErrorText(), "Socket Creation Failed");
    EXPECT_EQ(socket.GetLastSocketError(), EMFILE);
    EXPECT_TRUE(socket.IsLocalFailure());

    EXPECT_FALSE(socket.Connect(Loopback(), UnusedPort(), 5000));
    EXPECT_FALSE(socket.IsLocalFailure()); // refused by the peer's machine
    EXPECT_FALSE(socket.Resolve("", m_Port, 1000));
    EXPECT_FALSE(socket.IsLocalFailure()); // no such name
    ASSERT_TRUE(socket.Connect(Loopback(), m_Port, 5000));
    EXPECT_FALSE(socket.IsLocalFailure());
}

TEST_F(ClientSocketTest, ConnectToAPeerThatNeverAnswersTimesOut) {
    CBacklogFullListener silent;
    ASSERT_TRUE(silent.Start());
    CTestClock clock;
    clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    CScopedClock scoped(clock);
    for (uint32_t timeout : {0u, 1u, 30000u}) {
        CClientSocket socket;
        const uint64_t before = clock.TickMs();
        EXPECT_FALSE(socket.Connect(Loopback(), silent.Port(), timeout)) << timeout;
        EXPECT_EQ(socket.GetLastError(), 3006);
        EXPECT_EQ(socket.GetLastErrorText(), "Socket Error Trying to Connect [3006]");
        EXPECT_EQ(socket.GetLastSocketError(), ETIMEDOUT);
        EXPECT_GT(clock.TickMs() - before, timeout); // strictly past the time-out, not before
        EXPECT_FALSE(socket.IsOpen());
    }
}

TEST_F(ClientSocketTest, ConnectGivesUpAtOnceWhenTheShutdownEventIsSet) {
    CBacklogFullListener silent;
    ASSERT_TRUE(silent.Start());
    CClientSocket socket;
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        g_ShutdownEvent.Set();
    });
    const auto took = Timed([&] { EXPECT_FALSE(socket.Connect(Loopback(), silent.Port(), 600000)); });
    stopper.join();
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(socket.GetLastError(), 3006);
    EXPECT_FALSE(socket.IsOpen());
}

TEST_F(ClientSocketTest, ReceiveWithTimeoutZeroPollsAndReadsWhatIsThere) {
    CClientSocket socket;
    ConnectPair(socket);
    char buffer[64];
    CTestClock clock; // a Receive that waited would block here: this clock does not move by itself
    CScopedClock scoped(clock);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer, 0), 0);
    PeerSends("hello");
    WaitForBytes(socket);
    ASSERT_EQ(socket.Receive(buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(socket.GetLastError(), 0); // Receive stores no error
}

TEST_F(ClientSocketTest, ReceiveOnAQuietConnectionWaitsOutItsTimeoutOnTheClock) {
    CClientSocket socket;
    ConnectPair(socket);
    char buffer[64];
    const uint64_t waited = ClockTimeOf([&] { EXPECT_EQ(socket.Receive(buffer, sizeof buffer, 35000), 0); });
    EXPECT_GE(waited, 35000u);
    EXPECT_LE(waited, 35002u);
    EXPECT_TRUE(socket.IsConnected());
}

TEST_F(ClientSocketTest, ReceiveEndsSoonAfterTheShutdownEventIsSet) {
    CClientSocket socket;
    ConnectPair(socket);
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        g_ShutdownEvent.Set();
    });
    char buffer[64];
    const auto took = Timed([&] { EXPECT_EQ(socket.Receive(buffer, sizeof buffer, 600000), 0); });
    stopper.join();
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST_F(ClientSocketTest, IsConnectedProbesWithoutTakingBytesAndSeesThePeerClose) {
    CClientSocket socket;
    ConnectPair(socket);
    EXPECT_TRUE(socket.IsConnected()); // quiet but open
    PeerSends("abc");
    WaitForBytes(socket);
    EXPECT_TRUE(socket.IsConnected());
    EXPECT_TRUE(socket.IsConnected());
    char buffer[8];
    ASSERT_EQ(socket.Receive(buffer, sizeof buffer, 1000), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    m_Peer.Close();
    WaitUntil([&] { return !socket.IsConnected(); }, 2000);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer, 1000), 0);
}

TEST_F(ClientSocketTest, SendOfNothingReturnsZeroAndStoresNoError) {
    CClientSocket socket;
    ConnectPair(socket);
    EXPECT_EQ(socket.Send("", 0), 0);
    EXPECT_EQ(socket.GetLastError(), 0);
    EXPECT_EQ(socket.GetLastErrorText(), "");
}

TEST_F(ClientSocketTest, SendPutsOutEveryByteOfALargeBuffer) {
    CClientSocket socket;
    ConnectPair(socket);
    std::string big(8 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 131 + 7);
    }
    std::string received;
    std::thread reader([&] {
        char buffer[65536];
        while (received.size() < big.size()) {
            const long n = RecvOnce(m_Peer.Get(), buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    EXPECT_EQ(socket.Send(big), static_cast<int>(big.size()));
    reader.join();
    EXPECT_TRUE(received == big);
}

TEST_F(ClientSocketTest, SendToAPeerThatStopsReadingFailsAfterItsTimeout) {
    CClientSocket socket;
    ConnectPair(socket);
    CTestClock clock;
    clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    CScopedClock scoped(clock);
    const std::string big(64 * 1024 * 1024, 'x'); // far more than the socket buffers hold
    EXPECT_EQ(socket.Send(big), -1);
    EXPECT_EQ(socket.GetLastError(), 3003);
    EXPECT_EQ(socket.GetLastErrorText(), "Socket Error Sending 3003");
    EXPECT_EQ(socket.GetLastSocketError(), ETIMEDOUT);
}

TEST_F(ClientSocketTest, SendToAClosedPeerFailsWith3003WithoutASignal) {
    CClientSocket socket;
    ConnectPair(socket);
    m_Peer.Close();
    const std::string chunk(64 * 1024, 'x');
    int result = 0;
    for (int i = 0; i < 200 && result >= 0; ++i) {
        result = socket.Send(chunk); // the first sends may still land in the buffer; the reset ends them
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(socket.GetLastError(), 3003);
    EXPECT_EQ(socket.GetLastErrorText(), "Socket Error Sending 3003");
}

TEST_F(ClientSocketTest, SendWithoutAConnectionFails) {
    CClientSocket socket;
    EXPECT_EQ(socket.Send("x", 1), -1);
    EXPECT_EQ(socket.GetLastError(), 3003);
    char buffer[4];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer, 1000), 0);
    EXPECT_FALSE(socket.IsConnected());
}
