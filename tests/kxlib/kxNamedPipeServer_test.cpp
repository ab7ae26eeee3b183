#include "kxlib/kxNamedPipeServer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "common/DescriptorExhaustion.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "platform/LocalSocket.h"
#include "platform/TextFormat.h"

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

// The address of the socket file |path|.
sockaddr_un AddressOf(const kxString& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// What a server that died without cleaning up leaves: its socket file, and nobody listening on it.
bool LeaveDeadSocket(const kxString& path) {
    CSocketFd dead(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
    const sockaddr_un address = AddressOf(path);
    return ::bind(dead.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The user "nobody", whom the tests give a socket or run a server as.
constexpr uid_t kOtherUser = 65534;

// The names in |folder|, sorted.
std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

double CpuSeconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// What |body| returns, run in a child process as kOtherUser (as the user it is when not root).
std::string InChildAsAnotherUser(const std::function<std::string()>& body) {
    int report[2];
    if (::pipe(report) != 0) {
        return "<no pipe>";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
                                 ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0)) {
            ::_exit(1);
        }
        const std::string text = body();
        const bool written = ::write(report[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(report[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n = ::read(report[0], buffer, sizeof buffer); n > 0; n = ::read(report[0], buffer, sizeof buffer)) {
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "<child failed>";
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
    ASSERT_TRUE(LeaveDeadSocket(path));
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
    EXPECT_EQ(other.GetLastErrorCode(), EADDRINUSE);
    EXPECT_EQ(other.GetLastErrorText().Str(), "The pipe " + m_Path.Str() + " is held by a live process.");
    CClient client(m_Path);
    EXPECT_EQ(client.Ask("first"), Reply("5:first"));

    // Something that is not a socket is never removed to make room.
    WriteFileBytes("plain", "data");
    kxNamedPipeServer squatter(otherStop, "plain", false);
    EXPECT_FALSE(squatter.Run());
    EXPECT_EQ(squatter.GetLastErrorText().Str(), "The pipe name " + kxNamedPipeServer::SocketPath("plain").Str() +
                                                     " is taken by a file that is not a socket.");
    EXPECT_EQ(ReadFileBytes("plain"), "data");
}

TEST_F(kxNamedPipeServerTest, AServerThatCannotListenSaysWhy) {
    const std::string folder = m_TempDir.Path().string();
    WriteFileBytes("file", "");
    struct Case {
        const char* name;
        std::string pipeFolder;
        bool exhausted; // no descriptor left
        int code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"missing folder", folder + "/none", false, ENOENT, "The pipe folder " + folder + "/none does not exist."},
        {"folder is a file", folder + "/file", false, ENOTDIR, "The pipe folder " + folder + "/file is not a folder."},
        {"folder too long", folder + "/" + std::string(200, 'f'), false, ENAMETOOLONG,
         "The pipe folder " + folder + "/" + std::string(200, 'f') + " is too long for a socket name."},
        {"no descriptor", folder, true, EMFILE,
         "No descriptor or memory is left for the pipe " + folder + "/pipe (Too many open files)."},
    };
    CPollableEvent stop;
    for (const Case& c : cases) {
        CScopedEnvironmentVariable pipeFolder(kxNamedPipeServer::kFolderVariable, c.pipeFolder.c_str());
        kxNamedPipeServer server(stop, "pipe", false);
        bool listened = false;
        {
            std::unique_ptr<CDescriptorExhaustion> exhaustion;
            if (c.exhausted) {
                exhaustion = std::make_unique<CDescriptorExhaustion>();
                ASSERT_TRUE(exhaustion->Exhausted());
            }
            listened = server.Listen();
        }
        EXPECT_FALSE(listened) << c.name;
        EXPECT_EQ(server.GetLastErrorCode(), c.code) << c.name;
        EXPECT_EQ(server.GetLastErrorText().Str(), c.text) << c.name;
    }
    EXPECT_EQ(std::vector<std::string>({"file"}), FolderEntries(m_TempDir.Path()));
}

TEST_F(kxNamedPipeServerTest, AFolderTheServersUserCannotWriteIsReported) {
    // Root writes everywhere: the server runs in a child as another user.
    std::filesystem::permissions(m_TempDir.Path(), std::filesystem::perms(0755));
    const std::filesystem::path readOnly = m_TempDir.Path() / "readonly";
    std::filesystem::create_directory(readOnly);
    std::filesystem::permissions(readOnly, std::filesystem::perms(0555));
    CScopedEnvironmentVariable pipeFolder(kxNamedPipeServer::kFolderVariable, readOnly.c_str());
    CPollableEvent stop;
    kxNamedPipeServer server(stop, "pipe", false);
    const std::string text = InChildAsAnotherUser([&server] {
        server.Listen();
        return FormatText("%d %s", server.GetLastErrorCode(), server.GetLastErrorText().c_str());
    });
    EXPECT_EQ(text, FormatText("%d The pipe folder %s is not writable (Permission denied).", EACCES, readOnly.c_str()));
    EXPECT_TRUE(std::filesystem::is_empty(readOnly));
}

// The fall-back folder is shared by every user. A socket another user left there under our name, whether its
// server still runs or not, is theirs: reported, never replaced.
TEST_F(kxNamedPipeServerTest, InTmpANameHeldByAnotherUsersSocketIsReportedAndLeftToThem) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a socket to another user";
    }
    CScopedEnvironmentVariable noFolder(kxNamedPipeServer::kFolderVariable, nullptr);
    CScopedEnvironmentVariable noRuntime("XDG_RUNTIME_DIR", nullptr);
    const kxString name = FormatText("kxPipeTest%d_CorvaneAppDirectory", static_cast<int>(::getpid()));
    const kxString path = kxNamedPipeServer::SocketPath(name);
    ASSERT_EQ(path, "/tmp/" + name.Str());
    for (const bool live : {false, true}) {
        SCOPED_TRACE(live ? "live" : "stale");
        CLocalListener theirs;
        if (live) {
            ASSERT_EQ(theirs.Listen(path.Str(), 0666, 4), ELocalListenResult::Listening);
        } else {
            ASSERT_TRUE(LeaveDeadSocket(path));
        }
        ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0);
        CPollableEvent stop;
        kxNamedPipeServer server(stop, name, true);
        EXPECT_FALSE(server.Listen());
        EXPECT_EQ(server.GetLastErrorCode(), EADDRINUSE);
        EXPECT_EQ(server.GetLastErrorText().Str(),
                  FormatText("The pipe %s is held by a socket of another user (uid %d), "
                             "which is left as it is.",
                             path.c_str(), static_cast<int>(kOtherUser)));
        struct stat after {};
        ASSERT_EQ(::lstat(path.c_str(), &after), 0);
        EXPECT_TRUE(S_ISSOCK(after.st_mode));
        EXPECT_EQ(after.st_uid, kOtherUser);
        if (live) {
            EXPECT_TRUE(CClient(path).Connected()); // still theirs to serve
        }
        ::unlink(path.c_str());
    }
}

TEST_F(kxNamedPipeServerTest, OutOfDescriptorsTheServerBacksOffAndServesTheClientOnceOneIsFree) {
    Start();
    CClient first(m_Path);
    ASSERT_EQ(first.Ask("before"), Reply("6:before"));
    // The client's socket is made first; its connect needs no descriptor, the server's accept does.
    CSocketFd waiting(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(waiting.Valid());
    const sockaddr_un address = AddressOf(m_Path);
    clockid_t serverCpu{};
    ASSERT_EQ(::pthread_getcpuclockid(m_Thread.native_handle(), &serverCpu), 0);
    {
        CDescriptorExhaustion exhaustion(CDescriptorExhaustion::Way::FillUpToLimit);
        ASSERT_TRUE(exhaustion.Exhausted());
        ASSERT_EQ(::connect(waiting.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        const double cpuBefore = CpuSeconds(serverCpu);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        // A server spinning on the client it cannot accept burns the half second; one that backs off sleeps.
        EXPECT_LT(CpuSeconds(serverCpu) - cpuBefore, 0.05);
        // Those it serves already are served meanwhile.
        EXPECT_EQ(first.Ask("during"), Reply("6:during"));
    }
    const std::string request = "after";
    ASSERT_EQ(SendMessage(waiting.Get(), request.data(), request.size(), false), static_cast<long>(request.size()));
    ASSERT_EQ(PollReadable(waiting.Get(), 10000), PollResult::Ready);
    char reply[64];
    bool truncated = false;
    const long n = ReceiveMessage(waiting.Get(), reply, sizeof reply, &truncated, false);
    EXPECT_EQ(std::string(reply, n > 0 ? static_cast<size_t>(n) : 0), Reply("5:after"));
    EXPECT_EQ(Stop(), 1);
}

TEST_F(kxNamedPipeServerTest, StopEventAlreadySetEndsRunAtOnce) {
    m_Stop.Set();
    kxNamedPipeServer server(m_Stop, "early", false);
    EXPECT_TRUE(server.Run());
    EXPECT_FALSE(std::filesystem::exists(kxNamedPipeServer::SocketPath("early").Str()));
}
