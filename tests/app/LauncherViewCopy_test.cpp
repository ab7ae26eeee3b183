// The launcher pipe's copy of the window: the traffic lines trimmed as the list is, and the snapshot asked of
// the window's thread: answered, never answered (a bounded wait, and the late work makes nothing), cancelled
// by the pipe's stop at once, and waited for to its end once the window has begun it.

#include "app/LauncherViewCopy.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/Wait.h"
#include "kxlib/kxException.h"
#include "platform/Event.h"

namespace {

const std::string kNoDialog = "ERROR\x1E"
                              "Failed to create dialog window.";

// Stands in for the window's thread: work posted to it waits until the test runs it.
class CWindowQueue {
public:
    CLauncherViewCopy::PostToWindow Poster() {
        return [this](std::function<void()> work) {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Work.push_back(std::move(work));
        };
    }
    size_t Waiting() {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Work.size();
    }
    void RunAll() {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            work.swap(m_Work);
        }
        for (auto& w : work) {
            w();
        }
    }

private:
    std::mutex m_Lock;
    std::deque<std::function<void()>> m_Work;
};

// MakeSettingsForm on a thread of its own, as the pipe thread asks.
class CAsker {
public:
    explicit CAsker(CLauncherViewCopy& view)
        : m_Thread([this, &view] {
              m_Reply = view.MakeSettingsForm();
              m_Done.Set();
          }) {}
    ~CAsker() { m_Thread.join(); }
    bool Done(uint32_t ms) { return m_Done.Wait(ms); }
    const std::string& Reply() const { return m_Reply; }

private:
    std::string m_Reply;
    CEvent m_Done{true};
    std::thread m_Thread;
};

TEST(LauncherViewCopyTest, TrafficLinesAreTrimmedAsTheListIs) {
    CLauncherViewCopy view;
    for (int i = 1; i <= 50; ++i) {
        view.AddTrafficLine("line " + std::to_string(i));
    }
    ASSERT_EQ(50u, view.TrafficLines().size());
    EXPECT_EQ("line 50", view.TrafficLines().front());
    view.AddTrafficLine("line 51");
    const std::vector<std::string> lines = view.TrafficLines();
    ASSERT_EQ(25u, lines.size());
    EXPECT_EQ("line 51", lines.front());
    EXPECT_EQ("line 27", lines.back());
}

TEST(LauncherViewCopyTest, WithoutAWindowTheSnapshotFailsAtOnce) {
    CLauncherViewCopy view;
    EXPECT_EQ(kNoDialog, view.MakeSettingsForm());
}

TEST(LauncherViewCopyTest, TheWindowsThreadMakesTheSnapshot) {
    CLauncherViewCopy view;
    CWindowQueue window;
    std::thread::id madeOn;
    view.ConnectWindow(window.Poster(), [&] {
        madeOn = std::this_thread::get_id();
        return std::string("/var/tmp/shot.tmp");
    });
    CAsker asker(view);
    ASSERT_TRUE(WaitUntil([&] { return window.Waiting() == 1; }));
    EXPECT_FALSE(asker.Done(20));
    window.RunAll();
    ASSERT_TRUE(asker.Done(10000));
    EXPECT_EQ("/var/tmp/shot.tmp", asker.Reply());
    EXPECT_EQ(std::this_thread::get_id(), madeOn);
}

TEST(LauncherViewCopyTest, ASnapshotThatThrowsIsAnsweredAndTheWindowNeverSeesIt) {
    CLauncherViewCopy view;
    CWindowQueue window;
    view.ConnectWindow(window.Poster(), []() -> std::string { throw kxException("Unable to get the folder."); });
    CAsker asker(view);
    ASSERT_TRUE(WaitUntil([&] { return window.Waiting() == 1; }));
    EXPECT_NO_THROW(window.RunAll());
    ASSERT_TRUE(asker.Done(10000));
    EXPECT_EQ(kNoDialog, asker.Reply());
}

