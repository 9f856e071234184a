// Clang's thread-safety attributes, so the compiler checks which lock guards
// what (-Wthread-safety, the linux-tsan preset, whose tests are built with clang). Other compilers
// ignore them.
#pragma once

#if defined(__clang__)
#define KX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KX_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(x) KX_THREAD_ANNOTATION(capability(x))
// A type that holds a lock for its scope.
#define SCOPED_CAPABILITY KX_THREAD_ANNOTATION(scoped_lockable)
// A member read or written only with the lock held.
#define GUARDED_BY(x) KX_THREAD_ANNOTATION(guarded_by(x))
// A function the caller calls with the lock held.
#define REQUIRES(...) KX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function the caller calls without the lock (it takes it itself).
#define EXCLUDES(...) KX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// A function that takes the lock when it returns value (a literal: the
// analysis follows only comparisons with one).
#define TRY_ACQUIRE(...) KX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RELEASE(...) KX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The lock order: this lock is taken before, or after, those named
// (-Wthread-safety-beta checks it).
#define ACQUIRED_BEFORE(...) KX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// Tells the analysis the lock is held here, where it cannot see it taken.
#define ASSERT_CAPABILITY(x) KX_THREAD_ANNOTATION(assert_capability(x))
// For the few functions whose locking the analysis cannot follow: a lock
// taken in one call and let go in another, or state touched where no other
// thread can be (a forked child, process exit).
#define NO_THREAD_SAFETY_ANALYSIS KX_THREAD_ANNOTATION(no_thread_safety_analysis)
