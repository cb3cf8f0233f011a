#include "base/time.h"

#include <time.h>

namespace korvane {

uint64_t GetFileTimeNow() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) {
    return 0;
  }
  return kFileTimeUnixEpoch + static_cast<uint64_t>(ts.tv_sec) * 10000000ULL +
         static_cast<uint64_t>(ts.tv_nsec) / 100;
}

uint32_t GetElapsedMs(uint64_t file_time) {
  const uint64_t now = GetFileTimeNow();
  if (file_time >= now) {
    return 0;
  }
  return static_cast<uint32_t>((now - file_time) / kFileTimeUnitsPerMs);
}

CTime::CTime() : value_(GetFileTimeNow()) {}

void CTime::SetNow() {
  const uint64_t now = GetFileTimeNow();
  CAutoLock guard(lock_);
  value_ = now;
}

void CTime::Set(uint64_t file_time) {
  CAutoLock guard(lock_);
  value_ = file_time;
}

uint64_t CTime::Get() {
  CAutoLock guard(lock_);
  return value_;
}

uint32_t CTime::GetElapsedMs() { return korvane::GetElapsedMs(Get()); }

}  // namespace korvane
