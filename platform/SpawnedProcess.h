#pragma once
// A child program started with posix_spawn, and the wait for its end.
//
// The child inherits the caller's environment and current folder and only its standard input, output and
// error: every other descriptor is closed in the child, whether or not it was opened close-on-exec. It starts
// with no signal blocked and every signal at its default action, whatever this process blocks or ignores.

#include <string>
#include <vector>

// Owns one child until it is reaped or released. Not thread-safe: one thread starts, waits and asks.
class CSpawnedProcess {
public:
    CSpawnedProcess() = default;
    ~CSpawnedProcess() { Release(); }
    CSpawnedProcess(const CSpawnedProcess&) = delete;
    CSpawnedProcess& operator=(const CSpawnedProcess&) = delete;

    // Releases an earlier child, then starts |program| (a path: the search path is not used) with |program| as
    // its argument 0 and |arguments| after it. False with errno set (also when the program cannot be run).
    bool Start(const std::string& program, const std::vector<std::string>& arguments);
    bool Started() const { return m_Pid > 0; }
    int Pid() const { return m_Pid; }

    // Blocks in the kernel until the child ends (no polling); false when there is no child or the wait fails.
    bool Wait();
    // Without waiting: whether the child has ended.
    bool HasExited();
    // The exit status (0 to 255), or 128 + the signal that ended it; -1 while it runs or without a child.
    int ExitCode() const { return m_ExitCode; }

    // Forgets the child: one that has ended is reaped; one still running runs on, unwatched.
    void Release();

private:
    bool Reap(bool wait);

    int m_Pid = -1;
    bool m_Reaped = false;
    int m_ExitCode = -1;
};
