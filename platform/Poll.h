#pragma once
// A readiness wait over many descriptors at once, for the threads that serve several sockets alone.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/OsError.h"

// One descriptor of a PollItems call: what to wait for, and what was found.
struct CPollItem {
    int Fd = -1;
    bool WantRead = false;
    bool WantWrite = false;
    bool Readable = false;
    bool Writable = false;
    // Error or hang-up: the next call on the descriptor tells which.
    bool Broken = false;
};

struct pollfd;

// poll() over |count| descriptors, EINTR retried against one deadline of |ms| real milliseconds (negative:
// without limit): the number of ready descriptors, 0 on time-out, -1 with errno set.
int PollWithDeadline(pollfd* fds, size_t count, int ms);

// Waits until one of |items| is ready, or |ms| real milliseconds (negative: without limit), and fills in the
// result flags. Returns the number of ready items, 0 on time-out, -1 with errno set and the cause in |*error|
// (when given). EINTR is retried.
int PollItems(std::vector<CPollItem>& items, int ms, COsError* error = nullptr);

// The same until the clock seam's TickMs() reaches |deadlineTickMs| (0 at once when it has): one poll with the
// system clock, steps of a test clock's slice otherwise.
int PollItemsUntil(std::vector<CPollItem>& items, uint64_t deadlineTickMs, COsError* error = nullptr);
