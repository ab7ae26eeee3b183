// The launcher pipe's thread on a real socket in a temporary pipe folder: it serves, its exit code tells an
// orderly end from a name it could not serve, a Start while it runs keeps the one thread, its stop closes the
// clients and removes the socket file, and a thread that cannot be made is reported. Then the whole link
// (CLauncherPipePart) answering from the launcher copy, and stopped while a snapshot request waits.

#include "app/PipeServerThread.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>

#include <gtest/gtest.h>

#include "app/InterfaceAdapters.h"
#include "app/LauncherViewCopy.h"
#include "common/ScopedEnvironment.h"
#include "common/TempDirTest.h"
#include "common/Wait.h"
#include "peers/LauncherClient.h"
#include "platform/Event.h"
#include "platform/LocalSocket.h"

namespace {

const char kPipeName[] = "CJBA_CorvaneAppDirectory";

// Answers with the owner and notes the threads it was called on.
std::mutex g_ThreadsLock;
std::set<std::thread::id> g_Threads;

void OwnerCallback(uintptr_t owner, const char* request, char* reply, size_t replySize) {
    {
        std::lock_guard<std::mutex> guard(g_ThreadsLock);
        g_Threads.insert(std::this_thread::get_id());
    }
    std::snprintf(reply, replySize, "%lu:%s", static_cast<unsigned long>(owner), request);
}

class PipeServerThreadTest : public TempDirTest {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> guard(g_ThreadsLock);
        g_Threads.clear();
        m_Thread.SetOwner(42);
        m_Thread.SetCallback(OwnerCallback);
    }

    std::string SocketPath() const { return (m_TempDir.Path() / kPipeName).string(); }

    // A client connected to the pipe once the thread listens.
    bool Connect(CLauncherClient& client) {
        return WaitUntil([&] { return client.ConnectPath(SocketPath()); });
    }

    std::string Ask(CLauncherClient& client, const std::string& request) {
        std::string reply;
        EXPECT_TRUE(client.SendRaw(request + '\0')) << client.LastError();
        EXPECT_TRUE(client.ReceiveRaw(&reply)) << client.LastError();
        return reply;
    }

    // A new client's request is answered with the owner and the request.
    void ExpectServes(const std::string& request) {
        CLauncherClient client;
        ASSERT_TRUE(Connect(client));
        EXPECT_EQ("42:" + request + '\0', Ask(client, request));
    }

    CScopedEnvironmentVariable m_PipeFolder{"KESTROVE_PIPE_DIR", m_TempDir.Path().c_str()};
    PipeServerThread m_Thread;
};

TEST_F(PipeServerThreadTest, ServesWithItsOwnerAndEndsInOrder) {
    ASSERT_TRUE(m_Thread.Start(kxString(kPipeName)));
    ExpectServes("hello");
    EXPECT_TRUE(m_Thread.IsRunning());
    EXPECT_TRUE(m_Thread.Stop());
    EXPECT_FALSE(m_Thread.IsRunning());
}

TEST_F(PipeServerThreadTest, StopEndsItsClientsAndRemovesTheSocketFile) {
    ASSERT_TRUE(m_Thread.Start(kxString(kPipeName)));
    CLauncherClient first;
    CLauncherClient second;
    ASSERT_TRUE(Connect(first));
    ASSERT_TRUE(Connect(second));
    Ask(first, "one");
    Ask(second, "two");
    ASSERT_TRUE(std::filesystem::exists(SocketPath()));
    EXPECT_TRUE(m_Thread.Stop());
    EXPECT_TRUE(first.WaitForClose(10000));
    EXPECT_TRUE(second.WaitForClose(10000));
    EXPECT_FALSE(std::filesystem::exists(SocketPath()));
}

TEST_F(PipeServerThreadTest, StartWhileItServesKeepsTheOneThread) {
    ASSERT_TRUE(m_Thread.Start(kxString(kPipeName)));
    CLauncherClient client;
    ASSERT_TRUE(Connect(client));
    Ask(client, "before");
    const int threads = CountEntries("/proc/self/task");
    for (int restart = 0; restart < 3; ++restart) {
        EXPECT_TRUE(m_Thread.Start(kxString(kPipeName)));
    }
    EXPECT_EQ(threads, CountEntries("/proc/self/task"));
    // The same connection, on the same thread: nothing was replaced.
    EXPECT_EQ(std::string("42:after\0", 9), Ask(client, "after"));
    {
        std::lock_guard<std::mutex> guard(g_ThreadsLock);
        EXPECT_EQ(1u, g_Threads.size());
    }
    // Once stopped, a start makes a new thread that serves again.
    EXPECT_TRUE(m_Thread.Stop());
    ASSERT_TRUE(m_Thread.Start(kxString(kPipeName)));
    ExpectServes("again");
    EXPECT_TRUE(m_Thread.Stop());
}

