#include "base/lock.h"

#include <windows.h>

namespace korvane {

uint32_t CurrentThreadId() {
  // Read from the thread's own block: cheaper than a thread_local cache (emulated by mingw).
  return GetCurrentThreadId();
}

bool CLock::IsSingleProcessor() {
  // Computed once, on first use (the first lock built), and kept for the life of the process.
  static const bool single = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS) == 1;
  return single;
}

}  // namespace korvane
