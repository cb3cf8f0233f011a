#pragma once

#include <cstdint>

#include "base/clock.h"
#include "base/lock.h"

namespace korvane {

// 100-nanosecond units between 1601-01-01 and 1970-01-01 (UTC).
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
inline constexpr uint64_t kFileTimeUnitsPerMs = 10000;

// Wall-clock now as a file time: UTC in 100-ns units since 1 January 1601; 0 if the system time
// cannot be read.
uint64_t GetFileTimeNow();

// Monotonic now in 100-ns units (see IClock::Now): the base of every elapsed-time watch, so a
// step of the wall clock never makes a healthy stream look dead or a dead one look alive.
uint64_t GetMonotonicTime();

// Milliseconds from the monotonic stamp `stamp` (GetMonotonicTime) to now, truncated to 32
// bits; 0 when the stamp is now or later. Works on a value the caller keeps, without a lock.
uint32_t GetElapsedMs(uint64_t stamp);

// A monotonic time stamp that several threads read and update, for measuring elapsed time; the
// 64-bit value is only touched under the lock, so a reader never sees half of an update.
class CTime {
 public:
  // value = now on `clock`, which must outlive the stamp.
  explicit CTime(IClock& clock = SystemClock());
  virtual ~CTime() = default;
  CTime(const CTime&) = delete;
  CTime& operator=(const CTime&) = delete;

  void SetNow();
  void Set(uint64_t stamp);  // in the clock's units
  uint64_t Get();
  // Milliseconds from the stored value to now; 0 when the value is now or in the future.
  uint32_t GetElapsedMs();

 private:
  IClock& clock_;
  CLock lock_;
  uint64_t value_ GUARDED_BY(lock_) = 0;
};

}  // namespace korvane
