// Clang's thread-safety attributes, so the compiler checks which lock guards what: a member
// marked GUARDED_BY(m) may be touched only with m held, a function marked REQUIRES(m) only be
// called with it held, one marked EXCLUDES(m) only without it. `make thread-safety` builds with
// clang and -Wthread-safety -Werror; other compilers see empty macros.
#pragma once

#if defined(__clang__)
#define MINTRAKEL_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define MINTRAKEL_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) MINTRAKEL_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY MINTRAKEL_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) MINTRAKEL_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) MINTRAKEL_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) MINTRAKEL_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) MINTRAKEL_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) MINTRAKEL_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MINTRAKEL_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) MINTRAKEL_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) MINTRAKEL_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS MINTRAKEL_THREAD_ATTRIBUTE(no_thread_safety_analysis)
