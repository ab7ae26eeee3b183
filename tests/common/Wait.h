#pragma once
// Real-time waits and process counts that tests and benchmarks of threaded code share.

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

// Polls |condition| every |pollMs| real milliseconds, whatever clock the test has put in place, for at most
// |timeoutMs|; true once it holds.
bool WaitUntil(const std::function<bool()>& condition, uint32_t timeoutMs = 10000, uint32_t pollMs = 1);

// The number of entries in |folder|: "/proc/self/fd" counts open descriptors, "/proc/self/task" threads.
int CountEntries(const char* folder);

// Waits (at most |timeoutMs|) until this process has |count| threads; true once it has. A thread that was
// joined leaves /proc/self/task a moment after the join returns, not at once: compare counts through this.
bool WaitForThreadCount(int count, uint32_t timeoutMs = 5000);

// A number field of /proc/<pid>/status ("Threads:", "VmRSS:" and "VmHWM:" in kB, ...) of process |pid| (0: this
// one); -1 when it cannot be read.
long ProcessStatusField(pid_t pid, const std::string& name);
// The descriptors process |pid| holds open now; -1 when they cannot be listed.
long ProcessDescriptorCount(pid_t pid);
