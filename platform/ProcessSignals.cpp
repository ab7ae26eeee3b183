#include "platform/ProcessSignals.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace {
sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
} // namespace

void BlockTerminationSignals() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForTerminationSignal() {
    const sigset_t set = TerminationSet();
    for (;;) {
        int number = 0;
        const int rc = sigwait(&set, &number);
        if (rc == 0) {
            return number;
        }
        if (rc != EINTR) {
            // The set is valid, so this does not happen; treat it as a request to stop rather than spin.
            return SIGTERM;
        }
    }
}

void IgnoreBrokenPipeSignal() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool StandardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

int CurrentProcessId() {
    return static_cast<int>(::getpid());
}
