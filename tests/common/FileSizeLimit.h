#pragma once
// A disk that fills up, for tests of what a failed write does: a limit on the size of the files this process
// writes.

#include <csignal>
#include <sys/resource.h>

// While it lives, no file of this process may grow past |bytes| (a write beyond fails with EFBIG instead of
// raising SIGXFSZ): a disk that fills up in the middle of a write. For the test thread; the limit holds for
// every thread of the process.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t bytes);
    ~CFileSizeLimit();
    CFileSizeLimit(const CFileSizeLimit&) = delete;
    CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;

    // False when the limit could not be set.
    bool Set() const { return m_Set; }

private:
    rlimit m_Previous{};
    void (*m_PreviousHandler)(int) = SIG_DFL;
    bool m_Set = false;
};
