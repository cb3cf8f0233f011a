#include "base/unique_id.h"

#include <random>

#include "base/mutex.h"
#include "base/time.h"

namespace korvane {

uint32_t NewGuidFirstField() {
  // One source for the process: opening it (the CPU's random instructions probed, or
  // /dev/urandom opened) costs far more than a draw, and every RTCP handler draws twice when it
  // is made. A draw is not safe from two threads at once, hence the lock. A source that could
  // not be opened is tried again at the next call.
  static CMutex lock;
  CMutexLock guard(lock);
  try {
    static std::random_device device;  // getrandom(2) or /dev/urandom
    return static_cast<uint32_t>(device());
  } catch (...) {
    return 0;  // no random source: the caller falls back
  }
}

uint32_t GetMultimediaTimeMs() {
  return static_cast<uint32_t>(GetMonotonicTime() / kFileTimeUnitsPerMs);
}

}  // namespace korvane
