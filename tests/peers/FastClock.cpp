#include "peers/FastClock.h"

#include <algorithm>

namespace {
constexpr uint64_t kMaxRealSliceMs = 2;
} // namespace

CFastClock::CFastClock(uint32_t factor)
    : m_Factor(factor == 0 ? 1 : factor), m_RealStart(m_Real.TickMs()), m_WallStart(m_Real.WallNow()) {}

uint64_t CFastClock::NowLocked() {
    if (m_Held) {
        return m_HeldAt;
    }
    return m_TickStart + (m_Real.TickMs() - m_RealStart) * m_Factor + static_cast<uint64_t>(m_Offset);
}

uint64_t CFastClock::TickMs() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return NowLocked();
}

std::chrono::system_clock::time_point CFastClock::WallNow() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_WallStart + std::chrono::milliseconds(NowLocked() - m_TickStart);
}

void CFastClock::SleepMs(uint64_t ms) {
    std::unique_lock<std::mutex> lock(m_Lock);
    const uint64_t until = NowLocked() + ms;
    for (uint64_t now = NowLocked(); now < until; now = NowLocked()) {
        const uint64_t realMs = std::clamp<uint64_t>((until - now + m_Factor - 1) / m_Factor, 1, kMaxRealSliceMs);
        m_Changed.wait_for(lock, std::chrono::milliseconds(realMs));
    }
}

std::chrono::milliseconds CFastClock::RealSlice(uint64_t remainingMs) {
    if (remainingMs == 0) {
        return std::chrono::milliseconds(0);
    }
    const uint64_t realMs = (remainingMs + m_Factor - 1) / m_Factor;
    return std::chrono::milliseconds(std::clamp<uint64_t>(realMs, 1, kMaxRealSliceMs));
}

void CFastClock::Jump(uint64_t ms) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Held) {
        m_HeldAt += ms;
    } else {
        m_Offset += static_cast<int64_t>(ms);
    }
    m_Changed.notify_all();
}

void CFastClock::Hold(bool on) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (on == m_Held) {
        return;
    }
    if (on) {
        m_HeldAt = NowLocked();
        m_Held = true;
    } else {
        m_Held = false;
        const uint64_t running = NowLocked();
        m_Offset += static_cast<int64_t>(m_HeldAt) - static_cast<int64_t>(running);
    }
    m_Changed.notify_all();
}
