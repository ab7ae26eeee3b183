#include "platform/PollableEvent.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

CPollableEvent::CPollableEvent(bool initialState) : m_Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (initialState) {
        Set();
    }
}

void CPollableEvent::Set() {
    if (!m_Fd.Valid()) {
        return;
    }
    const uint64_t one = 1;
    // Fails only when the counter is saturated, and then the event is set anyway.
    while (::write(m_Fd.Get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void CPollableEvent::Reset() {
    if (!m_Fd.Valid()) {
        return;
    }
    uint64_t count = 0;
    // One read empties the counter; EAGAIN means it was not set.
    while (::read(m_Fd.Get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool CPollableEvent::IsSet() const {
    if (!m_Fd.Valid()) {
        return false;
    }
    pollfd p{m_Fd.Get(), POLLIN, 0};
    int rc = 0;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & POLLIN) != 0;
}
