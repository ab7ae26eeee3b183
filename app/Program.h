#pragma once
// The program. Started by hand where a display can be opened, it shows its window (window/WindowShell.h), which
// starts the interfaces once it exists and stops them when it closes. Otherwise it runs without one: the
// application object's start-up, the interfaces started at once, then a wait for SIGTERM or SIGINT, which runs
// the shut-down and the exit. Service mode ("/started_as_service") never opens a window and shows nothing;
// started by hand without a display, the operator's messages and questions use the terminal.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/RecentFileList.h"

// Names the POS clients' port (default 9100; 0 lets the system choose, and the log says which port it got).
inline constexpr char kPosPortVariable[] = "KESTROVE_POS_PORT";
// How many host exchanges may run at once (default 32, at most 1024).
inline constexpr char kHostWorkersVariable[] = "KESTROVE_HOST_WORKERS";
// Shortens the shut-down's settle period for late POS sessions (milliseconds, 0 to 5000; default 5000), so
// that the tests of the whole program do not wait it out at every stop.
inline constexpr char kClientSettleVariable[] = "KESTROVE_CLIENT_SETTLE_MS";
// The allocator keeps at most this many arenas: enough that the host workers and sessions seldom wait for
// one another, few enough that what a load left free goes back to the system.
inline constexpr int kAllocatorArenas = 4;

// What the window adds to the program. The window's folder is the one above this and the only one that links the
// toolkit, so the executable's main, which sees both, hands these in.
struct SProgramWindow {
    // Opens the window when a display can be opened and runs the program with it: the process's exit code.
    // Nothing, with |whyNot| the log line saying that the program runs in the terminal, when no display can be
    // opened. Called on the main thread, after the termination signals are blocked and before any other thread.
    std::function<std::optional<int>(int argc, char** argv, const std::string& commandLine, std::string* whyNot)> run;
    // Reads the user's recent-file list, which the start-up reads in every mode.
    RecentFileReader readRecentFiles;
};

// Runs the whole program; returns the process's exit code (app/StartFailure.h): 0 after a signalled shut-down
// (or after --help and --version), 2 for an unknown "-" option; when the start-up failed (in service mode also
// when the interfaces did not all start) 1 for a cause that may pass by itself, else the status of the cause an
// operator must mend. Must be called by main before any other thread exists.
int RunKestrove(int argc, char** argv, const SProgramWindow& window);

// What the "-" options of the command line ask for. The switches of the program's own ("/started_as_service",
// "/device_id=") and any other argument are the application object's business.
enum class EProgramOptions {
    Run,     // no "-" option: start the server
    Help,    // "--help" or "-h": the usage text on standard output, exit 0
    Version, // "--version": the version on standard output, exit 0
    Unknown, // any other argument starting with "-": the usage on standard error, exit 2
};
// The first "-" argument decides; |unknown| (when given) receives it when it is not one of ours.
EProgramOptions ReadProgramOptions(int argc, char** argv, std::string* unknown = nullptr);
// The usage text: the switches, the environment variables and the files kept in the current folder.
std::string UsageText();

// The command line as one text: the arguments separated by single spaces.
std::string JoinCommandLine(int argc, char** argv);
// The POS port from $KESTROVE_POS_PORT, or 9100 when it is unset or not a port number.
int PosPortFromEnvironment();
// The number of host workers from $KESTROVE_HOST_WORKERS, or kDefaultHostWorkers when it is unset or not a
// number from 1 to kMaxHostWorkers.
int HostWorkersFromEnvironment();
// The settle period from $KESTROVE_CLIENT_SETTLE_MS, or CInterfaceController::kDefaultClientSettleMs when it is
// unset or not a number from 0 to that default.
uint64_t ClientSettleMsFromEnvironment();
