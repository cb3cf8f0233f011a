#pragma once

#include <cstdint>

#include "base/lock.h"

namespace korvane {

// 100-nanosecond units between 1601-01-01 and 1970-01-01 (UTC).
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;
inline constexpr uint64_t kFileTimeUnitsPerMs = 10000;

// Wall-clock now as a file time: UTC in 100-ns units since 1 January 1601; 0 if the system time
// cannot be read.
uint64_t GetFileTimeNow();

// Milliseconds from `file_time` to now, truncated to 32 bits; 0 when file_time is now or later.
// Works on a value the caller keeps, without a lock.
uint32_t GetElapsedMs(uint64_t file_time);

// A file-time stamp that several threads read and update; the 64-bit value is only touched
// under the lock, so a reader never sees half of an update.
class CTime {
 public:
  // value = now.
  CTime();
  virtual ~CTime() = default;
  CTime(const CTime&) = delete;
  CTime& operator=(const CTime&) = delete;

  void SetNow();
  void Set(uint64_t file_time);
  uint64_t Get();
  // Milliseconds from the stored value to now; 0 when the value is now or in the future.
  uint32_t GetElapsedMs();

 private:
  CLock lock_;
  uint64_t value_ = 0;
};

}  // namespace korvane
