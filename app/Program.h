#pragma once
// The program. Started by hand where a display can be opened, it shows its window (app/WindowShell.h), which
// starts the interfaces once it exists and stops them when it closes. Otherwise it runs without one: the
// application object's start-up, the interfaces started at once, then a wait for SIGTERM or SIGINT, which runs
// the shut-down and the exit. Service mode ("/started_as_service") never opens a window and shows nothing;
// started by hand without a display, the operator's messages and questions use the terminal.

#include <string>

// Names the POS clients' port (default 9100; 0 lets the system choose, and the log says which port it got).
inline constexpr char kPosPortVariable[] = "KESTROVE_POS_PORT";

// Runs the whole program; returns the process's exit code: 0 after a signalled shut-down, 1 when the start-up
// failed. Must be called by main before any other thread exists.
int RunKestrove(int argc, char** argv);

// The command line as one text: the arguments separated by single spaces.
std::string JoinCommandLine(int argc, char** argv);
// The POS port from $KESTROVE_POS_PORT, or 9100 when it is unset or not a port number.
int PosPortFromEnvironment();
