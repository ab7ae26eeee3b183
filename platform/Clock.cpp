#include "platform/Clock.h"

#include <atomic>
#include <thread>

namespace {
CSystemClock g_SystemClock;
std::atomic<IClock*> g_Clock{&g_SystemClock};
} // namespace

uint64_t CSystemClock::TickMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::chrono::system_clock::time_point CSystemClock::WallNow() {
    return std::chrono::system_clock::now();
}

void CSystemClock::SleepMs(uint64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::chrono::milliseconds CSystemClock::RealSlice(uint64_t remainingMs) {
    return std::chrono::milliseconds(remainingMs);
}

CManualClock::CManualClock(uint64_t startTickMs, std::chrono::system_clock::time_point startWall)
    : m_TickMs(startTickMs), m_Wall(startWall) {}

uint64_t CManualClock::TickMs() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_TickMs;
}

std::chrono::system_clock::time_point CManualClock::WallNow() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Wall;
}

void CManualClock::SleepMs(uint64_t ms) {
    std::unique_lock<std::mutex> lock(m_Lock);
    if (m_AutoAdvance) {
        m_TickMs += ms;
        m_Wall += std::chrono::milliseconds(ms);
        m_Changed.notify_all();
        lock.unlock();
        std::this_thread::yield();
        return;
    }
    const uint64_t until = m_TickMs + ms;
    // Real slices keep a sleeper responsive to SetAutoAdvance as well as to Advance.
    while (m_TickMs < until && !m_AutoAdvance) {
        m_Changed.wait_for(lock, std::chrono::milliseconds(5));
    }
}

std::chrono::milliseconds CManualClock::RealSlice(uint64_t remainingMs) {
    return std::chrono::milliseconds(remainingMs < 1 ? remainingMs : 1);
}

void CManualClock::Advance(uint64_t ms) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_TickMs += ms;
    m_Wall += std::chrono::milliseconds(ms);
    m_Changed.notify_all();
}

void CManualClock::SetAutoAdvance(bool on) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_AutoAdvance = on;
    m_Changed.notify_all();
}

IClock& GetClock() {
    return *g_Clock.load(std::memory_order_acquire);
}

void SetClockForTesting(IClock* clock) {
    g_Clock.store(clock != nullptr ? clock : &g_SystemClock, std::memory_order_release);
}
