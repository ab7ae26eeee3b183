#pragma once
// Starts another program and waits for it. The command line is split into arguments by the rules a Windows
// program's C runtime applies (blanks separate, double quotes group, backslashes escape quotes); the program
// path is argument 0. A program starts at once: there is no suspended start to resume on Linux.
//
// WaitForExit blocks in the kernel until the program ends; a thread that must keep a window painted meanwhile
// waits on another thread. Not thread-safe: one thread uses an object.

#include <cstdint>
#include <vector>

#include "kxlib/kxString.h"
#include "platform/SpawnedProcess.h"

class kxProcess {
public:
    kxProcess() = default;
    ~kxProcess() { CloseHandles(); }
    kxProcess(const kxProcess&) = delete;
    kxProcess& operator=(const kxProcess&) = delete;

    // Forgets an earlier program, then starts |programPath| with the arguments of |commandLine|, waiting for
    // its end with |wait|. False for an empty path; a program that cannot be started throws "Failed to start
    // application (%s) with command line (%s).".
    bool Start(const kxString& programPath, const kxString& commandLine, bool wait = false);
    // Waits for the program's end: true when it ended, false without a program or when the wait fails.
    bool WaitForExit();
    // The exit status (128 + the signal for a program a signal ended); 0 without a program or while it runs.
    uint32_t GetExitCode();
    bool HasExited();
    // Forgets the program; one that still runs runs on.
    void CloseHandles();
    // 0 without a program.
    int ProcessId() const { return m_Process.Started() ? m_Process.Pid() : 0; }

    // The arguments of a command line, as a Windows program's C runtime splits it.
    static std::vector<kxString> SplitCommandLine(const kxString& commandLine);

private:
    CSpawnedProcess m_Process;
};