TEST(LauncherViewCopyTest, AWindowThatDoesNotAnswerInTimeGetsAnErrorAndLaterMakesNothing) {
    CLauncherViewCopy view;
    CWindowQueue window;
    int made = 0;
    view.ConnectWindow(window.Poster(), [&] {
        ++made;
        return std::string("/var/tmp/late.tmp");
    });
    view.SetSnapshotWaitMs(50);
    {
        CAsker asker(view);
        ASSERT_TRUE(asker.Done(10000));
        EXPECT_EQ(kNoDialog, asker.Reply());
    }
    // The window's thread comes back to its queue: the abandoned request leaves no file for nobody.
    window.RunAll();
    EXPECT_EQ(0, made);
}

// A copy whose window answers "/var/tmp/shot.tmp" once the test runs its queue, and a request already waiting
// for it without a time limit.
class WaitingSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_View.ConnectWindow(m_Window.Poster(), [] { return std::string("/var/tmp/shot.tmp"); });
        m_View.SetSnapshotWaitMs(kInfinite - 1);
        m_Asker = std::make_unique<CAsker>(m_View);
        ASSERT_TRUE(WaitUntil([&] { return m_Window.Waiting() == 1; }));
    }

    CLauncherViewCopy m_View;
    CWindowQueue m_Window;
    std::unique_ptr<CAsker> m_Asker;
};

TEST_F(WaitingSnapshotTest, CancellingEndsTheWaitAtOnceAndRefusesNewOnesUntilAllowed) {
    m_View.CancelSnapshots();
    ASSERT_TRUE(m_Asker->Done(10000));
    EXPECT_EQ(kNoDialog, m_Asker->Reply());
    m_Window.RunAll();
    EXPECT_EQ(kNoDialog, m_View.MakeSettingsForm());
    EXPECT_EQ(0u, m_Window.Waiting());

    m_View.AllowSnapshots();
    CAsker asker(m_View);
    ASSERT_TRUE(WaitUntil([&] { return m_Window.Waiting() == 1; }));
    m_Window.RunAll();
    ASSERT_TRUE(asker.Done(10000));
    EXPECT_EQ("/var/tmp/shot.tmp", asker.Reply());
}

TEST_F(WaitingSnapshotTest, DisconnectingTheWindowEndsTheWait) {
    m_View.DisconnectWindow();
    ASSERT_TRUE(m_Asker->Done(10000));
    EXPECT_EQ(kNoDialog, m_Asker->Reply());
    EXPECT_EQ(kNoDialog, m_View.MakeSettingsForm());
}

TEST(LauncherViewCopyTest, ASnapshotTheWindowHasBegunIsWaitedForToItsEnd) {
    CLauncherViewCopy view;
    CWindowQueue window;
    CEvent rendering{true};
    CEvent finish{true};
    view.ConnectWindow(window.Poster(), [&] {
        rendering.Set();
        finish.Wait(kInfinite);
        return std::string("/var/tmp/slow.tmp");
    });
    view.SetSnapshotWaitMs(20);
    CAsker asker(view);
    ASSERT_TRUE(WaitUntil([&] { return window.Waiting() == 1; }));
    std::thread windowThread([&] { window.RunAll(); });
    ASSERT_TRUE(rendering.Wait(10000));
    // Well past the wait's bound: the file being made is still answered, not left behind.
    EXPECT_FALSE(asker.Done(200));
    finish.Set();
    ASSERT_TRUE(asker.Done(10000));
    windowThread.join();
    EXPECT_EQ("/var/tmp/slow.tmp", asker.Reply());
}

TEST(LauncherViewCopyTest, CaptionAndLinesMayBeReadWhileTheyChange) {
    CLauncherViewCopy view;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            view.SetCaption("caption " + std::to_string(i));
            view.AddTrafficLine("line " + std::to_string(i));
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const std::string caption = view.Caption();
        EXPECT_TRUE(caption.empty() || caption.rfind("caption ", 0) == 0) << caption;
        EXPECT_LE(view.TrafficLines().size(), 50u);
    }
    stop = true;
    writer.join();
}

} // namespace
