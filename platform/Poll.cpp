#include "platform/Poll.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <poll.h>

#include "platform/Clock.h"

int PollWithDeadline(pollfd* fds, size_t count, int ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        int wait = -1;
        if (ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        const int rc = ::poll(fds, count, wait);
        if (rc >= 0 || errno != EINTR) {
            return rc;
        }
    }
}

int PollItems(std::vector<CPollItem>& items, int ms) {
    std::vector<pollfd> fds(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        fds[i].fd = items[i].Fd;
        fds[i].events = static_cast<short>((items[i].WantRead ? POLLIN : 0) | (items[i].WantWrite ? POLLOUT : 0));
        items[i].Readable = items[i].Writable = items[i].Broken = false;
    }
    const int rc = PollWithDeadline(fds.data(), fds.size(), ms);
    if (rc > 0) {
        for (size_t i = 0; i < items.size(); ++i) {
            items[i].Readable = (fds[i].revents & POLLIN) != 0;
            items[i].Writable = (fds[i].revents & POLLOUT) != 0;
            items[i].Broken = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        }
    }
    return rc;
}

int PollItemsOnClock(std::vector<CPollItem>& items, uint64_t ms) {
    CClockDeadline deadline(ms);
    for (;;) {
        const int rc = PollItems(items, deadline.PollSliceMs());
        if (rc != 0 || deadline.Passed()) {
            return rc;
        }
    }
}

CClockDeadline::CClockDeadline(uint64_t ms) : m_Clock(GetClock()), m_Deadline(m_Clock.TickMs() + ms) {}

uint64_t CClockDeadline::Left() {
    const uint64_t now = m_Clock.TickMs();
    return now >= m_Deadline ? 0 : m_Deadline - now;
}

int CClockDeadline::PollSliceMs() {
    return static_cast<int>(std::min<int64_t>(m_Clock.PollSlice(Left()).count(), INT_MAX));
}

int CClockDeadline::RealSliceMs() {
    return static_cast<int>(std::min<int64_t>(m_Clock.RealSlice(Left()).count(), INT_MAX));
}

bool CClockDeadline::Passed() {
    return m_Clock.TickMs() >= m_Deadline;
}
