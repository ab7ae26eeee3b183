#include "common/Wait.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

#include "common/TempDir.h"
#include "platform/Clock.h"

namespace {
std::string ProcFolder(pid_t pid) {
    return pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
}
} // namespace

bool WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs, uint32_t pollMs) {
    CSystemClock real;
    const uint64_t deadline = real.TickMs() + timeoutMs;
    while (!condition()) {
        if (real.TickMs() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
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

bool WaitForThreadCount(int count, uint32_t timeoutMs) {
    return WaitUntil([count] { return CountEntries("/proc/self/task") == count; }, timeoutMs);
}

long ProcessStatusField(pid_t pid, const std::string& name) {
    std::istringstream status(ReadFileBytes(ProcFolder(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, name.size(), name) == 0) {
            return std::atol(line.c_str() + name.size());
        }
    }
    return -1;
}

long ProcessDescriptorCount(pid_t pid) {
    std::error_code ec;
    long count = 0;
    for (std::filesystem::directory_iterator it(ProcFolder(pid) + "/fd", ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    return ec ? -1 : count;
}
