#pragma once
// A mutex, its scoped lock and a condition variable that the compiler's thread-safety analysis can follow
// (-Wthread-safety with Clang): members say GUARDED_BY(m_Lock), functions REQUIRES(m_Lock) or EXCLUDES(m_Lock).

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/ThreadAnnotations.h"

// A plain, non-recursive mutex. Thread-safe, as a mutex is.
class CAPABILITY("mutex") CMutex {
public:
    CMutex() = default;
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void Lock() ACQUIRE() { m_Mutex.lock(); }
    void Unlock() RELEASE() { m_Mutex.unlock(); }
    // Tells the analysis that the caller holds the lock where it cannot see it (checks nothing at run time).
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

private:
    friend class CCondVar;
    std::mutex m_Mutex;
};

// Holds |mutex| for its scope; Unlock and Lock let go of it for a stretch in between.
// Not thread-safe: one thread uses it.
class SCOPED_CAPABILITY CMutexLock {
public:
    explicit CMutexLock(CMutex& mutex) ACQUIRE(mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
    ~CMutexLock() RELEASE() {
        if (m_Held) {
            m_Mutex.Unlock();
        }
    }
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

    void Unlock() RELEASE() {
        m_Held = false;
        m_Mutex.Unlock();
    }
    void Lock() ACQUIRE() {
        m_Mutex.Lock();
        m_Held = true;
    }

private:
    CMutex& m_Mutex;
    bool m_Held = true;
};

// A reader-writer mutex: many hold it shared, or one alone. Thread-safe, as a mutex is.
class CAPABILITY("shared mutex") CSharedMutex {
public:
    CSharedMutex() = default;
    CSharedMutex(const CSharedMutex&) = delete;
    CSharedMutex& operator=(const CSharedMutex&) = delete;

    void Lock() ACQUIRE() { m_Mutex.lock(); }
    void Unlock() RELEASE() { m_Mutex.unlock(); }
    void LockShared() ACQUIRE_SHARED() { m_Mutex.lock_shared(); }
    void UnlockShared() RELEASE_SHARED() { m_Mutex.unlock_shared(); }

private:
    std::shared_mutex m_Mutex;
};

// Holds |mutex| alone for its scope. Not thread-safe: one thread uses it.
class SCOPED_CAPABILITY CExclusiveLock {
public:
    explicit CExclusiveLock(CSharedMutex& mutex) ACQUIRE(mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
    ~CExclusiveLock() RELEASE() { m_Mutex.Unlock(); }
    CExclusiveLock(const CExclusiveLock&) = delete;
    CExclusiveLock& operator=(const CExclusiveLock&) = delete;

private:
    CSharedMutex& m_Mutex;
};

// Holds |mutex| shared for its scope. Not thread-safe: one thread uses it.
class SCOPED_CAPABILITY CSharedLock {
public:
    explicit CSharedLock(CSharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_Mutex(mutex) { m_Mutex.LockShared(); }
    ~CSharedLock() RELEASE() { m_Mutex.UnlockShared(); }
    CSharedLock(const CSharedLock&) = delete;
    CSharedLock& operator=(const CSharedLock&) = delete;

private:
    CSharedMutex& m_Mutex;
};

// A condition variable waited for with a CMutex held. Thread-safe, as a condition variable is.
// The waits give the mutex up while they sleep and hold it again when they return; the condition is checked by
// the caller in a loop around them, so that the analysis sees every read of a guarded member under its lock.
class CCondVar {
public:
    CCondVar() = default;
    CCondVar(const CCondVar&) = delete;
    CCondVar& operator=(const CCondVar&) = delete;

    void Wait(CMutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.m_Mutex, std::adopt_lock);
        m_Cond.wait(lock);
        lock.release(); // the caller's lock owns it again
    }
    // Waits at most |period| (real time); false when the time ran out.
    template <class Rep, class Period>
    bool WaitFor(CMutex& mutex, const std::chrono::duration<Rep, Period>& period) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.m_Mutex, std::adopt_lock);
        const bool woken = m_Cond.wait_for(lock, period) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    // Waits until |deadline| of the steady clock; false when it has passed.
    bool WaitUntil(CMutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.m_Mutex, std::adopt_lock);
        const bool woken = m_Cond.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void NotifyOne() { m_Cond.notify_one(); }
    void NotifyAll() { m_Cond.notify_all(); }

private:
    std::condition_variable m_Cond;
};
