#include "kxlib/kxNamedPipeServer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "platform/LocalSocket.h"

namespace {

// Replies "<request length>:<request>", or holds the reply back while |g_HoldReply| is set.
std::atomic<bool> g_HoldReply{false};
std::atomic<int> g_Calls{0};

void EchoCallback(uintptr_t userData, const char* request, char* reply, size_t replySize) {
    ++g_Calls;
    while (g_HoldReply) {
        std::this_thread::yield();
    }
    if (std::strcmp(request, "user") == 0) {
        std::snprintf(reply, replySize, "%lu", static_cast<unsigned long>(userData));
        return;
    }
    if (std::strcmp(request, "empty") == 0) {
        return;
    }
    std::snprintf(reply, replySize, "%zu:%s", std::strlen(request), request);
}

// One client connection. Every wait is bounded, so a server fault fails the test instead of hanging it.
class CClient {
public:
    explicit CClient(const kxString& path) : m_Fd(ConnectLocalSeqPacket(path.Str())) {}
    bool Connected() const { return m_Fd.Valid(); }
    bool Send(const std::string& request) {
        return SendMessage(m_Fd.Get(), request.data(), request.size(), false) == static_cast<long>(request.size());
    }
    // The next message as received (its NUL included); "<closed>" when the server closed the connection.
    std::string Receive() {
        if (PollReadable(m_Fd.Get(), 10000) != PollResult::Ready) {
            return "<timeout>";
        }
        char buffer[8192];
        bool truncated = false;
        const long n = ReceiveMessage(m_Fd.Get(), buffer, sizeof buffer, &truncated, false);
        return n <= 0 ? std::string("<closed>") : std::string(buffer, static_cast<size_t>(n));
    }
    std::string Ask(const std::string& request) { return Send(request) ? Receive() : "<send failed>"; }
    void Close() { m_Fd.Close(); }

private:
    CSocketFd m_Fd;
};

std::string Reply(const std::string& text) {
    return text + std::string(1, '\0');
}

class kxNamedPipeServerTest : public TempDirTest {
protected:
    void SetUp() override {
        g_HoldReply = false;
        g_Calls = 0;
    }
    void TearDown() override { Stop(); }

    // Runs a server for |name| on its own thread and waits until it takes connections.
    void Start(bool secure = false, const kxString& name = "CJBA_CorvaneAppDirectory") {
        m_Path = kxNamedPipeServer::SocketPath(name);
        m_Server = std::make_unique<kxNamedPipeServer>(m_Stop, name, secure);
        m_Server->SetCallback(EchoCallback);
        m_Server->SetUserData(4711);
        m_Thread = std::thread([this] { m_Result = m_Server->Run() ? 1 : 0; });
        ASSERT_TRUE(WaitUntil([this] { return CClient(m_Path).Connected(); }));
    }
    // Sets the stop event and waits for Run; its result.
    int Stop() {
        m_Stop.Set();
        if (m_Thread.joinable()) {
            m_Thread.join();
        }
        return m_Result;
    }

    CScopedEnvironmentVariable m_Folder{kxNamedPipeServer::kFolderVariable, m_TempDir.Path().c_str()};
    CPollableEvent m_Stop;
    std::unique_ptr<kxNamedPipeServer> m_Server;
    std::thread m_Thread;
    std::atomic<int> m_Result{-1};
    kxString m_Path;
};

} // namespace

TEST_F(kxNamedPipeServerTest, SocketPathLiesInThePipeFolderAndFitsTheAddress) {
    EXPECT_EQ(kxNamedPipeServer::SocketPath("abc"), m_TempDir.Path().string() + "/abc");
    EXPECT_EQ(kxNamedPipeServer::SocketPath(""), "");
    const kxString longPath = kxNamedPipeServer::SocketPath(kxString(300, 'x'));
    EXPECT_EQ(longPath.Length(), MaxLocalSocketPath());
    {
        CScopedEnvironmentVariable other(kxNamedPipeServer::kFolderVariable, "/run/somewhere/");
        EXPECT_EQ(kxNamedPipeServer::Folder(), "/run/somewhere");
    }
    CScopedEnvironmentVariable none(kxNamedPipeServer::kFolderVariable, nullptr);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(kxNamedPipeServer::Folder(), runtime != nullptr && *runtime != '\0' ? runtime : "/tmp");
}

TEST_F(kxNamedPipeServerTest, SeveralClientsAtOnceEachGetTheirOwnReplies) {
    Start();
    std::vector<std::unique_ptr<CClient>> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(std::make_unique<CClient>(m_Path));
        ASSERT_TRUE(clients.back()->Connected());
    }
    // All requests are in before any reply is read, so the server holds five connections at once.
    for (size_t i = 0; i < clients.size(); ++i) {
        ASSERT_TRUE(clients[i]->Send("client " + std::to_string(i)));
    }
    for (size_t i = clients.size(); i-- > 0;) {
        EXPECT_EQ(clients[i]->Receive(), Reply("8:client " + std::to_string(i)));
    }
    EXPECT_EQ(clients[0]->Ask("user"), Reply("4711"));
    EXPECT_EQ(Stop(), 1);
}

