#include "foundation/WorkerStart.h"

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "foundation/Presenter.h"

namespace {
constexpr uint32_t kLongWaitMs = 10000; // only ever reached when the handshake is broken

// A worker as the three users build it: the thread reports through |failed| or |started| and then runs until
// |stop|; its stop sets |stop| and joins.
struct CHandshakeWorker {
    CEvent failed{true};
    CEvent started{true};
    CEvent stop{true};
    std::unique_ptr<CWorkerThread> thread;
    int stops = 0;

    EWorkerStart Start(const std::function<void(CHandshakeWorker&)>& startUp) {
        return StartWorkerAndWait(
            thread, "handshake",
            [this, startUp] {
                startUp(*this);
                stop.Wait(kLongWaitMs);
                return 0;
            },
            {failed, started, stop},
            [this] {
                ++stops;
                stop.Set();
                thread->Join();
            });
    }
};
} // namespace

TEST(WorkerStartTest, EndsAsTheThreadOrTheOwnerDecides) {
    const struct {
        const char* name;
        std::function<void(CHandshakeWorker&)> before; // on the owner's thread, before the start
        std::function<void(CHandshakeWorker&)> startUp;
        EWorkerStart expected;
    } cases[] = {
        {"started", nullptr, [](CHandshakeWorker& w) { w.started.Set(); }, EWorkerStart::Started},
        {"failed", nullptr, [](CHandshakeWorker& w) { w.failed.Set(); }, EWorkerStart::Stopped},
        {"failed, then started", nullptr,
         [](CHandshakeWorker& w) {
             w.failed.Set();
             w.started.Set();
         },
         EWorkerStart::Stopped},
        {"stopped before it reported", nullptr, [](CHandshakeWorker& w) { w.stop.Set(); }, EWorkerStart::Stopped},
        // Left over from an earlier run: the handshake resets them, so only the thread's own report counts.
        {"stale events",
         [](CHandshakeWorker& w) {
             w.started.Set();
             w.stop.Set();
         },
         [](CHandshakeWorker& w) { w.failed.Set(); }, EWorkerStart::Stopped},
        {"stale failure", [](CHandshakeWorker& w) { w.failed.Set(); }, [](CHandshakeWorker& w) { w.started.Set(); },
         EWorkerStart::Started},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CHandshakeWorker worker;
        if (c.before) {
            c.before(worker);
        }
        EXPECT_EQ(worker.Start(c.startUp), c.expected);
        ASSERT_NE(worker.thread, nullptr);
        if (c.expected == EWorkerStart::Started) {
            EXPECT_EQ(worker.stops, 0);
            EXPECT_TRUE(worker.thread->IsRunning());
            worker.stop.Set();
        } else {
            EXPECT_EQ(worker.stops, 1);
            EXPECT_FALSE(worker.thread->Started()); // the stop has joined it
        }
        worker.thread->Join();
    }
}

TEST(WorkerStartTest, QuitMessageStopsTheStart) {
    CHeadlessPresenter presenter;
    CScopedPresenter scoped(presenter);
    presenter.PostQuit();
    CHandshakeWorker worker;
    // A thread that never reports: only the quit ends the wait.
    EXPECT_EQ(worker.Start([](CHandshakeWorker&) {}), EWorkerStart::Stopped);
    EXPECT_EQ(worker.stops, 1);
    EXPECT_FALSE(presenter.QuitPosted());
}

TEST(WorkerStartTest, ThreadThatCannotBeCreatedLeavesNoThreadAndIsNotStopped) {
    CHandshakeWorker worker;
    bool ran = false;
    CWorkerThread::FailNextStartsForTesting(1);
    EXPECT_EQ(worker.Start([&](CHandshakeWorker&) { ran = true; }), EWorkerStart::NotCreated);
    EXPECT_EQ(worker.thread, nullptr);
    EXPECT_EQ(worker.stops, 0);
    EXPECT_FALSE(ran);
}
