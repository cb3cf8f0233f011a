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

}  // namespace

uint64_t GetFileTimeNow() {
  const uint64_t now = ReadClock(CLOCK_REALTIME);
  return now == 0 ? 0 : kFileTimeUnixEpoch + now;
}

uint64_t GetMonotonicTime() { return ReadClock(CLOCK_MONOTONIC); }

}  // namespace korvane
