#pragma once

// Clang's thread-safety attributes, so that clang -Wthread-safety checks which lock guards what.
// Other compilers see nothing. The analysis does not model recursive locks (CLock): functions that
// take a lock their caller may already hold carry no TS_EXCLUDES, so such re-entry is not checked.
#if defined(__clang__)
#define TS_ATTRIBUTE(x) __attribute__((x))
#else
#define TS_ATTRIBUTE(x)
#endif

#define TS_CAPABILITY(name) TS_ATTRIBUTE(capability(name))
#define TS_SCOPED_CAPABILITY TS_ATTRIBUTE(scoped_lockable)
#define TS_GUARDED_BY(lock) TS_ATTRIBUTE(guarded_by(lock))
#define TS_PT_GUARDED_BY(lock) TS_ATTRIBUTE(pt_guarded_by(lock))
#define TS_ACQUIRE(...) TS_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define TS_RELEASE(...) TS_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TS_REQUIRES(...) TS_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define TS_EXCLUDES(...) TS_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define TS_RETURN_CAPABILITY(lock) TS_ATTRIBUTE(lock_returned(lock))
#define TS_NO_THREAD_SAFETY_ANALYSIS TS_ATTRIBUTE(no_thread_safety_analysis)
