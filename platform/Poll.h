#pragma once
// A readiness wait over many descriptors at once, for the threads that serve several sockets alone.

#include <cstddef>
#include <cstdint>
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

struct pollfd;
class IClock;

// The end of a wait of some milliseconds on the clock seam, and how long one poll() may block before it: with the
// system clock the whole rest at once, with a test clock a slice, so that the test's moves are seen. Not
// thread-safe: one waiting thread owns it.
class CClockDeadline {
public:
    explicit CClockDeadline(uint64_t ms);
    // The clock's PollSlice of what is left, as poll()'s int milliseconds.
    int PollSliceMs();
    // The same with RealSlice, for a wait that must look at a test clock every millisecond or two.
    int RealSliceMs();
    bool Passed();

private:
    uint64_t Left();

    IClock& m_Clock;
    uint64_t m_Deadline;
};

// poll() over |count| descriptors, EINTR retried against one deadline of |ms| real milliseconds (negative:
// without limit): the number of ready descriptors, 0 on time-out, -1 with errno set.
int PollWithDeadline(pollfd* fds, size_t count, int ms);

// Waits until one of |items| is ready, or |ms| real milliseconds (negative: without limit), and fills in the
// result flags. Returns the number of ready items, 0 on time-out, -1 with errno set. EINTR is retried.
int PollItems(std::vector<CPollItem>& items, int ms);

// The same for at most |ms| of the clock seam: one poll with the system clock, steps of a test clock's slice
// otherwise.
int PollItemsOnClock(std::vector<CPollItem>& items, uint64_t ms);
