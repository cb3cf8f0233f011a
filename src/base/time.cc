// Elapsed time and the shared stamp; the clocks themselves are read in time_posix.cc /
// time_win32.cc.

#include "base/time.h"

namespace korvane {

namespace {

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
