#include "host/ServiceDiscoveryWorker.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "HostTestSupport.h"
#include "common/LogFolder.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "common/Wait.h"
#include "foundation/Logger.h"
#include "foundation/Presenter.h"
#include "host/ServiceProviderList.h"
#include "peers/DatawireEndpoint.h"
#include "platform/ProcessEvents.h"

using namespace hosttest;

namespace {
constexpr uint64_t kHour = 3600000;

class ServiceDiscoveryWorkerTest : public TempDirTest {
protected:
    void SetUp() override {
        PrepareLogFolder();
        g_ShutdownEvent.Reset();
        g_ServiceDiscoveryRequest.Reset();
        g_ServiceProviderList.RemoveAll();
    }
    void TearDown() override {
        m_Worker.Stop();
        g_ServiceDiscoveryRequest.Reset();
        g_ServiceProviderList.RemoveAll();
        CLogger::Instance().Flush();
    }

    // A stand-in discovery that counts its runs and answers |result|.
    void UseStandIn(bool firstResult) {
        m_Worker.SetDiscoveryForTesting([this, firstResult] {
            const int run = ++m_Runs;
            return run == 1 ? firstResult : m_LaterResult.load();
        });
    }
    // Gives the thread time for a few of its waits, so a discovery it was going to run has begun.
    static void LetItLoop() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

    // Declared before the worker: its thread waits on this clock until TearDown has stopped it.
    CTestClock m_Clock{CTestClock::SRealTime{}};
    CScopedClock m_ScopedClock{m_Clock};
    CServiceDiscoveryWorker m_Worker;
    std::atomic<int> m_Runs{0};
    std::atomic<bool> m_LaterResult{true};
};
} // namespace

TEST_F(ServiceDiscoveryWorkerTest, StartRunsTheFirstDiscoveryAgainstTheDiscoveryHost) {
    CTrustedPki pki;
    ASSERT_TRUE(pki.Ok());
    CDatawireEndpoint discovery(pki.Loopback());
    ASSERT_TRUE(discovery.Start());
    SetMerchantParams({{kParamPrimaryUrl, discovery.HostAndPort()}, {kParamSecondaryUrl, "0"}});
    ASSERT_TRUE(m_Worker.Start());
    EXPECT_TRUE(m_Worker.IsRunning());
    EXPECT_EQ(g_ServiceProviderList.GetProviders(), (std::vector<std::string>{discovery.HostAndPort() + "/sd"}));
    EXPECT_TRUE(m_Worker.Stop());
    EXPECT_FALSE(m_Worker.IsRunning());
    EXPECT_EQ(m_Worker.DiscoveryCount(), 1);
}

TEST_F(ServiceDiscoveryWorkerTest, AFailedFirstDiscoveryEndsTheThreadAndNothingRunsLater) {
    UseStandIn(false);
    EXPECT_FALSE(m_Worker.Start());
    EXPECT_FALSE(m_Worker.IsRunning());
    g_ServiceDiscoveryRequest.Set();
    LetItLoop();
    EXPECT_EQ(m_Runs.load(), 1);
    EXPECT_TRUE(g_ServiceDiscoveryRequest.IsSet()); // nobody took the request
}

TEST_F(ServiceDiscoveryWorkerTest, ARequestRunsADiscoveryAtOnceWhateverItsOutcome) {
    UseStandIn(true);
    m_LaterResult = false;
    ASSERT_TRUE(m_Worker.Start());
    for (int expected = 2; expected <= 4; ++expected) {
        g_ServiceDiscoveryRequest.Set();
        ASSERT_TRUE(WaitUntil([&] { return m_Runs.load() == expected; }));
    }
    EXPECT_TRUE(m_Worker.IsRunning()); // failed later discoveries do not end the thread
}

TEST_F(ServiceDiscoveryWorkerTest, SixHoursAfterTheLastDiscoveryBeganAnotherRuns) {
    UseStandIn(true);
    ASSERT_TRUE(m_Worker.Start());
    m_Clock.Advance(5 * kHour);
    g_ServiceDiscoveryRequest.Set(); // a requested discovery restarts the period
    ASSERT_TRUE(WaitUntil([&] { return m_Runs.load() == 2; }));
    m_Clock.Advance(2 * kHour); // 7 h after the first, 2 h after the last
    LetItLoop();
    EXPECT_EQ(m_Runs.load(), 2);
    m_Clock.Advance(4 * kHour + 1000);
    ASSERT_TRUE(WaitUntil([&] { return m_Runs.load() == 3; }));
    LetItLoop();
    EXPECT_EQ(m_Runs.load(), 3);
}

TEST_F(ServiceDiscoveryWorkerTest, TheFirstPeriodCountsFromTheEndOfTheStartUpDiscovery) {
    m_Worker.SetDiscoveryForTesting([this] {
        if (++m_Runs == 1) {
            m_Clock.Advance(2 * kHour); // a start-up discovery that takes two hours
        }
        return true;
    });
    ASSERT_TRUE(m_Worker.Start());
    m_Clock.Advance(5 * kHour); // 7 h after it began, 5 h after it ended
    LetItLoop();
    EXPECT_EQ(m_Runs.load(), 1);
    m_Clock.Advance(kHour + 1000);
    ASSERT_TRUE(WaitUntil([&] { return m_Runs.load() == 2; }));
}

TEST_F(ServiceDiscoveryWorkerTest, ThePeriodCanBeSetShorter) {
    UseStandIn(true);
    m_Worker.SetPeriodMs(60000);
    ASSERT_TRUE(m_Worker.Start());
    m_Clock.Advance(30000);
    LetItLoop();
    EXPECT_EQ(m_Runs.load(), 1);
    m_Clock.Advance(30001);
    ASSERT_TRUE(WaitUntil([&] { return m_Runs.load() == 2; }));
}

TEST_F(ServiceDiscoveryWorkerTest, AQuitDuringTheStartStopsTheThreadInsteadOfWaitingForIt) {
    UseStandIn(true);
    GetPresenter().PostQuit(); // the window closes while the start-up waits
    std::atomic<bool> returned{false};
    std::atomic<bool> started{true};
    std::thread starter([&] {
        started = m_Worker.Start();
        returned = true;
    });
    if (!WaitUntil([&] { return returned.load(); }, 5000)) {
        ADD_FAILURE() << "Start waits for a thread that nothing ends";
        std::_Exit(1);
    }
    starter.join();
    EXPECT_FALSE(started.load());
    EXPECT_FALSE(m_Worker.IsRunning());
    EXPECT_LE(m_Runs.load(), 1);
}

TEST_F(ServiceDiscoveryWorkerTest, AThreadThatCannotStartIsReportedAsFatal) {
    UseStandIn(true);
    CWorkerThread::FailNextStartsForTesting(1);
    EXPECT_FALSE(m_Worker.Start());
    EXPECT_EQ(m_Runs.load(), 0);
    EXPECT_EQ(CountLogLines("The Service Discovery thread could NOT be started."), 1);
    EXPECT_TRUE(m_Worker.Stop());
    EXPECT_TRUE(m_Worker.Start()); // and a later start works
}
