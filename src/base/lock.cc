// The lock itself; the thread id and the processor count come from lock_posix.cc / lock_win32.cc.

#include "base/lock.h"

namespace korvane {

void CLock::HandOffEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void CLock::HandOffEvent::Wait() {
  std::unique_lock<std::mutex> guard(mutex_);
  cv_.wait(guard, [this] { return signalled_; });
  signalled_ = false;  // auto-reset: one waiter consumes one signal
}

CLock::CLock() {
  // Spinning on a single processor only burns the time slice the owner needs to release.
  if (!IsSingleProcessor()) {
    control_.spin_count.exchange(kMultiProcessorSpinCount);
  }
}

CLock::~CLock() = default;

// The three below are the lock itself: its state is atomics, which the analysis does not follow.
bool CLock::TryLock() NO_THREAD_SAFETY_ANALYSIS {
  const uint32_t self = CurrentThreadId();
  const int32_t attempts = SpinCount() + 1;
  for (int32_t i = 0; i < attempts; ++i) {
    int32_t expected = 0;
    if (control_.lock_count.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
      control_.owner.store(self, std::memory_order_relaxed);
      control_.recursion = 1;
      return true;
    }
    if (control_.owner.load(std::memory_order_relaxed) == self) {
      control_.lock_count.fetch_add(1, std::memory_order_relaxed);
      ++control_.recursion;
      return true;
    }
  }
  return false;
}

void CLock::Lock() NO_THREAD_SAFETY_ANALYSIS {
  if (TryLock()) {
    return;
  }
  const uint32_t self = CurrentThreadId();
  if (control_.lock_count.fetch_add(1, std::memory_order_acq_rel) + 1 == 1) {
    // Released between the spin and the increment: the lock is ours.
    control_.owner.store(self, std::memory_order_relaxed);
    control_.recursion = 1;
    return;
  }
  if (control_.owner.load(std::memory_order_relaxed) == self) {
    ++control_.recursion;
    return;
  }
  event_.Wait();
  control_.owner.store(self, std::memory_order_relaxed);
  control_.recursion = 1;
}

void CLock::Unlock() NO_THREAD_SAFETY_ANALYSIS {
  if (--control_.recursion <= 0) {
    control_.owner.store(0, std::memory_order_relaxed);
    if (control_.lock_count.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) {
      // A thread waits in the blocking path of Lock(): hand the lock to exactly one.
      event_.Set();
    }
  } else {
    control_.lock_count.fetch_sub(1, std::memory_order_release);
  }
}

}  // namespace korvane
