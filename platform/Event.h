#pragma once
// Kernel-style events: manual or automatic reset, a wait for any of several events, and a watch that a
// poll-driven event loop (the window's) can wait on. Time-outs run on the clock seam (platform/Clock.h).

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Mutex.h"
#include "platform/Socket.h"

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
    // The same until the clock seam's TickMs() reaches |tickMs| (platform/Clock.h says when to use which).
    bool WaitUntilTick(uint64_t tickMs);

private:
    friend int WaitForAnyEventUntil(const std::vector<CEvent*>& events, uint64_t tickMs);
    friend class CEventWatch;
    // The index of the first signalled event of |events|, consuming an automatic-reset signal; kWaitTimeout
    // when none is.
    static int TakeFirstSignalled(const std::vector<CEvent*>& events);
    bool TryConsumeLocked();
    void AddWaiter(const std::shared_ptr<CEventWaiter>& waiter);
    void RemoveWaiter(const std::shared_ptr<CEventWaiter>& waiter);

    mutable CMutex m_Lock;
    CCondVar m_Cond;
    const bool m_ManualReset;
    bool m_Signalled;
    std::vector<std::shared_ptr<CEventWaiter>> m_Waiters GUARDED_BY(m_Lock); // wait-for-any callers
};

// Waits until one of |events| is signalled: returns its index (the lowest when several are), or
// kWaitTimeout after |ms|. Consumes the signal of an automatic-reset event it returns.
int WaitForAnyEvent(const std::vector<CEvent*>& events, uint32_t ms);
// The same until the clock seam's TickMs() reaches |tickMs|.
int WaitForAnyEventUntil(const std::vector<CEvent*>& events, uint64_t tickMs);

// Watches events for a thread that waits on descriptors (the window's event loop, a socket's poll, the pipe
// server): Fd() is readable while one of them is set (also when it was set before the watch began), and
// TryTake then tells which. This is the one place where an event meets a descriptor. The watcher owns the
// descriptor; the events must outlive it.
// Not thread-safe: the thread that made it uses it (the events may be set from any thread).
class CEventWatch {
public:
    explicit CEventWatch(const std::vector<CEvent*>& events);
    ~CEventWatch();
    CEventWatch(const CEventWatch&) = delete;
    CEventWatch& operator=(const CEventWatch&) = delete;

    // False when no descriptor could be made; the caller must then poll TryTake on a timer.
    bool Valid() const { return m_Fd.Valid(); }
    // Why the descriptor could not be made; no failure while Valid.
    COsError Error() const { return m_Error; }
    int Fd() const { return m_Fd.Get(); }
    // Clears the descriptor's readiness, then returns the index of a signalled event as WaitForAnyEvent would
    // with no wait (consuming an automatic-reset signal), or kWaitTimeout when none is; the descriptor is
    // readable again when a watched event is still set. A Set that races with the call makes the descriptor
    // readable again, so no signal is lost.
    int TryTake();

private:
    // Makes the descriptor readable when one of the events is set.
    void RearmIfSet();

    std::vector<CEvent*> m_Events;
    std::shared_ptr<CEventWaiter> m_Waiter;
    CSocketFd m_Fd; // an eventfd, written on every Set of a watched event
    COsError m_Error;
};