TEST_F(PipeServerThreadTest, ANameServedByAnotherFailsTheStartWithTheReasonAndALaterStartServes) {
    CLocalListener other;
    ASSERT_EQ(ELocalListenResult::Listening, other.Listen(SocketPath(), 0600, 4));
    const int threads = CountEntries("/proc/self/task");
    EXPECT_FALSE(m_Thread.Start(kxString(kPipeName)));
    EXPECT_EQ(EADDRINUSE, m_Thread.GetLastErrorCode());
    EXPECT_EQ("The pipe " + SocketPath() + " is held by a live process.", m_Thread.GetLastErrorText());
    EXPECT_FALSE(m_Thread.IsRunning());
    EXPECT_TRUE(WaitForThreadCount(threads)); // its thread has ended
    EXPECT_FALSE(m_Thread.Stop());

    other.Close();
    ASSERT_TRUE(m_Thread.Start(kxString(kPipeName)));
    ExpectServes("mine");
    EXPECT_TRUE(m_Thread.Stop());
}

TEST_F(PipeServerThreadTest, StopWithoutStartAndAThreadThatCannotBeMade) {
    EXPECT_FALSE(m_Thread.Stop());
    CWorkerThread::FailNextStartsForTesting(1);
    EXPECT_FALSE(m_Thread.Start(kxString(kPipeName)));
    EXPECT_NE(0, m_Thread.GetLastErrorCode());
    EXPECT_FALSE(m_Thread.IsRunning());
    EXPECT_FALSE(m_Thread.Stop());
    EXPECT_FALSE(std::filesystem::exists(SocketPath()));
}

TEST_F(PipeServerThreadTest, TheDestructorStopsAThreadThatServes) {
    {
        PipeServerThread thread;
        ASSERT_TRUE(thread.Start(kxString(kPipeName)));
        ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(SocketPath()); }));
    }
    EXPECT_FALSE(std::filesystem::exists(SocketPath()));
}

class LauncherPipePartTest : public TempDirTest {
protected:
    CScopedEnvironmentVariable m_PipeFolder{"KESTROVE_PIPE_DIR", m_TempDir.Path().c_str()};
    CLauncherViewCopy m_View;
    CLauncherPipePart m_Pipe{m_View};
};

TEST_F(LauncherPipePartTest, AnswersTheLauncherFromTheCopyOnASocketEveryoneMayUse) {
    m_View.SetCaption("Kestrove (RuvuzUvir)      OFFLINE       OFFLINE");
    ASSERT_TRUE(m_Pipe.Start(kPipeName));
    const std::string path = (m_TempDir.Path() / kPipeName).string();
    CLauncherClient client;
    ASSERT_TRUE(WaitUntil([&] { return client.ConnectPath(path); }));
    std::string reply;
    ASSERT_TRUE(client.Ask("APP CAPTION", &reply)) << client.LastError();
    EXPECT_EQ("Kestrove (RuvuzUvir)      OFFLINE       OFFLINE", reply);
    ASSERT_TRUE(client.Ask("APP NAME", &reply)) << client.LastError();
    EXPECT_EQ("Kestrove 5.00 for RuvuzUvir", reply);
    struct stat info {};
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(0666u, info.st_mode & 0777u);
    m_Pipe.Stop();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(LauncherPipePartTest, AStopWhileASnapshotRequestWaitsEndsAtOnce) {
    // A window that never gets round to its queue, as one blocked in the shut-down.
    CEvent asked{true};
    m_View.ConnectWindow([&](std::function<void()> /*work*/) { asked.Set(); }, [] { return std::string("never"); });
    m_View.SetSnapshotWaitMs(kInfinite - 1);
    ASSERT_TRUE(m_Pipe.Start(kPipeName));
    CLauncherClient client;
    ASSERT_TRUE(WaitUntil([&] { return client.ConnectPath((m_TempDir.Path() / kPipeName).string()); }));
    ASSERT_TRUE(client.SendRaw(std::string("COMMAND\x1E") + "APP SETTINGS FORM" + '\0'));
    ASSERT_TRUE(asked.Wait(10000)); // the pipe thread waits for the window now
    m_Pipe.Stop();
    EXPECT_FALSE(m_Pipe.IsRunning());
    // The request is answered or the connection closed; either way the client is not left waiting.
    std::string message;
    if (client.ReceiveRaw(&message, 10000)) {
        EXPECT_EQ(std::string("ERROR\x1E"
                              "Failed to create dialog window.") +
                      '\0',
                  message);
    }
    EXPECT_TRUE(client.WaitForClose(10000));
    m_View.DisconnectWindow();
}

} // namespace
