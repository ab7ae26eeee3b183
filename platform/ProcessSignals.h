#pragma once
// Process-level signals and the terminal: how a headless program learns that it must shut down, and whether
// an operator sits at its standard input.

// Blocks SIGTERM and SIGINT in the calling thread. Called first thing in main, before any thread exists, so
// that every thread inherits the mask and the signals stay pending until WaitForTerminationSignal takes one.
void BlockTerminationSignals();

// Waits without limit for SIGTERM or SIGINT (blocked beforehand) and returns its number.
int WaitForTerminationSignal();

// Waits at most |ms| real milliseconds for SIGTERM or SIGINT (blocked beforehand): its number, or 0 when none
// came.
int WaitForTerminationSignalMs(unsigned ms);

// Makes a write to a pipe or socket whose reader has gone fail with EPIPE instead of ending the process.
void IgnoreBrokenPipeSignal();

// Whether standard input is a terminal (someone may answer a question there).
bool StandardInputIsTerminal();

// The calling process's id.
int CurrentProcessId();
