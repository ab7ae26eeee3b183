#include "platform/Poll.h"

#include <chrono>
#include <poll.h>

#include "platform/Clock.h"
#include "platform/OsError.h"

int PollWithDeadline(pollfd* fds, size_t count, int ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    return RetryOnEintr([&] {
        int wait = -1;
        if (ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        return ::poll(fds, count, wait);
    });
}

int PollItems(std::vector<CPollItem>& items, int ms, COsError* error) {
    std::vector<pollfd> fds(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        fds[i].fd = items[i].Fd;
        fds[i].events = static_cast<short>((items[i].WantRead ? POLLIN : 0) | (items[i].WantWrite ? POLLOUT : 0));
        items[i].Readable = items[i].Writable = items[i].Broken = false;
    }
    const int rc = PollWithDeadline(fds.data(), fds.size(), ms);
    if (rc < 0) {
        StoreErrno(error);
    }
    if (rc > 0) {
        for (size_t i = 0; i < items.size(); ++i) {
            items[i].Readable = (fds[i].revents & POLLIN) != 0;
            items[i].Writable = (fds[i].revents & POLLOUT) != 0;
            items[i].Broken = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        }
    }
    return rc;
}

int PollItemsUntil(std::vector<CPollItem>& items, uint64_t deadlineTickMs, COsError* error) {
    CClockDeadline deadline(deadlineTickMs);
    for (;;) {
        const int rc = PollItems(items, deadline.PollSliceMs(), error);
        if (rc != 0 || deadline.Passed()) {
            return rc;
        }
    }
}
