#include "peers/PeerProgram.h"

#include "platform/ProcessSignals.h"

bool TakeArgument(int argc, char** argv, int* i, std::string* out) {
    if (*i + 1 >= argc) {
        return false;
    }
    *out = argv[++*i];
    return true;
}

CStopSignals::CStopSignals() {
    BlockTerminationSignals();
    IgnoreBrokenPipeSignal();
}

void CStopSignals::RunUntilStop(const std::function<void()>& each) {
    for (;;) {
        const int signal = WaitForTerminationSignalMs(200);
        each();
        if (signal != 0) {
            return;
        }
    }
}
