#include "ptz/testing/ptz_test_util.h"

#include <cstdarg>
#include <cstdio>

namespace korvane::testing {

void RecordingPrepositionComm::DebugMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[2048];
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  lines.emplace_back(level, text);
}

}  // namespace korvane::testing
