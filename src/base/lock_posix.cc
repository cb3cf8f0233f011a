#include "base/lock.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace korvane {

namespace {

bool ComputeSingleProcessor() {
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  return processors == 1;
}

}  // namespace

uint32_t CurrentThreadId() {
  thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

bool CLock::IsSingleProcessor() {
  // Computed once, on first use (the first lock built), and kept for the life of the process.
  static const bool single = ComputeSingleProcessor();
  return single;
}

}  // namespace korvane
