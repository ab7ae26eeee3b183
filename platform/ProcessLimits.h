#pragma once
// The process's resource limits and its allocator: how many descriptors it may hold open, and how much freed
// memory the allocator keeps in arenas of its own instead of giving it back.

#include <cstdint>

// The descriptor limit before and after a raise.
struct SDescriptorLimit {
    bool ok = false;     // the limits could be read (and, where needed, raised)
    uint64_t before = 0; // the soft limit found
    uint64_t after = 0;  // the soft limit in force now
    uint64_t hard = 0;   // the hard limit, which an unprivileged process cannot pass
};

// Raises the soft limit on open descriptors (RLIMIT_NOFILE) to the hard limit. For the main thread at start,
// before other threads exist. A hard limit of "unlimited" is not a descriptor count: the soft limit is then
// raised to the largest count the kernel allows instead.
SDescriptorLimit RaiseDescriptorLimit();

// Caps the number of allocator arenas at |count| (M_ARENA_MAX). Without a cap every thread that allocates
// under contention may get an arena of its own, and memory freed there after a load stays with the process.
// For the main thread at start, before other threads exist; false when the allocator refused.
bool BoundAllocatorArenas(int count);

// Gives the memory the allocator holds free back to the system (malloc_trim). Any thread.
void ReleaseFreeMemory();
