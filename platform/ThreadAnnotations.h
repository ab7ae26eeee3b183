#pragma once
// Clang's thread-safety attributes, which -Wthread-safety checks; empty for other compilers. They go on CMutex
// (platform/Mutex.h) and on the members and functions it guards.

#if defined(__clang__)
#define KESTROVE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KESTROVE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KESTROVE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KESTROVE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KESTROVE_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KESTROVE_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KESTROVE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KESTROVE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KESTROVE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KESTROVE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KESTROVE_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KESTROVE_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) KESTROVE_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) KESTROVE_THREAD_ANNOTATION(lock_returned(x))
// The escape: the analysis is switched off for one function, which says why.
#define NO_THREAD_SAFETY_ANALYSIS KESTROVE_THREAD_ANNOTATION(no_thread_safety_analysis)
