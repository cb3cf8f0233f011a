#pragma once

// Attributes of clang's thread-safety analysis (-Wthread-safety): which lock guards a member,
// which locks a function needs, takes or releases. On a compiler without the attributes (g++)
// every macro expands to nothing.
//
// The analysis treats a capability as non-recursive: a second scoped acquisition of a held CLock
// in the same function is reported, although CLock allows it. Code that relies on re-entry goes
// through a function that takes the lock itself (not marked REQUIRES).

#if defined(__clang__) && defined(__has_attribute)
#if __has_attribute(capability)
#define TOLLIVAR_THREAD_ANNOTATION(x) __attribute__((x))
#endif
#endif
#ifndef TOLLIVAR_THREAD_ANNOTATION
#define TOLLIVAR_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks; `kind` names them in the messages ("mutex").
#define CAPABILITY(kind) TOLLIVAR_THREAD_ANNOTATION(capability(kind))
// A class whose objects hold a lock from their construction to their destruction.
#define SCOPED_CAPABILITY TOLLIVAR_THREAD_ANNOTATION(scoped_lockable)

// A data member that is read and written only while the lock is held.
#define GUARDED_BY(lock) TOLLIVAR_THREAD_ANNOTATION(guarded_by(lock))
// A pointer member whose pointee is read and written only while the lock is held.
#define PT_GUARDED_BY(lock) TOLLIVAR_THREAD_ANNOTATION(pt_guarded_by(lock))

// The caller must hold the locks.
#define REQUIRES(...) TOLLIVAR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the locks (the function takes them).
#define EXCLUDES(...) TOLLIVAR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function takes the locks (without arguments: the object itself) and returns holding them.
#define ACQUIRE(...) TOLLIVAR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases locks the caller held.
#define RELEASE(...) TOLLIVAR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the locks when it returns `result` (true or false).
#define TRY_ACQUIRE(...) TOLLIVAR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// The function returns only when the calling thread holds the capability (a lock it checks, or
// a thread role it stands for); from there on the analysis treats it as held.
#define ASSERT_CAPABILITY(x) TOLLIVAR_THREAD_ANNOTATION(assert_capability(x))

// Turns the analysis off for one function. Only where it cannot follow a correct pattern; say
// why next to it.
#define NO_THREAD_SAFETY_ANALYSIS TOLLIVAR_THREAD_ANNOTATION(no_thread_safety_analysis)
