#pragma once
// Real-time waits and process counts that tests of threaded code share.

#include <cstdint>
#include <functional>

// Polls |condition| every real millisecond, whatever clock the test has put in place, for at most
// |timeoutMs|; true once it holds.
bool WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs = 10000);

// The number of entries in |folder|: "/proc/self/fd" counts open descriptors, "/proc/self/task" threads.
int CountEntries(const char* folder);
