#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/thread_annotations.h"

namespace korvane {

// Identifier of the calling thread: the kernel thread id (cached per thread on Linux,
// GetCurrentThreadId() on Windows). Never 0.
uint32_t CurrentThreadId();

// Recursive mutual-exclusion lock that spins with compare-exchange before it blocks.
//
// The lock count is the only word that contenders share: it holds the owner's nested
// acquisitions plus the number of threads that entered the blocking path of Lock(). A releasing
// owner that sees waiters left hands the lock to exactly one of them through an auto-reset
// event. The lock is not fair: a spinning thread may take it before a woken waiter would have.
// The uncontended Lock()/Unlock() make no system call.
//
// Unlock() by a thread that does not own the lock is not detected; callers never do it.
//
// For clang's thread-safety analysis the lock is a capability: members it guards say
// GUARDED_BY, and functions that need it held say REQUIRES. The analysis does not know that the
// lock is recursive (see base/thread_annotations.h).
class CAPABILITY("mutex") CLock {
 public:
  static constexpr int32_t kMultiProcessorSpinCount = 4000;

  CLock();
  ~CLock();
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  // Takes the lock if it is free or already owned by the caller; never blocks.
  bool TryLock() TRY_ACQUIRE(true);
  // Blocks until the calling thread owns the lock.
  void Lock() ACQUIRE();
  // Releases one level of ownership.
  void Unlock() RELEASE();

  int32_t SpinCount() const { return control_.spin_count.load(std::memory_order_relaxed); }
  // True when the process runs on a single processor; computed when the first lock is built.
  static bool IsSingleProcessor();

  // Lets tests exercise the single-processor rule (spin count 0) on any machine.
  void SetSpinCountForTesting(int32_t spin_count) {
    control_.spin_count.store(spin_count, std::memory_order_relaxed);
  }

 private:
  // Auto-reset, initially non-signalled hand-off event. At most one signal is ever pending:
  // after a signal the lock count stays above 0 until the woken waiter owns the lock.
  class HandOffEvent {
   public:
    void Set();
    void Wait();

   private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
  };

  struct ControlBlock {
    std::atomic<int32_t> spin_count{0};
    std::atomic<int32_t> lock_count{0};
    // Written only by the owning thread; read by contenders to detect re-entry, which can
    // only ever match the reading thread's own id if it is the owner.
    std::atomic<uint32_t> owner{0};
    // Touched only by the owning thread; the lock count orders the hand-over.
    int32_t recursion = 0;
  };

  HandOffEvent event_;
  ControlBlock control_;
};

// Scoped guard: Lock() when built, Unlock() when destroyed, so that exception paths release too.
class SCOPED_CAPABILITY CAutoLock {
 public:
  explicit CAutoLock(CLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~CAutoLock() RELEASE() { lock_.Unlock(); }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  CLock& lock_;
};

}  // namespace korvane
