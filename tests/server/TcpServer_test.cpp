#include "server/TcpServer.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "common/DescriptorExhaustion.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/TcpClient.h"
#include "platform/WorkerThread.h"
#include "server/TcpSession.h"

namespace {

int OpenFds() {
    return CountEntries("/proc/self/fd");
}
int Threads() {
    return CountEntries("/proc/self/task");
}

CSocketFd Connect(int port) {
    return ConnectTcp(LoopbackIpv4(), port, 2000);
}

void SendString(int fd, const std::string& text) {
    ASSERT_EQ(SendAll(fd, text.data(), text.size()), static_cast<long>(text.size()));
}

// Everything the peer sends until it closes (or five seconds of silence).
std::string ReadUntilClosed(int fd) {
    std::string text;
    char block[512];
    while (PollReadable(fd, 5000) == PollResult::Ready) {
        const long n = RecvSome(fd, block, sizeof block);
        if (n <= 0) {
            break;
        }
        text.append(block, static_cast<size_t>(n));
    }
    return text;
}

// Closes with a reset instead of an orderly close.
void ResetConnection(CSocketFd& fd) {
    linger hard{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    fd.Close();
}

// A server whose sessions come from a factory (the default session when there is none).
class CTestServer : public CTcpServer {
public:
    using Factory = std::function<std::unique_ptr<CTcpSession>()>;
    explicit CTestServer(Factory factory = {}) : m_Factory(std::move(factory)) {}
    ~CTestServer() override { StopAndWaitForSessions(); }

    int ListenAndAccept() {
        const int listened = Listen(0);
        return listened != 0 ? listened : StartAccept();
    }
    Factory m_Factory;
    std::atomic<int> m_Destroyed{0};

protected:
    std::unique_ptr<CTcpSession> CreateSession() override {
        return m_Factory ? m_Factory() : std::make_unique<CTcpSession>();
    }
    void DestroySession(std::unique_ptr<CTcpSession> session) override {
        session.reset();
        ++m_Destroyed;
    }
};

// Holds its connection until |release| is set, then answers "served:" and the text it got.
class CHoldSession : public CTcpSession {
public:
    explicit CHoldSession(CEvent& release) : m_Release(release) {}
    void Run() override {
        m_Release.Wait(kInfinite);
        char text[64];
        const int n = BytesAvailable() ? Receive(text, sizeof text) : 0;
        SendText("served:" + std::string(text, n > 0 ? static_cast<size_t>(n) : 0));
    }

private:
    CEvent& m_Release;
};

// Both ends of one loopback TCP connection, the server end attached to a session.
struct CLoopbackPair {
    CLoopbackPair() {
        int port = 0;
        int step = 0;
        m_Listen = ListenTcp(0, 1, 0, &port, &step);
        m_Client = Connect(port);
        Ipv4Endpoint peer;
        m_Server = AcceptTcp(m_Listen.Get(), &peer);
        m_Session.Attach(m_Server.Get(), peer, m_Listen.Get(), nullptr);
    }
    std::string Leftover() {
        std::string text;
        char block[256];
        while (BytesReadable(m_Server.Get()) > 0) {
            const long n = RecvSome(m_Server.Get(), block, sizeof block);
            if (n <= 0) {
                break;
            }
            text.append(block, static_cast<size_t>(n));
        }
        return text;
    }
    CSocketFd m_Listen;
    CSocketFd m_Client;
    CSocketFd m_Server;
    CTcpSession m_Session;
};

class TcpServerTest : public TempDirTest {};

} // namespace

TEST_F(TcpServerTest, DefaultSessionAnswersOneLineAndServerReportsItsPort) {
    CTestServer server;
    EXPECT_EQ(server.GetPort(), -1);
    ASSERT_EQ(server.ListenAndAccept(), 0);
    EXPECT_GT(server.GetPort(), 0);
    EXPECT_EQ(server.StartAccept(), 1); // already accepting

    CSocketFd client = Connect(server.GetPort());
    ASSERT_TRUE(client.Valid());
    SendString(client.Get(), "hello\r\nmore input");
    EXPECT_EQ(ReadUntilClosed(client.Get()), kConnectSuccessfulText);
    EXPECT_TRUE(server.WaitForSessions(5000));
    EXPECT_EQ(server.GetActiveCount(), 0);
    EXPECT_EQ(server.m_Destroyed, 1);
}

TEST_F(TcpServerTest, ControlOperationsReportTheirResults) {
    CTestServer idle;
    EXPECT_EQ(idle.Stop(), 0); // never accepting
    EXPECT_EQ(idle.StartAccept(), 1) << "no listening socket yet";
    EXPECT_EQ(idle.Listen(70000), 3);

    struct Case {
        int n;
        int result;
        int maximumAfter;
    } cases[] = {{0, -1, 20}, {-5, -1, 20}, {32001, -1, 20}, {1, 1, 1}, {32000, 32000, 32000}, {0, -1, 32000}};
    for (const Case& c : cases) {
        EXPECT_EQ(idle.SetMaxConnections(c.n), c.result) << c.n;
        EXPECT_EQ(idle.GetMaxConnections(), c.maximumAfter) << c.n;
    }

    CTestServer first;
    ASSERT_EQ(first.ListenAndAccept(), 0);
    CTestServer second;
    EXPECT_EQ(second.Listen(first.GetPort()), 3) << "the port is taken";
    EXPECT_EQ(first.Listen(0), 1) << "cannot listen again while accepting";
    EXPECT_EQ(first.Stop(), 0);
    EXPECT_FALSE(first.IsAccepting());
    EXPECT_EQ(first.Stop(), 0);

    // With no time to answer the wake-up connection, shutting the listening socket down still releases the
    // accept thread, which is joined, never abandoned.
    const int threadsBefore = Threads();
    CTestServer impatient;
    ASSERT_EQ(impatient.ListenAndAccept(), 0);
    impatient.SetStopWaitMs(0);
    const int stopped = impatient.Stop();
    EXPECT_TRUE(stopped == 0 || stopped == 1) << stopped;
    EXPECT_FALSE(impatient.IsAccepting());
    EXPECT_EQ(Threads(), threadsBefore);
}

// A client that misbehaves at any point, or a session that cannot be made or started, costs the server
// nothing: the next client is served, and no descriptor or thread stays behind.
TEST_F(TcpServerTest, BadClientsInEveryPhaseLeaveTheServerServingWithNothingLeaked) {
    struct Case {
        const char* name;
        std::function<void(CTestServer&)> arrange;
        std::function<void(CSocketFd&)> client;
        const char* expected; // what the misbehaving client reads, when it still can
    };
    auto failingFactory = [](bool throws) {
        return [throws, once = std::make_shared<std::atomic<bool>>(true)]() -> std::unique_ptr<CTcpSession> {
            if (once->exchange(false)) {
                if (throws) {
                    throw std::runtime_error("no session");
                }
                return nullptr;
            }
            return std::make_unique<CTcpSession>();
        };
    };
    const Case cases[] = {
        {"closes at once", nullptr, [](CSocketFd& fd) { fd.Close(); }, nullptr},
        {"resets at once", nullptr, [](CSocketFd& fd) { ResetConnection(fd); }, nullptr},
        {"half a line then close", nullptr,
         [](CSocketFd& fd) {
             SendString(fd.Get(), "no line end");
             ::shutdown(fd.Get(), SHUT_WR);
         },
         kConnectSuccessfulText.data()},
        {"line longer than the buffer", nullptr,
         [](CSocketFd& fd) { SendString(fd.Get(), std::string(300, 'x') + "\r\n"); }, kConnectSuccessfulText.data()},
        {"line then reset before the answer", nullptr,
         [](CSocketFd& fd) {
             SendString(fd.Get(), "line\r\n");
             ResetConnection(fd);
         },
         nullptr},
        {"no session from the factory", [&](CTestServer& s) { s.m_Factory = failingFactory(false); },
         [](CSocketFd& fd) { SendString(fd.Get(), "line\r\n"); }, ""},
        {"factory throws", [&](CTestServer& s) { s.m_Factory = failingFactory(true); },
         [](CSocketFd& fd) { SendString(fd.Get(), "line\r\n"); }, ""},
        {"connection thread cannot start", [](CTestServer&) { CWorkerThread::FailNextStartsForTesting(1); },
         [](CSocketFd& fd) { SendString(fd.Get(), "line\r\n"); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fdsBefore = OpenFds();
        const int threadsBefore = Threads();
        {
            CTestServer server;
            ASSERT_EQ(server.ListenAndAccept(), 0);
            if (c.arrange) {
                c.arrange(server);
            }
            const int fdsServing = OpenFds();

            CSocketFd bad = Connect(server.GetPort());
            ASSERT_TRUE(bad.Valid());
            c.client(bad);
            if (c.expected != nullptr) {
                EXPECT_EQ(ReadUntilClosed(bad.Get()), c.expected);
            }
            bad.Close();
            EXPECT_TRUE(WaitUntil([&] { return server.GetActiveCount() == 0 && OpenFds() == fdsServing; }))
                << "active " << server.GetActiveCount() << ", descriptors " << OpenFds() << " of " << fdsServing;

            CSocketFd good = Connect(server.GetPort());
            SendString(good.Get(), "hello\r\n");
            EXPECT_EQ(ReadUntilClosed(good.Get()), kConnectSuccessfulText);
            EXPECT_TRUE(server.WaitForSessions(5000));
        }
        EXPECT_EQ(OpenFds(), fdsBefore);
        EXPECT_TRUE(WaitForThreadCount(threadsBefore)) << Threads() << " threads, " << threadsBefore << " before";
    }
}

TEST_F(TcpServerTest, WithMaximumOneAClientThatReconnectsAtOnceIsServed) {
    CTestClock clock; // never moves: the refusal pause cannot run out on its own
    CScopedClock scoped(clock);
    CEvent release(true);
    CTestServer server([&] { return std::make_unique<CHoldSession>(release); });
    server.SetMaxConnections(1);
    ASSERT_EQ(server.ListenAndAccept(), 0);

    CSocketFd first = Connect(server.GetPort());
    ASSERT_TRUE(WaitUntil([&] { return server.GetActiveCount() == 1; }));
    CSocketFd second = Connect(server.GetPort());
    SendString(second.Get(), "again");
    EXPECT_EQ(PollReadable(second.Get(), 50), PollResult::Timeout) << "neither served nor refused yet";
    release.Set(); // the first session ends within the pause
    EXPECT_EQ(ReadUntilClosed(first.Get()), "served:");
    EXPECT_EQ(ReadUntilClosed(second.Get()), "served:again");
}

TEST_F(TcpServerTest, WithMaximumOneASecondClientIsRefusedAfterThePause) {
    CTestClock clock;
    CScopedClock scoped(clock);
    CEvent release(true);
    CTestServer server([&] { return std::make_unique<CHoldSession>(release); });
    server.SetMaxConnections(1);
    ASSERT_EQ(server.ListenAndAccept(), 0);

    CSocketFd first = Connect(server.GetPort());
    ASSERT_TRUE(WaitUntil([&] { return server.GetActiveCount() == 1; }));
    CSocketFd second = Connect(server.GetPort());
    SendString(second.Get(), "let me in");
    {
        CClockPump pump(clock, 50);
        EXPECT_EQ(ReadUntilClosed(second.Get()), kTooManyConnectionsText);
    }
    release.Set();
    EXPECT_EQ(ReadUntilClosed(first.Get()), "served:");
}

TEST_F(TcpServerTest, ConnectionsOverTheMaximumAreRefusedAndCounted) {
    CEvent release(true);
    CTestServer server([&] { return std::make_unique<CHoldSession>(release); });
    server.SetMaxConnections(2);
    ASSERT_EQ(server.ListenAndAccept(), 0);
    CSocketFd a = Connect(server.GetPort());
    CSocketFd b = Connect(server.GetPort());
    ASSERT_TRUE(WaitUntil([&] { return server.GetActiveCount() == 2; }));
    CSocketFd c = Connect(server.GetPort());
    SendString(c.Get(), "x");
    EXPECT_EQ(ReadUntilClosed(c.Get()), kTooManyConnectionsText);
    EXPECT_EQ(server.CountClients(), 2);
    release.Set();
    EXPECT_EQ(ReadUntilClosed(a.Get()), "served:");
    EXPECT_EQ(ReadUntilClosed(b.Get()), "served:");
    EXPECT_TRUE(server.WaitForSessions(5000));
}

TEST_F(TcpServerTest, RefusedConnectionsPastASmallBoundAreClosedAtOnceWithoutAThread) {
    // Served and refused connections alike hold on until released.
    class CHoldEverySession : public CHoldSession {
    public:
        using CHoldSession::CHoldSession;
        void RunRefused() override { Run(); }
    };
    CEvent release(true);
    CTestServer server([&] { return std::make_unique<CHoldEverySession>(release); });
    server.SetMaxConnections(1);
    server.SetRefusalPauseMs(0);
    server.SetMaxRefusedSessions(2);
    ASSERT_EQ(server.ListenAndAccept(), 0);
    CSocketFd served = Connect(server.GetPort());
    ASSERT_TRUE(WaitUntil([&] { return server.GetActiveCount() == 1; }));
    std::vector<CSocketFd> refused;
    for (int i = 0; i < 2; ++i) {
        refused.push_back(Connect(server.GetPort()));
    }
    ASSERT_TRUE(WaitUntil([&] { return server.GetRefusedCount() == 2; }));
    const int threads = Threads();

    constexpr int kFlood = 30;
    for (int i = 0; i < kFlood; ++i) {
        CSocketFd flood = Connect(server.GetPort());
        ASSERT_TRUE(flood.Valid());
        EXPECT_EQ(ReadUntilClosed(flood.Get()), ""); // closed at once, nothing said
    }
    EXPECT_EQ(server.GetDroppedCount(), static_cast<uint64_t>(kFlood));
    EXPECT_EQ(server.GetRefusedCount(), 2);
    EXPECT_EQ(server.GetActiveCount(), 3);
    EXPECT_LE(Threads(), threads);

    release.Set();
    EXPECT_EQ(ReadUntilClosed(served.Get()), "served:");
    for (CSocketFd& fd : refused) {
        EXPECT_EQ(ReadUntilClosed(fd.Get()), "served:");
    }
    EXPECT_TRUE(server.WaitForSessions(5000));
    EXPECT_EQ(server.GetRefusedCount(), 0);
}

// A process short of descriptors cannot take a connection for a moment; the accept thread waits and takes the
// waiting ones once they are back, and never ends for it.
TEST_F(TcpServerTest, AcceptingOutlastsAShortageOfDescriptors) {
    CTestServer server;
    ASSERT_EQ(server.ListenAndAccept(), 0);
    {
        // Once with descriptors, so that everything a connection needs has been made before.
        CSocketFd first = Connect(server.GetPort());
        SendString(first.Get(), "first\r\n");
        EXPECT_EQ(ReadUntilClosed(first.Get()), kConnectSuccessfulText);
        ASSERT_TRUE(server.WaitForSessions(5000));
    }
    std::vector<CSocketFd> clients;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(NewTcpSocket());
        ASSERT_TRUE(SetNonBlocking(clients.back().Get(), true));
    }
    // The accept thread's pause waits on an event as this does: the sanitizer's check of the clock's type needs
    // a descriptor the first time.
    CEvent(true).Wait(1);
    std::vector<COsError> started;
    bool acceptingMeanwhile = false;
    {
        CDescriptorExhaustion exhausted;
        ASSERT_TRUE(exhausted.Exhausted());
        // An accept already waiting holds the descriptor it will hand out: one connection may get through, every
        // accept after it finds none.
        for (const CSocketFd& client : clients) {
            started.push_back(StartTcpConnect(client.Get(), LoopbackIpv4(), static_cast<uint16_t>(server.GetPort())));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        acceptingMeanwhile = server.IsAccepting();
    }
    // Checked once the descriptors are back: a failed check prints through a stream that needs one.
    EXPECT_TRUE(acceptingMeanwhile);
    for (size_t i = 0; i < clients.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(started[i].Ok() || started[i].Is(EOsErrorClass::InProgress)) << started[i].Number();
        ASSERT_EQ(PollWritable(clients[i].Get(), 5000), PollResult::Ready);
        SendString(clients[i].Get(), "waited\r\n");
        EXPECT_EQ(ReadUntilClosed(clients[i].Get()), kConnectSuccessfulText);
    }
    EXPECT_TRUE(server.IsAccepting());
}

TEST_F(TcpServerTest, StopEndsAcceptingButLetsRunningSessionsFinish) {
    CEvent release(true);
    CTestServer server([&] { return std::make_unique<CHoldSession>(release); });
    ASSERT_EQ(server.ListenAndAccept(), 0);
    CSocketFd held = Connect(server.GetPort());
    ASSERT_TRUE(WaitUntil([&] { return server.GetActiveCount() == 1; }));

    EXPECT_EQ(server.Stop(), 0) << "the wake-up connection released the accept thread";
    EXPECT_FALSE(server.IsAccepting());
    CSocketFd late = Connect(server.GetPort()); // may still land in the backlog, but nobody serves it
    EXPECT_EQ(server.GetActiveCount(), 1);

    SendString(held.Get(), "still here");
    release.Set();
    EXPECT_EQ(ReadUntilClosed(held.Get()), "served:still here");
    EXPECT_TRUE(server.WaitForSessions(5000));
    EXPECT_EQ(server.m_Destroyed, 1);
}

// A server class that leaves the waiting to the base destructor still gets every session ended and deleted.
TEST_F(TcpServerTest, DestructorSetsGoingOfflineAndWaitsForEverySession) {
    class COfflineSession : public CTcpSession {
    public:
        explicit COfflineSession(std::atomic<int>& deleted) : m_Deleted(deleted) {}
        ~COfflineSession() override { ++m_Deleted; }
        void Run() override {
            SendText("ready");
            while (!Server()->m_bGoingOffline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            SendText(" bye");
        }

    private:
        std::atomic<int>& m_Deleted;
    };
    class CPlainServer : public CTcpServer {
    public:
        explicit CPlainServer(std::atomic<int>& deleted) : m_Deleted(deleted) {}

    protected:
        std::unique_ptr<CTcpSession> CreateSession() override { return std::make_unique<COfflineSession>(m_Deleted); }
        void DestroySession(std::unique_ptr<CTcpSession> session) override { session.reset(); }
        std::atomic<int>& m_Deleted;
    };

    std::atomic<int> deleted{0};
    const int threadsBefore = Threads();
    auto server = std::make_unique<CPlainServer>(deleted);
    ASSERT_EQ(server->Listen(0), 0);
    ASSERT_EQ(server->StartAccept(), 0);
    CSocketFd a = Connect(server->GetPort());
    CSocketFd b = Connect(server->GetPort());
    char ready[5];
    ASSERT_EQ(PollReadable(a.Get(), 5000), PollResult::Ready);
    ASSERT_EQ(RecvSome(a.Get(), ready, sizeof ready), 5);
    ASSERT_EQ(PollReadable(b.Get(), 5000), PollResult::Ready);
    ASSERT_EQ(RecvSome(b.Get(), ready, sizeof ready), 5);
    server.reset();
    EXPECT_EQ(deleted, 2);
    EXPECT_EQ(ReadUntilClosed(a.Get()), " bye");
    EXPECT_EQ(ReadUntilClosed(b.Get()), " bye");
    EXPECT_TRUE(WaitForThreadCount(threadsBefore)) << Threads() << " threads, " << threadsBefore << " before";
}

TEST(TcpSessionTest, ReadLineStopsAfterCrLfAndLeavesTheRestUnread) {
    CTestClock clock;
    CScopedClock scoped(clock);
    CClockPump pump(clock, 100); // lets the one-second waits end when no more data comes
    struct Case {
        std::string input;
        int size;
        int result;
        std::string line;
        std::string left;
    } cases[] = {
        {"AB\r\nCD", 100, 4, "AB\r\n", "CD"},
        {"A\rB\r\nC", 100, 5, "A\rB\r\n", "C"},
        {"\r\n\r\n", 100, 2, "\r\n", "\r\n"},
        {"ABCDEF", 4, 3, "ABC", "DEF"},
        {"AB", 100, 2, "AB", ""}, // no line end: what came before the wait ran out
        {"", 100, 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        CLoopbackPair pair;
        if (!c.input.empty()) {
            SendString(pair.m_Client.Get(), c.input);
        }
        ASSERT_TRUE(WaitUntil([&] { return BytesReadable(pair.m_Server.Get()) == static_cast<long>(c.input.size()); }));
        char line[100];
        EXPECT_EQ(pair.m_Session.ReadLine(line, c.size, 1), c.result);
        EXPECT_EQ(std::string(line), c.line);
        EXPECT_EQ(pair.Leftover(), c.left);
    }
}

TEST(TcpSessionTest, ReadLineFindsALineEndSplitBetweenTwoReads) {
    CLoopbackPair pair;
    std::thread writer([&] {
        SendString(pair.m_Client.Get(), "AB\r");
        // Only once the reader has taken the CR does the LF follow.
        WaitUntil([&] { return BytesReadable(pair.m_Server.Get()) == 0; });
        SendString(pair.m_Client.Get(), "\nCD");
        ::shutdown(pair.m_Client.Get(), SHUT_WR); // a reader that missed the line end stops here, not never
    });
    char line[100];
    EXPECT_EQ(pair.m_Session.ReadLine(line, sizeof line, 0), 4);
    writer.join();
    EXPECT_STREQ(line, "AB\r\n");
    ASSERT_TRUE(WaitUntil([&] { return BytesReadable(pair.m_Server.Get()) == 2; }));
    EXPECT_EQ(pair.Leftover(), "CD");
}

TEST(TcpSessionTest, ReceiveTimedWaitsOnTheClockSeam) {
    CTestClock clock;
    CScopedClock scoped(clock);
    CLoopbackPair pair;
    char buffer[16];
    {
        CClockPump pump(clock, 60000);
        EXPECT_EQ(pair.m_Session.ReceiveTimed(buffer, sizeof buffer, 3600), 0); // an hour of silence
        EXPECT_TRUE(pair.m_Session.WaitReadable(30, 0));
    }
    SendString(pair.m_Client.Get(), "hi");
    EXPECT_FALSE(pair.m_Session.WaitReadable(1, 0));
    EXPECT_EQ(pair.m_Session.ReceiveTimed(buffer, sizeof buffer, 1), 2);
    EXPECT_FALSE(pair.m_Session.WaitWritable(0, 0));
}

TEST(TcpSessionTest, IsConnectedTurnsFalseOnlyWhenThePeerHasGone) {
    {
        CLoopbackPair pair;
        EXPECT_TRUE(pair.m_Session.IsConnected());
        SendString(pair.m_Client.Get(), "x");
        ASSERT_TRUE(WaitUntil([&] { return pair.m_Session.BytesAvailable(); }));
        EXPECT_TRUE(pair.m_Session.IsConnected());
        pair.m_Client.Close();
        EXPECT_TRUE(pair.m_Session.IsConnected()) << "unread input is still there";
        EXPECT_EQ(pair.m_Session.DrainInput(), 0);
        EXPECT_TRUE(WaitUntil([&] { return !pair.m_Session.IsConnected(); }));
    }
    {
        CLoopbackPair pair;
        ASSERT_EQ(pair.m_Session.SetNonBlocking(true), 0);
        ResetConnection(pair.m_Client);
        EXPECT_TRUE(WaitUntil([&] { return !pair.m_Session.IsConnected(); }));
        EXPECT_TRUE(pair.m_Session.IsNonBlocking());
        // A vanished peer is an error result, never a SIGPIPE.
        EXPECT_EQ(pair.m_Session.SendText("late"), -1);
    }
    CTcpSession unattached;
    EXPECT_FALSE(unattached.IsConnected());
}

TEST(TcpSessionTest, SendLinesCutsTheTextIntoCrLfLines) {
    struct Case {
        std::string text;
        int length;
        int chunk;
        int result;
        std::string sent;
    } cases[] = {
        {"ABCDE", 0, 2, 11, "AB\r\nCD\r\nE\r\n"},
        {"ABCDE", 3, 2, 7, "AB\r\nC\r\n"},
        {"ABCDE", 99, 5, 7, "ABCDE\r\n"}, // a length past the text is the text
        {"ABCDE", 0, 0, -1, ""},
        {"", 0, 3, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + "/" + std::to_string(c.length) + "/" + std::to_string(c.chunk));
        CLoopbackPair pair;
        EXPECT_EQ(pair.m_Session.SendLines(c.text, c.length, c.chunk), c.result);
        pair.m_Server.Close();
        EXPECT_EQ(ReadUntilClosed(pair.m_Client.Get()), c.sent);
    }
}

TEST(TcpSessionTest, SendTakesTheTextLengthForANegativeLength) {
    CLoopbackPair pair;
    EXPECT_EQ(pair.m_Session.Send("hello", -1, 0), 5);
    EXPECT_EQ(pair.m_Session.Send("hello", 2, 0), 2);
    EXPECT_EQ(pair.m_Session.Send(nullptr, -1, 0), -1);
    pair.m_Server.Close();
    EXPECT_EQ(ReadUntilClosed(pair.m_Client.Get()), "hellohe");
}

TEST_F(TcpServerTest, FileTransfersMoveEveryByteAndReportTheirResults) {
    std::string content;
    for (int i = 0; i < 1000; ++i) {
        content += static_cast<char>(i * 7);
    }
    WriteFileBytes("out.bin", content);
    {
        CLoopbackPair pair;
        uint64_t total = 99;
        EXPECT_EQ(pair.m_Session.SendFile("out.bin", total), 0);
        EXPECT_EQ(total, 1000u);
        EXPECT_EQ(pair.m_Session.SendFile("missing.bin", total), 1);
        pair.m_Server.Close();
        EXPECT_EQ(ReadUntilClosed(pair.m_Client.Get()), content);
    }
    {
        CLoopbackPair pair;
        SendString(pair.m_Client.Get(), content.substr(0, 600));
        ::shutdown(pair.m_Client.Get(), SHUT_WR);
        uint64_t total = 0;
        EXPECT_EQ(pair.m_Session.ReceiveFile("in.bin", 1, total, 5), 0);
        EXPECT_EQ(total, 600u);
        EXPECT_EQ(ReadFileBytes("in.bin"), content.substr(0, 600));
        EXPECT_EQ(pair.m_Session.ReceiveFile("in.bin", 3, total, 5), 1);
        EXPECT_EQ(pair.m_Session.ReceiveFile("no/such/folder/in.bin", 1, total, 5), 2);
    }
    {
        CLoopbackPair pair;
        SendString(pair.m_Client.Get(), "tail");
        ::shutdown(pair.m_Client.Get(), SHUT_WR);
        uint64_t total = 0;
        EXPECT_EQ(pair.m_Session.ReceiveFile("in.bin", 2, total, 5), 0);
        EXPECT_EQ(ReadFileBytes("in.bin"), content.substr(0, 600) + "tail");
    }
    {
        class CStopAfterOne : public CTcpSession {
        public:
            bool OnReceiveProgress(uint64_t) override { return false; }
        };
        CLoopbackPair pair;
        CStopAfterOne session;
        session.Attach(pair.m_Server.Get(), {}, -1, nullptr);
        SendString(pair.m_Client.Get(), "data");
        uint64_t total = 0;
        EXPECT_EQ(session.ReceiveFile("stopped.bin", 1, total, 5), 6);
        EXPECT_EQ(total, 4u);
    }
    {
        CTestClock clock;
        CScopedClock scoped(clock);
        CClockPump pump(clock, 1000);
        CLoopbackPair pair;
        uint64_t total = 0;
        EXPECT_EQ(pair.m_Session.ReceiveFile("silent.bin", 1, total, 30), 3);
    }
}

TEST(TcpSessionTest, TokenHelpersCountOnlyNonEmptyTokens) {
    struct Case {
        std::string text;
        int index;
        size_t size;
        int result;
        std::string token;
    } cases[] = {
        {"a,,b", 1, 10, 0, "b"}, {"a,,b", 0, 10, 0, "a"}, {"a,,b", 2, 10, 1, ""}, {",,a,", 0, 10, 0, "a"},
        {"abc", 0, 4, 0, "abc"}, {"abc", 0, 3, 1, ""},    {"", 0, 10, 1, ""},     {"a", -1, 10, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + "#" + std::to_string(c.index));
        char token[10] = "junk";
        EXPECT_EQ(CTcpSession::GetToken(c.text, ",", c.index, token, c.size), c.result);
        EXPECT_EQ(std::string(token), c.token);
    }
    EXPECT_EQ(CTcpSession::CountTokens("a,,b", ","), 2);
    EXPECT_EQ(CTcpSession::CountTokens(",,,", ","), 0);
    EXPECT_EQ(CTcpSession::CountTokens("x y;z", " ;"), 3);
    EXPECT_EQ(CTcpSession::GetTokenLong("PORT 9100 now", " ", 1), 9100);
    EXPECT_EQ(CTcpSession::GetTokenLong("PORT -42", " ", 1), -42);
    EXPECT_EQ(CTcpSession::GetTokenLong("PORT", " ", 1), 0);
    EXPECT_EQ(CTcpSession::GetTokenLong(std::string(60, '1'), " ", 0), 0) << "longer than 59 characters";
    EXPECT_EQ(CTcpSession::GetTokenLong("99999999999999999999999", " ", 0), LONG_MAX);
}

TEST(TcpSessionTest, TrimLineEndCutsOneTrailingLineEnd) {
    struct Case {
        std::string text;
        std::string trimmed;
    } cases[] = {
        {"AB\r\n", "AB"}, {"\n", ""},   {"AB\r", "AB"}, {"AB\n", "AB"},
        {"AB\n\n", "AB"}, {"AB", "AB"}, {"", ""},       {"AB\rX", "AB\rX"}, // a CR inside the text is not a line end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        std::string text = c.text;
        EXPECT_EQ(CTcpSession::TrimLineEnd(text), c.trimmed.size());
        EXPECT_EQ(text, c.trimmed);
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%s", c.text.c_str());
        EXPECT_EQ(CTcpSession::TrimLineEnd(buffer), c.trimmed.size());
        EXPECT_EQ(std::string(buffer), c.trimmed);
    }
}

TEST(TcpSessionTest, AddressHelpersReportFitAndLookupFailures) {
    char name[256];
    ASSERT_EQ(CTcpSession::HostNameOfAddress("127.0.0.1", name, sizeof name), 0);
    char address[16];
    EXPECT_EQ(CTcpSession::AddressOfHost(std::string("user@") + name, address, sizeof address), 0);
    EXPECT_STREQ(address, "127.0.0.1");
    EXPECT_EQ(CTcpSession::AddressOfHost("127.0.0.1", address, 9), 1) << "no room for the terminating zero";
    EXPECT_EQ(CTcpSession::AddressOfHost("127.0.0.1", address, 10), 0);
    EXPECT_EQ(CTcpSession::HostNameOfAddress("not an address", name, sizeof name), 2);
    EXPECT_EQ(CTcpSession::HostNameOfAddress("127.0.0.1", name, 1), 1);

    CLoopbackPair pair;
    EXPECT_EQ(pair.m_Session.PeerAddress(), "127.0.0.1");
    EXPECT_EQ(pair.m_Session.GetPeerAddressText(address, sizeof address), 0);
    EXPECT_STREQ(address, "127.0.0.1");
    EXPECT_EQ(pair.m_Session.GetPeerAddressText(address, 5), 1);
    EXPECT_EQ(pair.m_Session.GetPeerHostName(name, sizeof name), 0);
    CTcpSession unattached;
    EXPECT_EQ(unattached.GetPeerAddressText(address, sizeof address), 2);
    EXPECT_EQ(unattached.GetPeerHostName(name, sizeof name), 2);
    EXPECT_EQ(unattached.PeerAddress(), "");
}

TEST(TcpSessionTest, SocketOptionsAreSetAndRead) {
    CLoopbackPair pair;
    EXPECT_EQ(pair.m_Session.SetReceiveTimeout(250), 0);
    EXPECT_EQ(pair.m_Session.SetSendTimeout(250), 0);
    EXPECT_EQ(pair.m_Session.SetSendBufferSize(64 * 1024), 0);
    EXPECT_GE(pair.m_Session.GetSendBufferSize(), 64 * 1024);
    EXPECT_GT(pair.m_Session.GetReceiveBufferSize(), 0);
    CTcpSession unattached;
    EXPECT_EQ(unattached.GetSendBufferSize(), 0);
    EXPECT_EQ(unattached.SetNonBlocking(true), -1);
}
