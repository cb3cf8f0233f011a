#pragma once

#include <cstdint>

namespace korvane {

// The first 32-bit field of a newly created GUID (CoCreateGuid on Windows; the system's random
// source elsewhere). 0 when no GUID could be made or the null GUID came back: the caller then
// picks its own fallback.
uint32_t NewGuidFirstField();

// The multimedia timer: milliseconds since an arbitrary start (timeGetTime on Windows, the
// monotonic clock elsewhere), wrapping at 2^32 (about 49.7 days). Only differences of two
// readings mean anything, taken in unsigned 32-bit arithmetic across the wrap.
uint32_t GetMultimediaTimeMs();

}  // namespace korvane
