#pragma once
// A readiness wait over many descriptors at once, for the threads that serve several sockets alone.

#include <vector>

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

// Waits until one of |items| is ready, or |ms| real milliseconds (negative: without limit), and fills in the
// result flags. Returns the number of ready items, 0 on time-out, -1 with errno set. EINTR is retried.
int PollItems(std::vector<CPollItem>& items, int ms);
