#include "platform/ProcessSignals.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/OsError.h"

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

int WaitForTerminationSignalMs(unsigned ms) {
    const sigset_t set = TerminationSet();
    const timespec slice{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    const int number = sigtimedwait(&set, nullptr, &slice);
    return number > 0 ? number : 0;
}

CTerminationSignalFd::CTerminationSignalFd() {
    const sigset_t set = TerminationSet();
    m_Fd = CSocketFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

int CTerminationSignalFd::Take() {
    signalfd_siginfo info{};
    const ssize_t got = RetryOnEintr([&] { return ::read(m_Fd.Get(), &info, sizeof info); });
    return got == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
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
