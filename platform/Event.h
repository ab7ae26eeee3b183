#pragma once
// Kernel-style events: manual or automatic reset, and a wait for any of several events.
// Time-outs run on the clock seam (platform/Clock.h).

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr int kWaitTimeout = -1;

struct CEventWaiter;

// A signal that threads wait for. A manual-reset event stays set until Reset; an automatic-reset event
// releases one waiter and clears itself. Thread-safe.
class CEvent {
public:
    explicit CEvent(bool manualReset, bool initialState = false);
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // Tests the state without waiting and without consuming an automatic-reset signal.
    bool IsSet() const;
    // Waits at most |ms| (kInfinite: without limit); true when signalled. Consumes an automatic-reset signal.
    bool Wait(uint32_t ms);

private:
    friend int WaitForAnyEvent(const std::vector<CEvent*>& events, uint32_t ms);
    bool TryConsumeLocked();
    void AddWaiter(const std::shared_ptr<CEventWaiter>& waiter);
    void RemoveWaiter(const std::shared_ptr<CEventWaiter>& waiter);

    mutable std::mutex m_Lock;
    std::condition_variable m_Cond;
    const bool m_ManualReset;
    bool m_Signalled;
    std::vector<std::shared_ptr<CEventWaiter>> m_Waiters; // wait-for-any callers, guarded by m_Lock
};

// Waits until one of |events| is signalled: returns its index (the lowest when several are), or
// kWaitTimeout after |ms|. Consumes the signal of an automatic-reset event it returns.
int WaitForAnyEvent(const std::vector<CEvent*>& events, uint32_t ms);
