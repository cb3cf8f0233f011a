#include "base/unique_id.h"

#include <random>

#include "base/time.h"

namespace korvane {

uint32_t NewGuidFirstField() {
  try {
    std::random_device device;  // getrandom(2) or /dev/urandom
    return static_cast<uint32_t>(device());
  } catch (...) {
    return 0;  // no random source: the caller falls back
  }
}

uint32_t GetMultimediaTimeMs() {
  return static_cast<uint32_t>(GetMonotonicTime() / kFileTimeUnitsPerMs);
}

}  // namespace korvane
