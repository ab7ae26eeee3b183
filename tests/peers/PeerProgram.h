#pragma once
// What the peer programs share besides their servers: taking an option's value from the command line, and
// running until SIGINT or SIGTERM.

#include <functional>
#include <string>

// The argument after argv[*i] into |out|, moving *i on; false when there is none.
bool TakeArgument(int argc, char** argv, int* i, std::string* out);

// Blocks SIGINT and SIGTERM for every thread made afterwards (they end the program through RunUntilStop, not
// through a handler) and ignores SIGPIPE. Make it on the main thread before any other thread exists.
class CStopSignals {
public:
    CStopSignals();
    // Calls |each| every 200 ms, and once more when SIGINT or SIGTERM has come; then returns.
    void RunUntilStop(const std::function<void()>& each);
};
