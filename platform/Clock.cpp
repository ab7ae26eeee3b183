#include "platform/Clock.h"

#include <algorithm>
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
