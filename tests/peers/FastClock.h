#pragma once
// A clock for the end-to-end tests: real time running a settable number of times faster, so the server's one
// second of quiet before a reply, its 50 ms polls and its time-outs keep their proportions while a test runs in a
// fraction of the time, plus jumps forward for the waits of 35 seconds and more.

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"

// Thread-safe: every member takes m_Lock.
class CFastClock final : public IClock {
public:
    explicit CFastClock(uint32_t factor = 10);

    uint64_t TickMs() override;
    std::chrono::system_clock::time_point WallNow() override;
    // Sleeps until this clock has moved |ms| on (a jump ends the sleep early).
    void SleepMs(uint64_t ms) override;
    // A real wait looks at the clock again at least every few real milliseconds, so jumps are seen at once.
    std::chrono::milliseconds RealSlice(uint64_t remainingMs) override;

    // Moves the time forward by |ms| at once.
    void Jump(uint64_t ms);
    // Stops the time where it is (true) or lets it run on from there (false).
    void Hold(bool on);
    uint32_t Factor() const { return m_Factor; }

private:
    uint64_t NowLocked();

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    CSystemClock m_Real;
    const uint32_t m_Factor;
    const uint64_t m_RealStart;
    const uint64_t m_TickStart = 1000000;
    const std::chrono::system_clock::time_point m_WallStart;
    int64_t m_Offset = 0;  // jumps, less the time held; guarded by m_Lock
    bool m_Held = false;   // guarded by m_Lock
    uint64_t m_HeldAt = 0; // guarded by m_Lock
};
