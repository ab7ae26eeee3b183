#include "platform/Clock.h"

#include <algorithm>
#include <atomic>
#include <climits>
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

void CSystemClock::SleepUntilMs(uint64_t tickMs) {
    // In pieces of a day at most, so that no tick, however far, overflows the sleep's own arithmetic.
    constexpr uint64_t kLongestSleepMs = 24ull * 3600 * 1000;
    for (uint64_t now = TickMs(); now < tickMs; now = TickMs()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(tickMs - now, kLongestSleepMs)));
    }
}

std::chrono::milliseconds CSystemClock::RealSlice(uint64_t remainingMs) {
    return std::chrono::milliseconds(remainingMs);
}

IClock& GetClock() {
    return *g_Clock.load(std::memory_order_acquire);
}

void SetClockForTesting(IClock* clock) {
    g_Clock.store(clock != nullptr ? clock : &g_SystemClock, std::memory_order_release);
}

CClockDeadline::CClockDeadline(uint64_t tickMs) : m_Clock(GetClock()), m_TickMs(tickMs) {}

CClockDeadline CClockDeadline::After(uint64_t ms) {
    return CClockDeadline(GetClock().TickMs() + ms);
}

bool CClockDeadline::Passed() {
    return m_Clock.TickMs() >= m_TickMs;
}

uint64_t CClockDeadline::Left() {
    const uint64_t now = m_Clock.TickMs();
    return now >= m_TickMs ? 0 : m_TickMs - now;
}

std::chrono::milliseconds CClockDeadline::RealSlice() {
    return m_Clock.RealSlice(Left());
}

int CClockDeadline::RealSliceMs() {
    return static_cast<int>(std::min<int64_t>(RealSlice().count(), INT_MAX));
}

int CClockDeadline::PollSliceMs() {
    return static_cast<int>(std::min<int64_t>(m_Clock.PollSlice(Left()).count(), INT_MAX));
}
