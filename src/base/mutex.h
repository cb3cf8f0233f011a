#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace korvane {

// A std::mutex that clang's thread-safety analysis knows as a capability: members it guards say
// GUARDED_BY, so that a read or write without it fails the clang stage. Not recursive (use CLock
// where a thread re-enters). Meets BasicLockable, so std::condition_variable_any waits on it.
class CAPABILITY("mutex") CMutex {
 public:
  CMutex() = default;
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // The BasicLockable names, for the standard library's waits.
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a CMutex from its construction to its destruction.
class SCOPED_CAPABILITY CMutexLock {
 public:
  explicit CMutexLock(CMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~CMutexLock() RELEASE() { mutex_.Unlock(); }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

  // Waits for a notification of `changed` or until `deadline`, the mutex released meanwhile and
  // held again on return. False at the deadline. Callers test their condition in a loop (a
  // lambda given to the standard wait would be outside the analysis).
  bool WaitUntil(std::condition_variable_any& changed,
                 std::chrono::steady_clock::time_point deadline) {
    return changed.wait_until(mutex_, deadline) == std::cv_status::no_timeout;
  }

 private:
  CMutex& mutex_;
};

}  // namespace korvane
