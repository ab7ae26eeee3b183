#include "platform/ProcessLimits.h"

#include <fstream>
#include <malloc.h>
#include <sys/resource.h>

namespace {
// The kernel's ceiling on a descriptor limit (fs.nr_open); 1048576, its default, when it cannot be read.
uint64_t KernelDescriptorCeiling() {
    std::ifstream in("/proc/sys/fs/nr_open");
    uint64_t value = 0;
    if (in >> value && value > 0) {
        return value;
    }
    return 1048576;
}
} // namespace

SDescriptorLimit RaiseDescriptorLimit() {
    SDescriptorLimit result;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return result;
    }
    result.before = limit.rlim_cur;
    result.hard = limit.rlim_max;
    const rlim_t target = limit.rlim_max == RLIM_INFINITY ? KernelDescriptorCeiling() : limit.rlim_max;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < target) {
        rlimit raised = limit;
        raised.rlim_cur = target;
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            result.after = limit.rlim_cur;
            return result;
        }
        limit = raised;
    }
    result.after = limit.rlim_cur;
    result.ok = true;
    return result;
}

bool BoundAllocatorArenas(int count) {
    return ::mallopt(M_ARENA_MAX, count) == 1;
}

void ReleaseFreeMemory() {
    ::malloc_trim(0);
}
