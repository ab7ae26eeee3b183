#pragma once
// The clock seam: every wait of the system that is longer than a fraction of a second reads its time
// here, so tests can replace the clock and run 30 s, 35 s or an hour of waiting in milliseconds.
//
// A wait for a moment that the caller worked out from an earlier reading of the clock (a deadline, the end of
// an idle period) waits until that tick, not for the time that was left: a wait of so many milliseconds counts
// from its own start, so a clock that moved on between the reading and the wait (a test's manual clock jumps)
// would push the end out by the whole jump, and a waiter could sleep through the moment it waits for.

#include <chrono>
#include <cstdint>

// Time source of the process. Implementations are thread-safe.
class IClock {
public:
    virtual ~IClock() = default;
    // Steady milliseconds since an arbitrary start; 64 bits, so it never wraps.
    virtual uint64_t TickMs() = 0;
    // Wall-clock time (UTC instant).
    virtual std::chrono::system_clock::time_point WallNow() = 0;
    // Sleeps the calling thread for |ms| milliseconds of this clock's time.
    virtual void SleepMs(uint64_t ms) = 0;
    // Sleeps the calling thread until TickMs() has reached |tickMs|; returns at once when it has.
    virtual void SleepUntilMs(uint64_t tickMs) = 0;
    // How long a real wait may block before the caller must look at TickMs() again; the real clock lets
    // a wait block for all of |remainingMs|, a manual clock only for a short slice.
    virtual std::chrono::milliseconds RealSlice(uint64_t remainingMs) = 0;
    // The same for one step of a wait that polls descriptors (a socket and its stop event). A clock that moves
    // on at every sleep moves on by a step here instead, as a sleep of that step would, and lets the step pass
    // at once.
    virtual std::chrono::milliseconds PollSlice(uint64_t remainingMs) { return RealSlice(remainingMs); }
};

// The operating system's clocks.
class CSystemClock final : public IClock {
public:
    uint64_t TickMs() override;
    std::chrono::system_clock::time_point WallNow() override;
    void SleepMs(uint64_t ms) override;
    void SleepUntilMs(uint64_t tickMs) override;
    std::chrono::milliseconds RealSlice(uint64_t remainingMs) override;
};

// The moment a wait ends at, as a tick of the clock seam, and how long one blocking call of that wait may block
// before the waiter looks at the clock again: with the system clock the whole rest at once, with a test clock a
// slice, so that the test's moves are seen. The clock is the one in place when the deadline is made. Not
// thread-safe: one waiting thread owns it.
class CClockDeadline {
public:
    // The deadline at |tickMs| of the clock seam (a moment worked out earlier: the wait ends there, however long
    // it took to start waiting).
    explicit CClockDeadline(uint64_t tickMs);
    // The deadline |ms| from now.
    static CClockDeadline After(uint64_t ms);

    uint64_t TickMs() const { return m_TickMs; }
    bool Passed();
    // The clock's RealSlice of what is left (0 once passed): for a wait on a condition.
    std::chrono::milliseconds RealSlice();
    // RealSlice and the clock's PollSlice as poll()'s int milliseconds.
    int RealSliceMs();
    int PollSliceMs();

private:
    uint64_t Left();

    IClock& m_Clock;
    uint64_t m_TickMs;
};

// The process's clock: the system clock unless a test has put another in place.
IClock& GetClock();
// Puts |clock| in place (nullptr restores the system clock). The caller keeps |clock| alive while it is set.
// Tests put theirs in place through the scope of tests/common/TestClock.h.
void SetClockForTesting(IClock* clock);
