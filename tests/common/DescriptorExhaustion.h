#pragma once
// Leaves the test process without a free file descriptor while it lives, as a process that has run out of
// them: every socket, file or pipe it tries to open fails with EMFILE, also after it closes one. The
// descriptors open before stay usable.
//
// Under the undefined-behaviour sanitizer, run the code under test once before: its check of an object's
// dynamic type needs a pipe the first time it meets a class, and reports a false error without one.

#include <sys/resource.h>

// Not thread-safe, and not for nesting: the descriptor limit belongs to the whole process.
class CDescriptorExhaustion {
public:
    CDescriptorExhaustion();
    // Puts the limit back.
    ~CDescriptorExhaustion();
    CDescriptorExhaustion(const CDescriptorExhaustion&) = delete;
    CDescriptorExhaustion& operator=(const CDescriptorExhaustion&) = delete;

    // Whether no descriptor can be had (the limit could be lowered).
    bool Exhausted() const { return m_Exhausted; }

private:
    rlimit m_Saved{};
    bool m_Lowered = false;
    bool m_Exhausted = false;
    int m_Filler = -1; // descriptor 0, when it was free
};
