#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>

#include "base/clock.h"

namespace korvane::testing {

// A clock whose time moves only as far as the test allows, so that code that waits for seconds
// runs in milliseconds. A Wait returns at once when one of its events is set. A time-out that
// ends within the allowed horizon moves the clock to its end and times out; one that ends later
// really waits until the horizon moves or an event is set (events are looked at every
// millisecond). Time starts at 1 s.
class CVirtualClock final : public IClock {
 public:
  static constexpr uint64_t kUnitsPerMs = 10000;

  uint64_t Now() override {
    std::lock_guard<std::mutex> guard(mutex_);
    return now_;
  }

  // Milliseconds since the clock was made.
  uint64_t NowMs() {
    std::lock_guard<std::mutex> guard(mutex_);
    return (now_ - kStart) / kUnitsPerMs;
  }

  uint32_t Wait(std::initializer_list<CEvent*> events, uint32_t timeout_ms) override {
    std::unique_lock<std::mutex> guard(mutex_);
    const uint64_t deadline = timeout_ms == kInfinite
                                  ? UINT64_MAX
                                  : now_ + static_cast<uint64_t>(timeout_ms) * kUnitsPerMs;
    for (;;) {
      guard.unlock();
      const uint32_t signalled = WaitForEvents(events, 0);
      guard.lock();
      if (signalled != kWaitTimeout) return signalled;
      if (deadline <= horizon_) {
        if (deadline > now_) now_ = deadline;
        return kWaitTimeout;
      }
      blocked_generation_ = generation_;
      changed_.notify_all();
      changed_.wait_for(guard, std::chrono::milliseconds(1));
    }
  }

  // Lets time run until `ms` after the clock was made, without waiting for anybody.
  void AllowUntilMs(uint64_t ms) {
    std::lock_guard<std::mutex> guard(mutex_);
    horizon_ = kStart + ms * kUnitsPerMs;
    changed_.notify_all();
  }

  // Lets time run until `ms` after the clock was made, and returns once a waiter is blocked
  // beyond that point (or after `bound` of real time, false then).
  bool RunUntilMs(uint64_t ms, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> guard(mutex_);
    horizon_ = kStart + ms * kUnitsPerMs;
    // Only a waiter that looked again after the move counts.
    const uint64_t generation = ++generation_;
    changed_.notify_all();
    return changed_.wait_for(guard, bound, [&] { return blocked_generation_ == generation; });
  }

 private:
  static constexpr uint64_t kStart = 1000 * kUnitsPerMs;

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t now_ = kStart;
  uint64_t horizon_ = kStart;
  uint64_t generation_ = 0;
  uint64_t blocked_generation_ = 0;
};

}  // namespace korvane::testing
