#include "base/time.h"

#include <time.h>

namespace korvane {

namespace {

uint64_t ReadClock(clockid_t id) {
  timespec ts{};
  if (clock_gettime(id, &ts) != 0 || ts.tv_sec < 0) {
    return 0;
  }
  return static_cast<uint64_t>(ts.tv_sec) * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

uint32_t ElapsedMs(uint64_t from, uint64_t now) {
  if (from >= now) {
    return 0;
  }
  return static_cast<uint32_t>((now - from) / kFileTimeUnitsPerMs);
}

class CSystemClock final : public IClock {
 public:
  uint64_t Now() override { return GetMonotonicTime(); }
  uint32_t Wait(std::initializer_list<CEvent*> events, uint32_t timeout_ms) override {
    return WaitForEvents(events, timeout_ms);
  }
};

}  // namespace

IClock& SystemClock() {
  static CSystemClock clock;
  return clock;
}

uint64_t GetFileTimeNow() {
  const uint64_t now = ReadClock(CLOCK_REALTIME);
  return now == 0 ? 0 : kFileTimeUnixEpoch + now;
}

uint64_t GetMonotonicTime() { return ReadClock(CLOCK_MONOTONIC); }

uint32_t GetElapsedMs(uint64_t stamp) { return ElapsedMs(stamp, GetMonotonicTime()); }

CTime::CTime(IClock& clock) : clock_(clock), value_(clock.Now()) {}

void CTime::SetNow() {
  const uint64_t now = clock_.Now();
  CAutoLock guard(lock_);
  value_ = now;
}

void CTime::Set(uint64_t stamp) {
  CAutoLock guard(lock_);
  value_ = stamp;
}

uint64_t CTime::Get() {
  CAutoLock guard(lock_);
  return value_;
}

uint32_t CTime::GetElapsedMs() { return ElapsedMs(Get(), clock_.Now()); }

}  // namespace korvane
