#include "common/Wait.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/Clock.h"

bool WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs) {
    CSystemClock real;
    const uint64_t deadline = real.TickMs() + timeoutMs;
    while (!condition()) {
        if (real.TickMs() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int CountEntries(const char* folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}