TEST_F(kxNamedPipeServerTest, SeveralRequestsOnOneConnectionAreAnsweredInOrderWithoutStaleTails) {
    Start();
    CClient client(m_Path);
    // A shorter request after a longer one must not carry the longer one's tail.
    EXPECT_EQ(client.Ask("COMMAND\x1e"
                         "APP CAPTION"),
              Reply("19:COMMAND\x1e"
                    "APP CAPTION"));
    EXPECT_EQ(client.Ask("abc"), Reply("3:abc"));
    // An empty reply still sends one byte, the NUL.
    EXPECT_EQ(client.Ask("empty"), Reply(""));
    // Requests sent back to back are answered one by one, in order.
    ASSERT_TRUE(client.Send("one"));
    ASSERT_TRUE(client.Send("two"));
    EXPECT_EQ(client.Receive(), Reply("3:one"));
    EXPECT_EQ(client.Receive(), Reply("3:two"));
    // The request text ends at its first NUL.
    EXPECT_EQ(client.Ask(std::string("ab\0cd", 5)), Reply("2:ab"));
}

TEST_F(kxNamedPipeServerTest, FullSizeRequestIsServedAndLongerOneDropsOnlyItsClient) {
    Start();
    CClient bystander(m_Path);
    CClient client(m_Path);
    const std::string full(kxNamedPipeServer::kMessageSize, 'r');
    const std::string reply = client.Ask(full);
    // The reply is cut to 4095 characters and its NUL: "4096:" and the start of the request.
    ASSERT_EQ(reply.size(), kxNamedPipeServer::kMessageSize);
    EXPECT_EQ(reply.substr(0, 6), "4096:r");
    EXPECT_EQ(reply.back(), '\0');

    EXPECT_EQ(client.Ask(full + "r"), "<closed>");
    EXPECT_EQ(bystander.Ask("still"), Reply("5:still"));
    CClient next(m_Path);
    EXPECT_EQ(next.Ask("new"), Reply("3:new"));
}

TEST_F(kxNamedPipeServerTest, ClientVanishingBeforeItsReplyLeavesTheServerServing) {
    Start();
    {
        CClient leaver(m_Path);
        g_HoldReply = true;
        ASSERT_TRUE(leaver.Send("going"));
        ASSERT_TRUE(WaitUntil([] { return g_Calls == 1; }));
        leaver.Close(); // gone while the callback works: the reply meets a closed socket (no SIGPIPE)
        g_HoldReply = false;
    }
    CClient other(m_Path);
    EXPECT_EQ(other.Ask("after"), Reply("5:after"));
    EXPECT_EQ(Stop(), 1);
}

TEST_F(kxNamedPipeServerTest, StopWithClientsConnectedClosesThemAndRemovesTheSocket) {
    const int descriptorsBefore = CountEntries("/proc/self/fd");
    Start();
    CClient idle(m_Path);
    CClient busy(m_Path);
    // Both are served once, so both are the server's connections, not waiting in its backlog.
    ASSERT_EQ(idle.Ask("first"), Reply("5:first"));
    ASSERT_EQ(busy.Ask("hello"), Reply("5:hello"));
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(idle.Receive(), "<closed>");
    EXPECT_EQ(busy.Receive(), "<closed>");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(m_Path.Str())));
    idle.Close();
    busy.Close();
    m_Server.reset();
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptorsBefore);
}

TEST_F(kxNamedPipeServerTest, SecureFlagOpensTheSocketToEveryone) {
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        m_Stop.Reset();
        Start(secure);
        struct stat info {};
        ASSERT_EQ(::stat(m_Path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, secure ? 0666u : 0600u);
        EXPECT_EQ(Stop(), 1);
    }
}

TEST_F(kxNamedPipeServerTest, StaleSocketOfADeadServerIsReplaced) {
    const kxString path = kxNamedPipeServer::SocketPath("CJBA_CorvaneAppDirectory");
    {
        // A server that died without cleaning up leaves its socket file and nobody listening on it.
        CSocketFd dead(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(dead.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ASSERT_TRUE(std::filesystem::is_socket(path.Str()));
    Start();
    CClient client(m_Path);
    EXPECT_EQ(client.Ask("alive"), Reply("5:alive"));
}

TEST_F(kxNamedPipeServerTest, NameHeldByALiveServerEndsRunWithFalseAndLeavesItServing) {
    Start();
    CPollableEvent otherStop;
    kxNamedPipeServer other(otherStop, "CJBA_CorvaneAppDirectory", false);
    EXPECT_FALSE(other.Run());
    CClient client(m_Path);
    EXPECT_EQ(client.Ask("first"), Reply("5:first"));

    // Something that is not a socket is never removed to make room.
    WriteFileBytes("plain", "data");
    kxNamedPipeServer squatter(otherStop, "plain", false);
    EXPECT_FALSE(squatter.Run());
    EXPECT_EQ(ReadFileBytes("plain"), "data");
}

TEST_F(kxNamedPipeServerTest, StopEventAlreadySetEndsRunAtOnce) {
    m_Stop.Set();
    kxNamedPipeServer server(m_Stop, "early", false);
    EXPECT_TRUE(server.Run());
    EXPECT_FALSE(std::filesystem::exists(kxNamedPipeServer::SocketPath("early").Str()));
}
