#pragma once
// Process-level signals and the terminal: how a headless program learns that it must shut down, and whether
// an operator sits at its standard input.

#include "platform/Socket.h"

// Blocks SIGTERM and SIGINT in the calling thread. Called first thing in main, before any thread exists, so
// that every thread inherits the mask and the signals stay pending until WaitForTerminationSignal takes one.
void BlockTerminationSignals();

// Waits without limit for SIGTERM or SIGINT (blocked beforehand) and returns its number.
int WaitForTerminationSignal();

// Waits at most |ms| real milliseconds for SIGTERM or SIGINT (blocked beforehand): its number, or 0 when none
// came.
int WaitForTerminationSignalMs(unsigned ms);

// SIGTERM and SIGINT (blocked beforehand) as a descriptor, for a program whose main thread runs an event loop
// on descriptors instead of waiting in WaitForTerminationSignal: it becomes readable while one is pending.
// Owns the descriptor. Not thread-safe: the thread that runs the loop uses it.
class CTerminationSignalFd {
public:
    CTerminationSignalFd();
    CTerminationSignalFd(const CTerminationSignalFd&) = delete;
    CTerminationSignalFd& operator=(const CTerminationSignalFd&) = delete;

    // False when the system gave no descriptor; the signals then stay pending, unheard.
    bool Valid() const { return m_Fd.Valid(); }
    int Fd() const { return m_Fd.Get(); }
    // Takes one pending signal: its number, or 0 when none is pending.
    int Take();

private:
    CSocketFd m_Fd;
};

// Makes a write to a pipe or socket whose reader has gone fail with EPIPE instead of ending the process.
void IgnoreBrokenPipeSignal();

// Whether standard input is a terminal (someone may answer a question there).
bool StandardInputIsTerminal();

// The calling process's id.
int CurrentProcessId();
