#pragma once
// Leaves the test process without a free file descriptor while it lives, as a process that has run out of
// them: every socket, file or pipe it tries to open fails with EMFILE. The descriptors open before stay usable.
//
// Under the undefined-behaviour sanitizer, run the code under test once before: its check of an object's
// dynamic type needs a pipe the first time it meets a class, and reports a false error without one.

#include <sys/resource.h>
#include <vector>

// Not thread-safe, and not for nesting: the descriptor limit belongs to the whole process.
class CDescriptorExhaustion {
public:
    enum class Way {
        // The limit lowered to 1: no descriptor can be had, also after one is closed. poll() then refuses to
        // watch more than one descriptor (EINVAL), which a process that has run out never sees.
        LowerLimit,
        // Every descriptor up to the limit taken (the limit lowered to a few hundred first, so that this is
        // quick): poll() watches as many as before, as in a process that has really run out; a descriptor
        // closed meanwhile can be had again.
        FillUpToLimit,
    };

    explicit CDescriptorExhaustion(Way way = Way::LowerLimit);
    // Puts the limit back and closes what it took.
    ~CDescriptorExhaustion();
    CDescriptorExhaustion(const CDescriptorExhaustion&) = delete;
    CDescriptorExhaustion& operator=(const CDescriptorExhaustion&) = delete;

    // Whether no descriptor can be had (the limit could be lowered).
    bool Exhausted() const { return m_Exhausted; }

private:
    rlimit m_Saved{};
    bool m_Lowered = false;
    bool m_Exhausted = false;
    int m_Filler = -1;          // descriptor 0, when it was free
    std::vector<int> m_Fillers; // the descriptors FillUpToLimit took
};
