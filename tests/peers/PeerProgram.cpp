#include "peers/PeerProgram.h"

#include <ctime>

bool TakeArgument(int argc, char** argv, int* i, std::string* out) {
    if (*i + 1 >= argc) {
        return false;
    }
    *out = argv[++*i];
    return true;
}

CStopSignals::CStopSignals() {
    sigemptyset(&m_Signals);
    sigaddset(&m_Signals, SIGINT);
    sigaddset(&m_Signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_Signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void CStopSignals::RunUntilStop(const std::function<void()>& each) {
    for (;;) {
        const timespec slice{0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&m_Signals, nullptr, &slice);
        each();
        if (signal == SIGINT || signal == SIGTERM) {
            return;
        }
    }
}
