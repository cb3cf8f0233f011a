#pragma once

#include <cstdint>
#include <initializer_list>

#include "base/event.h"

namespace korvane {

// The clock that elapsed time is measured on, with the timed waits that belong to it. Objects
// that watch time (the capture loop's signal and reconnect watches) take one, so that a test can
// drive them through minutes of camera time in milliseconds of its own.
class IClock {
 public:
  virtual ~IClock() = default;
  // Monotonic time in 100-ns units; only differences mean anything. Never steps with the wall
  // clock (NTP, manual changes).
  virtual uint64_t Now() = 0;
  // WaitForEvents with the time-out measured on this clock.
  virtual uint32_t Wait(std::initializer_list<CEvent*> events, uint32_t timeout_ms) = 0;
};

// The process's monotonic clock and the platform's waits. Lives as long as the process.
IClock& SystemClock();

}  // namespace korvane
