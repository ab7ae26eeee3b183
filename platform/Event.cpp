#include "platform/Event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Clock.h"
#include "platform/OsError.h"

// Shared by one wait-for-any call and the events it waits on, so a Set on any of them wakes it.
struct CEventWaiter {
    CMutex lock;
    CCondVar cond;
    bool woken GUARDED_BY(lock) = false;
    // An event loop's descriptor (CEventWatch), written on every wake; -1 for none. Under |lock|, so a Set
    // racing with the watcher's end never writes to a closed (or reused) descriptor.
    int notifyFd GUARDED_BY(lock) = -1;
    void Wake() {
        CMutexLock guard(lock);
        woken = true;
        cond.NotifyAll();
        if (notifyFd >= 0) {
            const int fd = notifyFd; // read under |lock|: the write below stays inside it too
            const uint64_t one = 1;
            // Only fails when the counter is saturated, and then the descriptor is readable anyway.
            RetryOnEintr([&] { return ::write(fd, &one, sizeof one); });
        }
    }
};

int CEvent::TakeFirstSignalled(const std::vector<CEvent*>& events) {
    for (size_t i = 0; i < events.size(); ++i) {
        CMutexLock lock(events[i]->m_Lock);
        if (events[i]->TryConsumeLocked()) {
            return static_cast<int>(i);
        }
    }
    return kWaitTimeout;
}

CEvent::CEvent(bool manualReset, bool initialState) : m_ManualReset(manualReset), m_Signalled(initialState) {}

CEvent::~CEvent() = default;

void CEvent::Set() {
    std::vector<std::shared_ptr<CEventWaiter>> waiters;
    {
        CMutexLock lock(m_Lock);
        m_Signalled = true;
        waiters = m_Waiters;
        if (m_ManualReset) {
            m_Cond.NotifyAll();
        } else {
            m_Cond.NotifyOne();
        }
    }
    for (auto& waiter : waiters) {
        waiter->Wake();
    }
}

void CEvent::Reset() {
    CMutexLock lock(m_Lock);
    m_Signalled = false;
}

bool CEvent::IsSet() const {
    CMutexLock lock(m_Lock);
    return m_Signalled;
}

bool CEvent::TryConsumeLocked() {
    if (!m_Signalled) {
        return false;
    }
    if (!m_ManualReset) {
        m_Signalled = false;
    }
    return true;
}

namespace {
// The tick a wait of |ms| ends at; kNoDeadline for kInfinite.
constexpr uint64_t kNoDeadline = UINT64_MAX;
uint64_t DeadlineAfter(uint32_t ms) {
    return ms == kInfinite ? kNoDeadline : GetClock().TickMs() + ms;
}
} // namespace

bool CEvent::Wait(uint32_t ms) {
    return WaitUntilTick(DeadlineAfter(ms));
}

bool CEvent::WaitUntilTick(uint64_t tickMs) {
    CClockDeadline deadline(tickMs);
    CMutexLock lock(m_Lock);
    for (;;) {
        if (TryConsumeLocked()) {
            return true;
        }
        if (tickMs == kNoDeadline) {
            m_Cond.Wait(m_Lock);
            continue;
        }
        if (deadline.Passed()) {
            return false;
        }
        m_Cond.WaitFor(m_Lock, deadline.RealSlice());
    }
}

void CEvent::AddWaiter(const std::shared_ptr<CEventWaiter>& waiter) {
    CMutexLock lock(m_Lock);
    m_Waiters.push_back(waiter);
}

void CEvent::RemoveWaiter(const std::shared_ptr<CEventWaiter>& waiter) {
    CMutexLock lock(m_Lock);
    m_Waiters.erase(std::remove(m_Waiters.begin(), m_Waiters.end(), waiter), m_Waiters.end());
}

int WaitForAnyEvent(const std::vector<CEvent*>& events, uint32_t ms) {
    return WaitForAnyEventUntil(events, DeadlineAfter(ms));
}

int WaitForAnyEventUntil(const std::vector<CEvent*>& events, uint64_t tickMs) {
    CClockDeadline deadline(tickMs);
    auto waiter = std::make_shared<CEventWaiter>();
    for (CEvent* event : events) {
        event->AddWaiter(waiter);
    }
    int result = kWaitTimeout;
    for (;;) {
        {
            CMutexLock guard(waiter->lock);
            waiter->woken = false;
        }
        result = CEvent::TakeFirstSignalled(events);
        if (result != kWaitTimeout) {
            break;
        }
        CMutexLock lock(waiter->lock);
        if (tickMs == kNoDeadline) {
            while (!waiter->woken) {
                waiter->cond.Wait(waiter->lock);
            }
            continue;
        }
        if (deadline.Passed()) {
            break;
        }
        // A wake that comes early, or a spurious one, goes round the loop, which looks at the events again.
        if (!waiter->woken) {
            waiter->cond.WaitFor(waiter->lock, deadline.RealSlice());
        }
    }
    for (CEvent* event : events) {
        event->RemoveWaiter(waiter);
    }
    return result;
}

CEventWatch::CEventWatch(const std::vector<CEvent*>& events)
    : m_Events(events), m_Waiter(std::make_shared<CEventWaiter>()), m_Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!m_Fd.Valid()) {
        // A failed eventfd always says why; were it silent, the descriptor table is the likely shortage.
        m_Error = errno != 0 ? COsError::FromErrno() : COsError::FromNumber(EMFILE);
    }
    {
        CMutexLock guard(m_Waiter->lock);
        m_Waiter->notifyFd = m_Fd.Get();
    }
    for (CEvent* event : m_Events) {
        event->AddWaiter(m_Waiter);
    }
    // An event set before the watch began makes the descriptor readable as a later Set would.
    RearmIfSet();
}

void CEventWatch::RearmIfSet() {
    for (CEvent* event : m_Events) {
        if (event->IsSet()) {
            m_Waiter->Wake();
            return;
        }
    }
}

CEventWatch::~CEventWatch() {
    for (CEvent* event : m_Events) {
        event->RemoveWaiter(m_Waiter);
    }
    // A Set that copied the waiter before the removal may still wake it: it finds no descriptor.
    CMutexLock guard(m_Waiter->lock);
    m_Waiter->notifyFd = -1;
}

int CEventWatch::TryTake() {
    if (m_Fd.Valid()) {
        uint64_t count = 0;
        RetryOnEintr([&] { return ::read(m_Fd.Get(), &count, sizeof count); });
    }
    const int taken = CEvent::TakeFirstSignalled(m_Events);
    // A manual-reset event stays set after the take: the descriptor stays readable with it.
    RearmIfSet();
    return taken;
}
