#pragma once
// The tests' clock for the clock seam. It stands still until a test moves it (Advance), or runs with real time
// at a speed the test sets (Run), and can be held again where it stands (Hold). So one clock serves a unit test
// that steps through a 35-second wait, a test whose connects and handshakes keep their real pace while its long
// waits pass the moment the test says, and an end-to-end run ten times faster than real time.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/Clock.h"
#include "platform/Mutex.h"

// Thread-safe: every member takes m_Lock.
class CTestClock final : public IClock {
public:
    // What SleepMs does while the clock stands still.
    enum class HeldSleep {
        Waits,    // until Advance has moved the time on far enough (or the clock runs, or sleeps stop waiting)
        Advances, // moves the time on by the sleep at once, so loops that sleep in steps run at full speed
        Passes,   // ends after a moment of real time and leaves the time as it is: what a test measures
                  // meanwhile is exactly what it advanced
    };

    static constexpr uint64_t kDefaultStartTickMs = 1000000;

    // Running from the start, |factor| times as fast as real time, from the system clock's tick and wall time.
    struct SRealTime {
        uint32_t factor = 1;
    };

    // Stands still at |startTickMs| and |startWall| until it is moved.
    explicit CTestClock(uint64_t startTickMs = kDefaultStartTickMs,
                        std::chrono::system_clock::time_point startWall = CSystemClock().WallNow());
    explicit CTestClock(SRealTime realTime);

    uint64_t TickMs() override;
    // Moves with TickMs: the start's wall time plus the time the clock has moved since.
    std::chrono::system_clock::time_point WallNow() override;
    // Running, sleeps until the clock has moved |ms| on (an Advance ends the sleep early); held, as set.
    void SleepMs(uint64_t ms) override;
    // The same until the time has reached |tickMs|: at once when it has, also when an Advance got there
    // before the sleep began. Held with sleeps that advance it, the time moves on to |tickMs|.
    void SleepUntilMs(uint64_t tickMs) override;
    // A real wait looks at the clock again every millisecond or two, so an Advance is seen at once.
    std::chrono::milliseconds RealSlice(uint64_t remainingMs) override;
    // Held with sleeps that advance it: moves the time on by a millisecond and lets the step pass at once, so a
    // poll-based wait runs through its time-out as a loop of 1 ms sleeps does. Otherwise as RealSlice.
    std::chrono::milliseconds PollSlice(uint64_t remainingMs) override;

    // Moves the time forward by |ms| at once and wakes every sleeper.
    void Advance(uint64_t ms);
    // From now on the time runs with real time, |factor| times as fast (0 counts as 1), from where it stands.
    void Run(uint32_t factor);
    // The same at the speed it ran at last (real time at first).
    void Run();
    // Stops the time where it stands; Advance still moves it.
    void Hold();
    void SetHeldSleep(HeldSleep sleep);

private:
    uint64_t NowLocked() REQUIRES(m_Lock);
    // Sleeps until the time reaches |ms| on from now (|relative|) or the tick |ms|.
    void Sleep(bool relative, uint64_t ms) EXCLUDES(m_Lock);

    CMutex m_Lock;
    CCondVar m_Changed;
    CSystemClock m_Real;
    const uint64_t m_StartTickMs;
    const std::chrono::system_clock::time_point m_StartWall;
    bool m_Running GUARDED_BY(m_Lock) = false;
    uint32_t m_Factor GUARDED_BY(m_Lock) = 1;
    uint64_t m_HeldTickMs GUARDED_BY(m_Lock);        // the time while held
    uint64_t m_RunFromTickMs GUARDED_BY(m_Lock) = 0; // the time when it last started running or advanced
    uint64_t m_RunFromRealMs GUARDED_BY(m_Lock) = 0; // the real tick at that moment
    HeldSleep m_HeldSleep GUARDED_BY(m_Lock) = HeldSleep::Waits;
};

// Advances a test clock by |stepMs| every real millisecond while it lives, so polling loops of 250 ms and
// waits of seconds run at many times their speed. Owns its thread; for the thread that made it.
class CClockPump {
public:
    CClockPump(CTestClock& clock, uint64_t stepMs);
    ~CClockPump();
    CClockPump(const CClockPump&) = delete;
    CClockPump& operator=(const CClockPump&) = delete;

private:
    CTestClock& m_Clock;
    const uint64_t m_StepMs;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

// Puts a clock in place of the process's for one scope. For the test thread, before the threads that read the
// clock start and after they end.
class CScopedClock {
public:
    explicit CScopedClock(IClock& clock) { SetClockForTesting(&clock); }
    ~CScopedClock() { SetClockForTesting(nullptr); }
    CScopedClock(const CScopedClock&) = delete;
    CScopedClock& operator=(const CScopedClock&) = delete;
};

// How far a held test clock whose sleeps advance it moved while |call| ran with the clock in place: the clock time
// the call waited, passed at full speed.
uint64_t ClockTimeOf(const std::function<void()>& call);
