#include "common/TestClock.h"

#include <algorithm>

namespace {
// How long a held sleep that waits for an Advance blocks before it looks at the clock's settings again.
constexpr auto kHeldWaitSlice = std::chrono::milliseconds(5);
constexpr uint64_t kMaxRunningSliceMs = 2;
// What a sleep that passes takes of real time: enough to let other threads run.
constexpr auto kPassingSleep = std::chrono::microseconds(200);
} // namespace

CTestClock::CTestClock(uint64_t startTickMs, std::chrono::system_clock::time_point startWall)
    : m_StartTickMs(startTickMs), m_StartWall(startWall), m_HeldTickMs(startTickMs) {}

CTestClock::CTestClock(SRealTime realTime) : CTestClock(CSystemClock().TickMs(), CSystemClock().WallNow()) {
    Run(realTime.factor);
}

uint64_t CTestClock::NowLocked() {
    if (!m_Running) {
        return m_HeldTickMs;
    }
    return m_RunFromTickMs + (m_Real.TickMs() - m_RunFromRealMs) * m_Factor;
}

uint64_t CTestClock::TickMs() {
    CMutexLock lock(m_Lock);
    return NowLocked();
}

std::chrono::system_clock::time_point CTestClock::WallNow() {
    CMutexLock lock(m_Lock);
    return m_StartWall + std::chrono::milliseconds(NowLocked() - m_StartTickMs);
}

void CTestClock::SleepMs(uint64_t ms) {
    Sleep(true, ms);
}

void CTestClock::SleepUntilMs(uint64_t tickMs) {
    Sleep(false, tickMs);
}

void CTestClock::Sleep(bool relative, uint64_t ms) {
    CMutexLock lock(m_Lock);
    const uint64_t until = relative ? NowLocked() + ms : ms;
    if (!m_Running && m_HeldSleep == HeldSleep::Advances) {
        m_HeldTickMs = std::max(m_HeldTickMs, until);
        m_Changed.NotifyAll();
        lock.Unlock();
        std::this_thread::yield();
        return;
    }
    if (!m_Running && m_HeldSleep == HeldSleep::Passes) {
        const bool due = until > NowLocked();
        lock.Unlock();
        if (due) {
            std::this_thread::sleep_for(kPassingSleep);
        }
        return;
    }
    for (uint64_t now = NowLocked(); now < until; now = NowLocked()) {
        if (m_Running) {
            const uint64_t realMs =
                std::clamp<uint64_t>((until - now + m_Factor - 1) / m_Factor, 1, kMaxRunningSliceMs);
            m_Changed.WaitFor(m_Lock, std::chrono::milliseconds(realMs));
        } else if (m_HeldSleep == HeldSleep::Waits) {
            m_Changed.WaitFor(m_Lock, kHeldWaitSlice);
        } else {
            return; // sleeps stopped waiting for an Advance meanwhile
        }
    }
}

std::chrono::milliseconds CTestClock::RealSlice(uint64_t remainingMs) {
    if (remainingMs == 0) {
        return std::chrono::milliseconds(0);
    }
    CMutexLock lock(m_Lock);
    if (!m_Running) {
        return std::chrono::milliseconds(1);
    }
    const uint64_t realMs = (remainingMs + m_Factor - 1) / m_Factor;
    return std::chrono::milliseconds(std::clamp<uint64_t>(realMs, 1, kMaxRunningSliceMs));
}

std::chrono::milliseconds CTestClock::PollSlice(uint64_t remainingMs) {
    bool advanced = false;
    {
        CMutexLock lock(m_Lock);
        if (!m_Running && m_HeldSleep == HeldSleep::Advances && remainingMs > 0) {
            m_HeldTickMs += 1;
            m_Changed.NotifyAll();
            advanced = true;
        }
    }
    if (!advanced) {
        return RealSlice(remainingMs);
    }
    // As a sleep that advances: the peers this wait is for get the processor meanwhile.
    std::this_thread::yield();
    return std::chrono::milliseconds(0);
}

void CTestClock::Advance(uint64_t ms) {
    CMutexLock lock(m_Lock);
    if (m_Running) {
        m_RunFromTickMs += ms;
    } else {
        m_HeldTickMs += ms;
    }
    m_Changed.NotifyAll();
}

void CTestClock::Run(uint32_t factor) {
    CMutexLock lock(m_Lock);
    m_RunFromTickMs = NowLocked();
    m_RunFromRealMs = m_Real.TickMs();
    m_Factor = factor == 0 ? 1 : factor;
    m_Running = true;
    m_Changed.NotifyAll();
}

void CTestClock::Run() {
    uint32_t factor = 1;
    {
        CMutexLock lock(m_Lock);
        factor = m_Factor;
    }
    Run(factor);
}

void CTestClock::Hold() {
    CMutexLock lock(m_Lock);
    m_HeldTickMs = NowLocked();
    m_Running = false;
    m_Changed.NotifyAll();
}

void CTestClock::SetHeldSleep(HeldSleep sleep) {
    CMutexLock lock(m_Lock);
    m_HeldSleep = sleep;
    m_Changed.NotifyAll();
}

CClockPump::CClockPump(CTestClock& clock, uint64_t stepMs) : m_Clock(clock), m_StepMs(stepMs) {
    m_Thread = std::thread([this] {
        while (!m_Stop.load()) {
            m_Clock.Advance(m_StepMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

CClockPump::~CClockPump() {
    m_Stop.store(true);
    m_Thread.join();
}

uint64_t ClockTimeOf(const std::function<void()>& call) {
    CTestClock clock;
    clock.SetHeldSleep(CTestClock::HeldSleep::Advances);
    const uint64_t start = clock.TickMs();
    {
        CScopedClock scoped(clock);
        call();
    }
    return clock.TickMs() - start;
}
